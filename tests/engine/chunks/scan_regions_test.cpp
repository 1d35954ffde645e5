// Which regions a run scans and in which steps: get_free_chunk_list's
// choices seen through the scan driver's progress reports.
#include "crafted_volumes.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace chunktest;
using lmrtest::TempFile;

namespace {

// Every position the scan reported through the proceed callback.
struct Steps {
    std::vector<uint64_t> at;
    uint64_t total = 0;
};

void on_proceed(void *ctx, unsigned long long processed, unsigned long long total) {
    auto *s = static_cast<Steps *>(ctx);
    s->at.push_back(processed);
    s->total = total;
}

// Runs a scan of `path` for JPEG pictures (the crafted volumes hold none)
// and returns every position reported: the block starts tested, in order,
// and after each window the position where it ended.
Steps scan(const std::string &path, const char *fs_name, int32_t skip, int32_t formated) {
    Steps s;
    skip_exist = skip;
    is_formated = formated;
    set_callbacks(&s, nullptr, nullptr, on_proceed);
    start_recovery2(path.c_str(), "jpg", fs_name, 0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    return s;
}

// The block starts of a whole-input scan in steps of `step`.
std::vector<uint64_t> whole(uint64_t size, uint64_t step) {
    std::vector<uint64_t> v;
    for (uint64_t p = 0; p < size; p += step) v.push_back(p);
    return v;
}

// Block starts: drop the window-end reports (equal to a chunk's end).
std::vector<uint64_t> block_starts(const Steps &s, const Ranges &regions) {
    std::vector<uint64_t> v;
    for (uint64_t p : s.at)
        for (auto &r : regions)
            if (p >= r.first && p < r.second) {
                v.push_back(p);
                break;
            }
    return v;
}

Fat32 sample_fat() {
    Fat32 v;
    v.used(2, 10);
    v.used(20, 30);
    v.used(40, v.entries());
    return v;
}

}  // namespace

TEST(ScanRegions, FreeClustersOnlyInClusterSteps) {
    GlobalsGuard guard;
    Fat32 v = sample_fat();
    TempFile f(v.img);
    Steps s = scan(f.path(), "", 1, 0);
    EXPECT_EQ(_block_size, 4096u);
    uint64_t ds = v.data_start();
    Ranges free_space{{ds + 8 * 4096, ds + 18 * 4096}, {ds + 28 * 4096, ds + 38 * 4096}};
    std::vector<uint64_t> expected;
    for (auto &r : free_space)
        for (uint64_t p = r.first; p < r.second; p += 4096) expected.push_back(p);
    EXPECT_EQ(block_starts(s, free_space), expected);
    // Nothing outside the free clusters was visited (a window's end is
    // reported at its chunk's end).
    for (uint64_t p : s.at) EXPECT_TRUE(contains(free_space, {p, p})) << p;
}

TEST(ScanRegions, SkipExistOffScansEverythingInClusterSteps) {
    GlobalsGuard guard;
    Fat32 v = sample_fat();
    TempFile f(v.img);
    Steps s = scan(f.path(), "vfat", 0, 0);
    EXPECT_EQ(_block_size, 4096u);
    EXPECT_EQ(block_starts(s, {{0, v.img.size()}}), whole(v.img.size(), 4096));
}

TEST(ScanRegions, FormattedOrSdcardfsScansEverythingInSectorSteps) {
    GlobalsGuard guard;
    Fat32 v = sample_fat();
    TempFile f(v.img);
    {
        Steps s = scan(f.path(), "", 1, 1);
        EXPECT_EQ(_block_size, 512u);
        EXPECT_EQ(block_starts(s, {{0, v.img.size()}}), whole(v.img.size(), 512));
    }
    {
        Steps s = scan(f.path(), "sdcardfs", 1, 0);
        EXPECT_EQ(_block_size, 512u);
        EXPECT_EQ(block_starts(s, {{0, v.img.size()}}), whole(v.img.size(), 512));
    }
}

TEST(ScanRegions, FileSystemNameChoosesTheReader) {
    GlobalsGuard guard;
    Ext e(1024, 2048, 1024);
    e.bitmap_at(0, 3);
    e.bitmap_at(1, 4);
    e.used(3, 0, 1024);
    e.used(4, 0, 100);
    e.used(4, 200, 1023);  // free: blocks 1125-1224
    TempFile f(e.img);
    Ranges free_space{{1125 * 1024, 1225 * 1024}};
    {
        // Unnamed: the FAT reader declines, the ext reader answers.
        DiagCapture diag;
        Steps s = scan(f.path(), "", 1, 0);
        EXPECT_EQ(_block_size, 1024u);
        EXPECT_EQ(block_starts(s, free_space).size(), 100u);
        EXPECT_EQ(block_starts(s, {{0, free_space[0].first}}).size(), 0u);
        EXPECT_NE(diag.text().find("not a valid fat\n"), std::string::npos);
    }
    {
        Steps s = scan(f.path(), "ext4", 1, 0);
        EXPECT_EQ(block_starts(s, free_space).size(), 100u);
        EXPECT_EQ(block_starts(s, {{0, free_space[0].first}}).size(), 0u);
    }
    {
        // Named FAT: no list from an ext volume, the whole input in sectors.
        DiagCapture diag;
        Steps s = scan(f.path(), "fat32", 1, 0);
        EXPECT_EQ(_block_size, 512u);
        EXPECT_EQ(block_starts(s, {{0, e.img.size()}}), whole(e.img.size(), 512));
        EXPECT_NE(diag.text().find("chunk list为空\n"), std::string::npos);
    }
}

TEST(ScanRegions, AHeaderBreakingItsFileSystemsRulesMeansAnUnknownLayout) {
    GlobalsGuard guard;
    // Impossible geometry behind a valid signature: said once, then the
    // whole input in sector steps, as for any unknown layout.
    Fat32 v = sample_fat();
    v.img[13] = 255;
    TempFile fat(v.img);
    for (const char *name : {"", "vfat"}) {
        DiagCapture diag;
        Steps s = scan(fat.path(), name, 1, 0);
        EXPECT_EQ(_block_size, 512u) << name;
        EXPECT_EQ(block_starts(s, {{0, v.img.size()}}), whole(v.img.size(), 512)) << name;
        EXPECT_NE(diag.text().find("FAT32 boot sector fails its own rules (sectors per cluster): not a FAT32 volume\n"),
                  std::string::npos)
            << diag.text();
    }

    Ext e(1024, 2048, 1024);
    e.bitmap_at(0, 3);
    e.bitmap_at(1, 4);
    put32(e.img, 1024 + 32, 8193);  // more blocks per group than a bitmap block holds
    TempFile ext(e.img);
    DiagCapture diag;
    Steps s = scan(ext.path(), "", 1, 0);
    EXPECT_EQ(_block_size, 512u);
    EXPECT_EQ(block_starts(s, {{0, e.img.size()}}), whole(e.img.size(), 512));
    EXPECT_NE(diag.text().find("ext superblock fails its own rules (blocks per group): not an ext volume\n"),
              std::string::npos)
        << diag.text();
}

TEST(ScanRegions, ProgressNeverPassesTheEndOfAnImageCutShort) {
    GlobalsGuard guard;
    // Volumes whose last free run reaches past the end of the image.
    Fat32 v;
    v.used(2, 10);
    v.img.resize(size_t(v.data_start() + 40 * 4096 + 512));
    Ext e(1024, 2048, 1024);
    e.bitmap_at(0, 3);
    e.bitmap_at(1, 4);
    e.used(3, 0, 1024);
    e.used(4, 0, 100);
    e.img.resize(1536 * 1024);
    for (const Bytes *img : {&v.img, &e.img}) {
        TempFile f(*img);
        Steps s = scan(f.path(), "", 1, 0);
        ASSERT_FALSE(s.at.empty());
        EXPECT_EQ(s.total, img->size());
        EXPECT_EQ(*std::max_element(s.at.begin(), s.at.end()), img->size());
    }
}

TEST(ScanRegions, ChunkListBasics) {
    EXPECT_EQ(get_chunk_list_size(nullptr), 0);
    free_chunk_list(nullptr);
    chunk a{10, 20, nullptr}, b{100, 5, nullptr};
    chunk_list *l = add_chunk(nullptr, &a);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(add_chunk(l, &b), l);
    EXPECT_EQ(get_chunk_list_size(l), 2);
    EXPECT_EQ(to_ranges(l), (Ranges{{10, 30}, {100, 105}}));
    EXPECT_EQ(l->tail->next, nullptr);
    a.offset = 999;  // the list holds copies
    EXPECT_EQ(l->head->offset, 10u);
    free_chunk_list(l);
}
