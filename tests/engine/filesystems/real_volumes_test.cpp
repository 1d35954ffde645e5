// Free clusters of FAT12, FAT16, exFAT and NTFS volumes written by the real
// tools, checked cluster for cluster against The Sleuth Kit's blkls, and
// against where the written files really lie: deleted files wholly in the
// free space, live ones wholly outside it.
#include "fs_helpers.h"

using namespace fstest;

namespace {

struct FsCase {
    const char *name;
    const char *type;
    const char *options;
    bool deletes;  // files are deleted (the writer can delete)
    uint32_t unit; // expected cluster size
    bool writes = true;  // files are written (mkfs.exfat alone writes none)
};
void PrintTo(const FsCase &c, std::ostream *os) { *os << c.name; }

chunk_list *read_by_type(const std::string &type, const char *path) {
    if (type == "exfat") return get_exfat_chunk_list(path);
    if (type == "ntfs") return get_ntfs_chunk_list(path);
    return get_fat1216_chunk_list(path);
}

bool have_tools(const std::string &type) {
    if (!have_tool("blkls")) return false;
    if (type == "exfat") return have_tool("mkfs.exfat");
    if (type == "ntfs") return have_tool("mkntfs") && have_tool("ntfscp");
    return have_tool("mkfs.vfat") && have_tool("mcopy");
}

}  // namespace

class FsVolumes : public ::testing::TestWithParam<FsCase> {};

TEST_P(FsVolumes, FreeClustersMatchTheSleuthKitAndTheFiles) {
    const FsCase &c = GetParam();
    if (!have_tools(c.type)) GTEST_SKIP() << "tools for " << c.type << " missing (scripts/setup installs them)";
    GlobalsGuard guard;
    Folder folder;
    if (c.writes)
        for (size_t size : {3000, 70000, 12000, 200000, 5000, 40000, 9000, 130000}) folder.add(size);
    const std::vector<int> deleted = c.deletes ? std::vector<int>{1, 3, 4, 7} : std::vector<int>{};
    const std::string image = folder.path("volume.img");
    bool skipped = false;
    if (!build_volume(folder, c.type, c.options, deleted, image, &skipped)) {
        if (skipped) GTEST_SKIP() << "no " << c.type << " writer can be mounted here";
        return;
    }

    _block_size = 0;
    List l(read_by_type(c.type, image.c_str()));
    ASSERT_NE(l.l, nullptr);
    EXPECT_EQ(_block_size, c.unit);
    Ranges ours = l.ranges();
    // Ascending, maximal, whole clusters, inside the image.
    for (size_t i = 1; i < ours.size(); ++i) EXPECT_LT(ours[i - 1].second, ours[i].first);
    for (auto &r : ours) EXPECT_LE(r.second, file_size(image));

    // blkls also lists the sectors after the last cluster, too few for a
    // cluster of their own; they belong to no cluster.
    Ranges theirs = blkls_unallocated(image, c.unit);
    if (!ours.empty() && !theirs.empty() && theirs.back().first <= ours.back().second &&
        theirs.back().second > ours.back().second && theirs.back().second - ours.back().second < c.unit)
        theirs.back().second = ours.back().second;
    EXPECT_EQ(ours, theirs);

    const Bytes bytes = lmrtest::read_file(image);
    for (size_t i = 0; i < folder.files().size(); ++i) {
        Range where = locate(bytes, folder.files()[i].content);
        ASSERT_LT(where.first, where.second) << "f" << i << " not found in the image";
        const bool gone = std::find(deleted.begin(), deleted.end(), int(i)) != deleted.end();
        if (gone)
            EXPECT_TRUE(contains(ours, where)) << "deleted f" << i << " at " << where.first;
        else
            EXPECT_FALSE(overlaps(ours, where)) << "live f" << i << " at " << where.first;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FsVolumes,
    ::testing::Values(FsCase{"fat12", "fat12", "", true, 2048},
                      FsCase{"fat12_512", "fat12", "-c 512 -s 1800", true, 512},
                      FsCase{"fat16", "fat16", "", true, 2048},
                      FsCase{"fat16_8k", "fat16", "-c 8192 -s 65536", true, 8192},
                      FsCase{"exfat", "exfat", "", true, 4096},
                      FsCase{"exfat_32k", "exfat", "-c 32768 -s 32768", true, 32768},
                      FsCase{"exfat_unmounted", "exfat", "-n", false, 4096, false},
                      FsCase{"ntfs", "ntfs", "", true, 4096},
                      FsCase{"ntfs_1k", "ntfs", "-c 1024", true, 1024},
                      FsCase{"ntfs_unmounted", "ntfs", "-n", false, 4096}),
    [](const ::testing::TestParamInfo<FsCase> &i) { return std::string(i.param.name); });
