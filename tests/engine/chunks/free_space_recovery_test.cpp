// End to end: pictures put on a real FAT32 or ext volume, some deleted; a
// scan restricted to free space finds exactly the deleted ones, and each
// exported find equals the original file byte for byte.
#include "chunk_helpers.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace chunktest;

namespace {

struct Find {
    uint64_t offset, length;
    std::string suffix;
};

void collect(void *ctx, r_info *info) {
    static_cast<std::vector<Find> *>(ctx)->push_back({info->offset, info->length, info->suffix});
}

// Copied in this order, so that deleted and live pictures alternate.  All
// of them are pictures the probes report (a PNG under 10,240 bytes, for
// one, is not).
const char *const kPictures[] = {
    "jfif.jpg",      "exif_first_thumb.jpg", "progressive.jpg",   "gif87a_128.gif",
    "rgb.png",       "v5.bmp",               "gif89a_comment.gif", "png_edge_10240.png",
    "palette.bmp",   "jfif_exif_thumb.jpg",  "height_2000.bmp",    "gif89a_animated_pil.gif",
};
const std::set<std::string> kDeleted = {"jfif.jpg",           "progressive.jpg", "rgb.png",
                                        "gif89a_comment.gif", "palette.bmp",     "jfif_exif_thumb.jpg",
                                        "height_2000.bmp"};

struct VolumeCase {
    const char *name;
    const char *script;
    const char *options;
    const char *tool;
};
void PrintTo(const VolumeCase &c, std::ostream *os) { *os << c.name; }

class FreeSpaceRecovery : public ::testing::TestWithParam<VolumeCase> {};

}  // namespace

TEST_P(FreeSpaceRecovery, FindsExactlyTheDeletedPicturesByteForByte) {
    const VolumeCase &vc = GetParam();
    if (!have_tool(vc.tool) || !have_tool("debugfs") || !have_tool("mcopy"))
        GTEST_SKIP() << vc.tool << " missing (scripts/setup installs it)";

    lmrtest::TempDir dir("lmr-recover");
    ASSERT_FALSE(dir.path().empty());

    std::string image = dir.at("volume.img");
    std::string cmd = "'" + fixture_script(vc.script) + "' " + vc.options;
    for (auto &d : kDeleted) cmd += " -d " + d;
    cmd += " '" + image + "'";
    for (auto *p : kPictures) cmd += " '" + lmrtest::data_path(std::string("image/") + p) + "'";
    int status = 0;
    std::vector<Placed> placed = parse_listing(run(cmd, &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(placed.size(), sizeof kPictures / sizeof *kPictures);

    std::vector<Find> finds;
    RecordedRun(&finds, collect).start(image, "jpg,png,gif,bmp");

    std::map<uint64_t, const Placed *> deleted_at;
    for (auto &p : placed) {
        ASSERT_EQ(p.deleted, kDeleted.count(p.name) == 1) << p.name;
        // Each picture lies in one piece, so a carver can find it.
        ASSERT_EQ(p.ranges.size(), 1u) << p.name;
        if (p.deleted) deleted_at[p.ranges[0].first] = &p;
    }

    size_t exact = 0;
    for (auto &f : finds) {
        auto it = deleted_at.find(f.offset);
        if (it == deleted_at.end()) {
            ADD_FAILURE() << "find at " << f.offset << " (" << f.suffix << ", " << f.length
                          << " bytes) is not a deleted picture";
            continue;
        }
        const Placed &p = *it->second;
        std::string out = dir.at("found-" + p.name);
        ASSERT_EQ(general_file_export(image.c_str(), f.offset, f.length, out.c_str()), 0);
        Bytes original = lmrtest::read_file(lmrtest::data_path("image/" + p.name));
        Bytes exported = lmrtest::read_file(out);
        EXPECT_EQ(f.suffix, p.name.substr(p.name.rfind('.') + 1)) << p.name;
        if (exported == original)
            ++exact;
        else
            ADD_FAILURE() << p.name << ": exported " << exported.size() << " bytes, original " << original.size();
    }
    std::set<uint64_t> found_at;
    for (auto &f : finds) found_at.insert(f.offset);
    for (auto &d : deleted_at)
        if (!found_at.count(d.first)) ADD_FAILURE() << d.second->name << " at " << d.first << " not found";
    EXPECT_EQ(finds.size(), kDeleted.size());
    EXPECT_EQ(exact, kDeleted.size());
    std::printf("%s: %zu deleted pictures, %zu finds, %zu recovered byte-exact\n", vc.name, kDeleted.size(),
                finds.size(), exact);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FreeSpaceRecovery,
    ::testing::Values(VolumeCase{"fat32", "make_fat32_volume.sh", "", "mkfs.vfat"},
                      VolumeCase{"ext4", "make_ext_volume.sh", "-t ext4 -b 4096 -s 8192", "mke2fs"},
                      VolumeCase{"ext4_bigalloc", "make_ext_volume.sh", "-t ext4 -b 4096 -s 32768 -O bigalloc -C 16384",
                                 "mke2fs"}),
    [](const ::testing::TestParamInfo<VolumeCase> &i) { return std::string(i.param.name); });
