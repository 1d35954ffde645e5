// Chunk lists of volumes made by the real tools (mkfs.vfat + mtools,
// mke2fs + debugfs), checked against independent readers of the same
// volume: The Sleuth Kit's blkls and, for ext, dumpe2fs.
#include "chunk_helpers.h"

#include <gtest/gtest.h>

using namespace chunktest;

namespace {

// A temporary folder with a few files of distinct content, and a volume
// built from them by a fixture script.
class Volume {
public:
    Volume() {
        // Sizes chosen to end inside clusters/blocks and to span several.
        const size_t sizes[] = {3000, 70000, 12000, 200000, 5000, 40000, 1, 9000};
        for (size_t i = 0; i < sizeof sizes / sizeof *sizes; ++i) {
            Bytes b(sizes[i]);
            uint32_t x = 0x9E3779B9u * uint32_t(i + 1);
            for (auto &c : b) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                c = uint8_t(x);
            }
            std::string path = dir_.at("f" + std::to_string(i) + ".bin");
            FILE *f = fopen(path.c_str(), "wb");
            if (f) {
                fwrite(b.data(), 1, b.size(), f);
                fclose(f);
            }
            files_.push_back(path);
        }
        image_ = dir_.at("volume.img");
    }

    // Runs the script with `options`, deleting f1, f3, f4 and f7.
    bool build(const char *script, const std::string &options) {
        std::string cmd = "'" + fixture_script(script) + "' " + options;
        for (int d : {1, 3, 4, 7}) cmd += " -d f" + std::to_string(d) + ".bin";
        cmd += " '" + image_ + "'";
        for (auto &f : files_) cmd += " '" + f + "'";
        int status = 0;
        placed_ = parse_listing(run(cmd, &status));
        return status == 0 && placed_.size() == files_.size();
    }

    const std::string &image() const { return image_; }
    uint64_t size() const { return lmrtest::file_size(image_); }
    const std::vector<Placed> &placed() const { return placed_; }

private:
    lmrtest::TempDir dir_{"lmr-chunks"};
    std::string image_;
    std::vector<std::string> files_;
    std::vector<Placed> placed_;
};

// Deleted files lie wholly in the free chunks, live ones wholly outside.
void expect_files_placed(const std::vector<Placed> &placed, const Ranges &free_space) {
    int deleted = 0;
    for (auto &p : placed) {
        ASSERT_FALSE(p.ranges.empty()) << p.name;
        for (auto &r : p.ranges) {
            if (p.deleted)
                EXPECT_TRUE(contains(free_space, r)) << p.name << " at " << r.first;
            else
                EXPECT_FALSE(overlaps(free_space, r)) << p.name << " at " << r.first;
        }
        deleted += p.deleted;
    }
    EXPECT_EQ(deleted, 4);
}

bool have_fat_tools() { return have_tool("mkfs.vfat") && have_tool("mcopy") && have_tool("blkls"); }
bool have_ext_tools() { return have_tool("mke2fs") && have_tool("debugfs") && have_tool("dumpe2fs") && have_tool("blkls"); }

}  // namespace

class Fat32Volumes : public ::testing::TestWithParam<int> {};

TEST_P(Fat32Volumes, ChunksMatchTheSleuthKit) {
    if (!have_fat_tools()) GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing (scripts/setup installs them)";
    const int spc = GetParam();
    Volume v;
    ASSERT_TRUE(v.build("make_fat32_volume.sh", "-c " + std::to_string(spc)));
    _block_size = 0;
    List l(get_fat32_chunk_list(v.image().c_str()));
    ASSERT_NE(l.l, nullptr);
    EXPECT_EQ(_block_size, uint32_t(spc) * 512);

    Ranges ours = l.ranges();
    // In ascending order, and maximal: no two chunks touch.
    for (size_t i = 1; i < ours.size(); ++i) EXPECT_LT(ours[i - 1].second, ours[i].first);
    for (auto &r : ours) EXPECT_EQ((r.second - r.first) % (uint64_t(spc) * 512), 0u);

    // blkls lists unallocated sectors; the FAT may describe clusters past
    // the end of the volume (its sector count in the boot sector).
    unsigned char boot[36] = {};
    FILE *f = fopen(v.image().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fread(boot, 1, sizeof boot, f), sizeof boot);
    fclose(f);
    uint64_t sectors = boot[32] | boot[33] << 8 | boot[34] << 16 | uint64_t(boot[35]) << 24;
    ASSERT_LE(sectors * 512, v.size());
    Ranges clipped = normalize(clip(ours, sectors * 512));
    EXPECT_EQ(clipped, blkls_free(v.image(), 512));
    expect_files_placed(v.placed(), clipped);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, Fat32Volumes, ::testing::Values(1, 2));

struct ExtCase {
    const char *name;
    const char *options;
    bool blkls = true;  // The Sleuth Kit 4.11 reads neither meta_bg descriptors nor bigalloc
};
void PrintTo(const ExtCase &c, std::ostream *os) { *os << c.options; }

class ExtVolumes : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtVolumes, ChunksMatchDumpe2fsAndTheSleuthKit) {
    if (!have_ext_tools()) GTEST_SKIP() << "e2fsprogs or sleuthkit missing (scripts/setup installs them)";
    Volume v;
    ASSERT_TRUE(v.build("make_ext_volume.sh", GetParam().options));
    Ext2Groups groups = dumpe2fs_groups(v.image());
    ASSERT_GT(groups.block_size, 0u);
    ASSERT_FALSE(groups.free.empty());

    _block_size = 0;
    List l(get_ext2_chunk_list(v.image().c_str()));
    ASSERT_NE(l.l, nullptr);
    EXPECT_EQ(_block_size, groups.block_size);
    Ranges ours = l.ranges();
    for (size_t i = 1; i < ours.size(); ++i) EXPECT_LT(ours[i - 1].second, ours[i].first);

    // A group whose block bitmap was never initialised is scanned whole,
    // its metadata blocks included; elsewhere the free blocks are exactly
    // those the tools report.
    Ranges whole = clip(groups.uninit_groups, v.size());
    EXPECT_EQ(ours, unite(groups.free, whole));
    if (GetParam().blkls) {
        EXPECT_EQ(ours, unite(blkls_free(v.image(), groups.block_size), whole));
    }
    expect_files_placed(v.placed(), ours);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ExtVolumes,
    ::testing::Values(ExtCase{"ext2_1k", "-t ext2 -b 1024 -s 4096"},
                      ExtCase{"ext2_1k_groups", "-t ext2 -b 1024 -s 6000 -g 1024"},
                      ExtCase{"ext2_4k", "-t ext2 -b 4096 -s 8192"},
                      ExtCase{"ext3_4k", "-t ext3 -b 4096 -s 8192"},
                      ExtCase{"ext4_4k", "-t ext4 -b 4096 -s 16384"},
                      ExtCase{"ext4_1k_uninit", "-t ext4 -b 1024 -s 8192 -g 1024"},
                      ExtCase{"ext4_32bit", "-t ext4 -b 1024 -s 8192 -g 2048 -O ^64bit"},
                      ExtCase{"ext4_meta_bg", "-t ext4 -b 1024 -s 8192 -g 256 -O meta_bg,^resize_inode", false},
                      // The Sleuth Kit 4.11 does not read bigalloc volumes at all.
                      ExtCase{"ext4_bigalloc", "-t ext4 -b 4096 -s 65536 -O bigalloc -C 65536", false},
                      ExtCase{"ext4_bigalloc_groups", "-t ext4 -b 1024 -s 16384 -O bigalloc -C 4096 -g 512", false}),
    [](const ::testing::TestParamInfo<ExtCase> &i) { return std::string(i.param.name); });
