// Archives and compound documents placed in an image between filler bytes,
// found by a whole run and exported byte for byte.
#include "zip_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace lmrtest;

namespace {

struct Find {
    uint64_t offset;
    uint64_t length;
    std::string suffix;
};

std::vector<Find> g_finds;

void on_find(void *, r_info *info) { g_finds.push_back({info->offset, info->length, info->suffix}); }

}  // namespace

TEST(ArchiveScan, WholeRunFindsEachPlacedFile) {
    struct Placed {
        Bytes bytes;
        uint64_t offset;
        const char *suffix;
        uint64_t length;  // 0: the file's own size
    };
    Bytes doc = read_file(data_path("compound/doc_lo_text.doc"));
    std::vector<Placed> placed = {
        {read_file(data_path("archive/docx_lo_repacked_ct_first.docx")), 8192, "docx", 0},
        {read_file(data_path("archive/rar4_multi.rar")), 131072, "rar", 0},
        {make_zip({{"a.txt", std::string(5000, 'a'), ""}, {"b.txt", "b", ""}}), 163840, "zip", 0},
        {doc, 196608, "doc", 0},
        {read_file(data_path("archive/docx_lo_text.docx")), 393216, "", 0},  // streamed: not found
    };
    Bytes image(458752);
    uint32_t x = 12345;
    for (auto &b : image) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 24);
    }
    for (const Placed &p : placed) {
        ASSERT_FALSE(p.bytes.empty());
        ASSERT_LE(p.offset + p.bytes.size(), image.size());
        std::copy(p.bytes.begin(), p.bytes.end(), image.begin() + p.offset);
    }
    TempFile f(image, "archscan");

    g_finds.clear();
    set_callbacks(nullptr, on_find, nullptr, nullptr);
    skip_exist = 0;
    start_recovery2(f.path().c_str(), "docx,zip,rar,doc", "", 0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);

    std::map<uint64_t, Find> by_offset;
    for (const Find &fd : g_finds) by_offset[fd.offset] = fd;
    EXPECT_EQ(g_finds.size(), 4u);
    for (const Placed &p : placed) {
        SCOPED_TRACE(p.offset);
        auto it = by_offset.find(p.offset);
        if (!*p.suffix) {
            EXPECT_EQ(it, by_offset.end());
            continue;
        }
        ASSERT_NE(it, by_offset.end());
        EXPECT_EQ(it->second.suffix, p.suffix);
        uint64_t want = p.length ? p.length : p.bytes.size();
        EXPECT_EQ(it->second.length, want);
        TempFile out({}, "archout");
        ASSERT_EQ(general_file_export(f.path().c_str(), p.offset, it->second.length, out.path().c_str()), 0);
        Bytes got = read_file(out.path());
        ASSERT_GE(got.size(), p.bytes.size());
        EXPECT_TRUE(std::equal(p.bytes.begin(), p.bytes.end(), got.begin()));
    }
}
