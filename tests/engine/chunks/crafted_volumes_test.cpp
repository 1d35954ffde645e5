// Chunk lists of hand-made FAT32 and ext volumes: the documented examples,
// the layout details that real tools do not vary, and damaged headers.
#include "crafted_volumes.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace chunktest;
using lmrtest::TempFile;

namespace {

chunk_list *fat32_list(const Bytes &img) {
    TempFile f(img);
    return get_fat32_chunk_list(f.path().c_str());
}

}  // namespace

TEST(Fat32Crafted, FreeRunBetweenUsedClusters) {
    GlobalsGuard guard;
    Fat32 v;
    v.used(2, 10);
    v.used(20, v.entries());
    _block_size = 0;
    List l(fat32_list(v.img));
    EXPECT_EQ(l.ranges(), (Ranges{{1073152, 1073152 + 40960}}));
    EXPECT_EQ(_block_size, 4096u);
}

TEST(Fat32Crafted, RunOpenAtTheEndStopsAtTheVolumesLastCluster) {
    GlobalsGuard guard;
    Fat32 v;
    v.used(2, 10);
    const uint64_t ds = v.data_start();
    {
        // The FAT could describe 127,998 clusters; the volume has 64.
        List l(fat32_list(v.img));
        EXPECT_EQ(l.ranges(), (Ranges{{ds + 8 * 4096, ds + 64 * 4096}}));
    }
    {
        // An image cut short inside its last free run ends the run.
        Bytes cut(v.img.begin(), v.img.begin() + long(ds + 40 * 4096 + 100));
        List l(fat32_list(cut));
        EXPECT_EQ(l.ranges(), (Ranges{{ds + 8 * 4096, ds + 40 * 4096 + 100}}));
    }
}

TEST(Fat32Crafted, RunsAtTheDataAreaStartAndAcrossReadPieces) {
    GlobalsGuard guard;
    // 512-byte clusters, enough of them for the FAT to be read in two pieces.
    Fat32 v;
    const uint64_t clusters = 16400;
    v.img[13] = 1;
    v.img.resize(size_t(v.data_start() + clusters * 512));
    put32(v.img, 32, uint32_t(v.img.size() / 512));
    // Free: cluster 2 alone, and 16,380 to 16,390, which straddles the
    // boundary of the FAT pieces read at a time.
    v.used(3, 16380);
    v.used(16391, v.entries());
    List l(fat32_list(v.img));
    uint64_t ds = v.data_start();
    EXPECT_EQ(l.ranges(), (Ranges{{ds, ds + 512}, {ds + 16378ull * 512, ds + 16389ull * 512}}));
}

TEST(Fat32Crafted, NoFreeClusterGivesNoList) {
    GlobalsGuard guard;
    Fat32 v;
    v.used(2, v.entries());
    List l(fat32_list(v.img));
    EXPECT_EQ(l.l, nullptr);
    EXPECT_EQ(_block_size, 4096u);
}

TEST(Fat32Crafted, ForeignBootSectors) {
    GlobalsGuard guard;
    {
        Fat32 v;
        memcpy(&v.img[82], "NTFS    ", 8);
        DiagCapture diag;
        List l(fat32_list(v.img));
        EXPECT_EQ(l.l, nullptr);
        EXPECT_EQ(diag.text(), "");
    }
    for (size_t at : {size_t(0), size_t(2)}) {
        Fat32 v;
        v.img[at] = 0xE9;
        DiagCapture diag;
        List l(fat32_list(v.img));
        EXPECT_EQ(l.l, nullptr);
        EXPECT_EQ(diag.text(), "not a valid fat\n");
    }
    {
        // Lower-case "fat" in the type text is accepted too.
        Fat32 v;
        memcpy(&v.img[82], "vfat    ", 8);
        v.used(2, v.entries());
        v.entry(5, 0);
        List l(fat32_list(v.img));
        EXPECT_EQ(get_chunk_list_size(l.l), 1);
    }
    {
        DiagCapture diag;
        List l(get_fat32_chunk_list("/nonexistent/volume.img"));
        EXPECT_EQ(l.l, nullptr);
        EXPECT_EQ(diag.text(), "");
    }
}

TEST(Fat32Crafted, DamagedGeometryDoesNotDriveReadsOrAllocation) {
    GlobalsGuard guard;
    auto quick_null = [](const Bytes &img) {
        auto t0 = std::chrono::steady_clock::now();
        List l(fat32_list(img));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_LT(ms.count(), 2000);
        return l.l == nullptr;
    };
    {
        Fat32 v;
        put32(v.img, 36, 0xFFFFFFFF);  // a FAT of 2 TiB
        put16(v.img, 11, 0xFFFF);
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Fat32 v;
        put16(v.img, 14, 0xFFFF);  // first FAT past the end of the input
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Fat32 v;
        v.img[13] = 0;  // no sectors per cluster
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Fat32 v;
        put32(v.img, 36, 0);  // empty FAT
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Fat32 v;
        v.img.resize(60);  // boot sector cut short
        EXPECT_TRUE(quick_null(v.img));
    }
}

TEST(Fat32Crafted, BootSectorsBreakingTheFileSystemsRulesAreNotFat32) {
    GlobalsGuard guard;
    struct Case {
        const char *what;
        size_t at;
        int width;  // bytes of the field
        uint32_t value;
        uint32_t total_sectors;  // 0: the image's
    };
    const Case cases[] = {
        {"sectors per cluster", 13, 1, 255, 0}, {"sectors per cluster", 13, 1, 3, 0},
        {"number of FATs", 16, 1, 255, 0},      {"number of FATs", 16, 1, 0, 0},
        {"bytes per sector", 11, 2, 1, 0},      {"bytes per sector", 11, 2, 65535, 0},
        {"reserved sectors", 14, 2, 0, 0},
        {"the FATs fill the volume", 14, 2, 0xFFFF, 0},
        {"the FATs fill the volume", 32, 4, 2000, 0},
        {"the FAT is too small for the volume's clusters", 36, 4, 1, 0},
        // A volume longer than the image: its first FAT, or its data area,
        // lies past the image's end.
        {"the first FAT lies past the end of the input", 14, 2, 0xFFFF, 400000},
        {"the data area lies past the end of the input", 36, 4, 2000, 200000},
    };
    for (const Case &c : cases) {
        Fat32 v;
        v.used(2, 10);
        if (c.width == 1) v.img[c.at] = uint8_t(c.value);
        if (c.width == 2) put16(v.img, c.at, uint16_t(c.value));
        if (c.width == 4) put32(v.img, c.at, c.value);
        if (c.total_sectors) put32(v.img, 32, c.total_sectors);
        _block_size = 0;
        DiagCapture diag;
        List l(fat32_list(v.img));
        EXPECT_EQ(l.l, nullptr) << c.what << " " << c.value;
        EXPECT_EQ(_block_size, 0u) << c.what << " " << c.value;  // the step is not taken from it
        EXPECT_EQ(diag.text(), std::string("FAT32 boot sector fails its own rules (") + c.what +
                                   "): not a FAT32 volume\n")
            << c.value;
    }
}

namespace {

chunk_list *ext_list(const Bytes &img) {
    TempFile f(img);
    return get_ext2_chunk_list(f.path().c_str());
}

}  // namespace

TEST(ExtCrafted, OneKiBBlocksStartAtBlockOneAndRunsCrossGroups) {
    GlobalsGuard guard;
    Ext v(1024, 2048, 1024);  // groups: blocks 1-1024 and 1025-2047
    v.bitmap_at(0, 3);
    v.bitmap_at(1, 4);
    v.used(3, 1, 1020);       // block 1 free, 2-1020 used, 1021-1024 free
    v.used(4, 10, 1023);      // 1025-1034 free, 1035-2047 used
    _block_size = 0;
    List l(ext_list(v.img));
    EXPECT_EQ(l.ranges(), (Ranges{{1024, 2048}, {1021 * 1024, 1035 * 1024}}));
    EXPECT_EQ(_block_size, 1024u);
}

TEST(ExtCrafted, FourKiBBlocksReadDescriptorsFromTheSecondBlock) {
    GlobalsGuard guard;
    Ext v(4096, 64, 32768);
    put32(v.img, 2048, 5);  // a decoy where a 1 KiB volume keeps its table
    v.bitmap_at(0, 2);
    v.used(2, 0, 10);
    v.used(2, 20, 60);
    List l(ext_list(v.img));
    // Blocks 60-63 stay free up to the blocks count.
    EXPECT_EQ(l.ranges(), (Ranges{{10 * 4096, 20 * 4096}, {60 * 4096, 64 * 4096}}));
    EXPECT_EQ(_block_size, 4096u);
}

TEST(ExtCrafted, WideDescriptorsOfSixtyFourBitVolumes) {
    GlobalsGuard guard;
    Ext v(1024, 2048, 1024);
    v.wide_descriptors(64);
    v.bitmap_at(0, 3);
    v.bitmap_at(1, 4);
    // (A reader taking 32-byte descriptors would find group 1's bitmap at
    // block 0, all zeros, and report the group free.)
    v.used(3, 0, 1024);
    v.used(4, 0, 1023);
    {
        List l(ext_list(v.img));
        EXPECT_EQ(l.l, nullptr);
    }
    // A high half in the bitmap's block number puts it beyond the input:
    // nothing of it can be read, so the group is scanned whole.
    put32(v.img, v.table() + 64 + 0x20, 1);
    List l(ext_list(v.img));
    EXPECT_EQ(l.ranges(), (Ranges{{1025 * 1024, 2048 * 1024}}));
}

TEST(ExtCrafted, ImpossibleBitmapNumbersLeaveTheGroupToBeScanned) {
    GlobalsGuard guard;
    for (uint32_t bad : {0u, 1u, 2048u, 0xFFFFFFFFu}) {
        Ext v(1024, 2048, 1024);
        v.bitmap_at(0, 3);
        v.used(3, 0, 1024);
        // Block 1 holds the superblock; 2048 and beyond are not on the
        // volume.  Such a descriptor is damaged: its group is scanned whole.
        v.bitmap_at(1, bad);
        List l(ext_list(v.img));
        EXPECT_EQ(l.ranges(), (Ranges{{1025 * 1024, 2048 * 1024}})) << bad;
    }
}

TEST(ExtCrafted, UninitialisedBitmapsCountOnlyWithChecksummedDescriptors) {
    GlobalsGuard guard;
    Ext v(1024, 2048, 1024);
    v.bitmap_at(0, 3);
    v.bitmap_at(1, 4);
    v.used(3, 0, 1024);
    v.used(4, 0, 1023);
    put16(v.img, v.table() + 32 + 0x12, 0x2);  // group 1: block bitmap uninitialised
    {
        // Without the checksum features the field is padding (ext2).
        List l(ext_list(v.img));
        EXPECT_EQ(l.l, nullptr);
    }
    for (uint32_t feature : {0x10u, 0x400u}) {
        put32(v.img, 1024 + 0x64, feature);
        List l(ext_list(v.img));
        EXPECT_EQ(l.ranges(), (Ranges{{1025 * 1024, 2048 * 1024}})) << feature;
    }
}

// bigalloc: 1 KiB blocks in 4 KiB clusters, 512 clusters (2048 blocks) per
// group, counted from block 0; a bitmap bit is a cluster.
Ext bigalloc_volume(uint32_t blocks) {
    Ext v(1024, blocks, 2048);
    put32(v.img, 1024 + 20, 0);
    put32(v.img, 1024 + 28, 2);    // cluster size 1024 << 2
    put32(v.img, 1024 + 36, 512);  // clusters per group
    put32(v.img, 1024 + 0x64, 0x200);
    v.bitmap_at(0, 3);
    v.bitmap_at(1, 4);
    return v;
}

TEST(ExtCrafted, BigallocBitmapsCountClusters) {
    GlobalsGuard guard;
    // 4094 blocks: the last cluster is cut short by the blocks count.
    Ext v = bigalloc_volume(4094);
    v.used(3, 0, 100);
    v.used(3, 110, 512);
    v.used(4, 0, 501);  // clusters 512-1012 used, 1013-1023 free
    _block_size = 0;
    List l(ext_list(v.img));
    EXPECT_EQ(l.ranges(), (Ranges{{100 * 4096, 110 * 4096}, {1013 * 4096, 4094 * 1024}}));
    EXPECT_EQ(_block_size, 1024u);  // still stepped by blocks

    // Geometry that does not add up is not read.
    const struct {
        size_t at;
        uint32_t value;
    } bad[] = {
        {1024 + 20, 1},     // a first data block other than 0
        {1024 + 28, 0},     // clusters smaller than blocks
        {1024 + 28, 21},    // 2 GiB clusters
        {1024 + 36, 500},   // blocks per group not clusters per group times the ratio
        {1024 + 36, 0},
    };
    for (auto &b : bad) {
        Ext w = bigalloc_volume(4096);
        put32(w.img, b.at, b.value);
        List n(ext_list(w.img));
        EXPECT_EQ(n.l, nullptr) << b.at << " = " << b.value;
    }
    // More clusters per group than one bitmap block holds.
    Ext big = bigalloc_volume(4096);
    put32(big.img, 1024 + 36, 8193);
    put32(big.img, 1024 + 32, 8193 * 4);
    List n(ext_list(big.img));
    EXPECT_EQ(n.l, nullptr);
}

TEST(ExtCrafted, DamagedSuperblocksDoNotDriveReadsOrAllocation) {
    GlobalsGuard guard;
    auto base = [] {
        Ext v(1024, 2048, 1024);
        v.bitmap_at(0, 3);
        v.bitmap_at(1, 4);
        return v;
    };
    auto quick_null = [](const Bytes &img) {
        auto t0 = std::chrono::steady_clock::now();
        List l(ext_list(img));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_LT(ms.count(), 2000);
        return l.l == nullptr;
    };
    {
        Ext v = base();
        put16(v.img, 1024 + 56, 0xEF54);
        _block_size = 777;
        EXPECT_TRUE(quick_null(v.img));
        EXPECT_EQ(_block_size, 777u);  // not an ext volume: block size untouched
    }
    {
        Ext v = base();
        put32(v.img, 1024 + 32, 0);
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Ext v = base();
        put32(v.img, 1024 + 24, 40);  // block size 1024 << 40
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Ext v = base();
        put32(v.img, 1024 + 32, 8193);  // more blocks per group than a bitmap block holds
        _block_size = 777;
        DiagCapture diag;
        EXPECT_TRUE(quick_null(v.img));
        EXPECT_EQ(_block_size, 777u);  // a superblock we cannot take sets no block size
        EXPECT_EQ(diag.text(), "ext superblock fails its own rules (blocks per group): not an ext volume\n");
    }
    {
        Ext v = base();
        put32(v.img, 1024 + 20, 0);  // 1 KiB blocks: the superblock is in block 1, the first data block
        DiagCapture diag;
        EXPECT_TRUE(quick_null(v.img));
        EXPECT_EQ(diag.text(), "ext superblock fails its own rules (first data block): not an ext volume\n");
    }
    {
        Ext v = base();
        put32(v.img, 1024 + 4, 0xFFFFFFFF);  // 4 billion blocks ...
        put32(v.img, 1024 + 32, 8);          // ... in 500 million groups
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Ext v = base();
        put32(v.img, 1024 + 20, 2048);  // first data block at the blocks count
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Ext v = base();
        v.wide_descriptors(0);
        EXPECT_TRUE(quick_null(v.img));
    }
    {
        Ext v = base();
        v.img.resize(1500);  // superblock cut short
        EXPECT_TRUE(quick_null(v.img));
    }
}

// Random damage to the headers of small volumes: every call ends, and what
// it returns is a well-formed list.
TEST(CraftedDamage, RandomHeaderBytesNeverBreakTheReaders) {
    GlobalsGuard guard;
    uint32_t x = 12345;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    auto well_formed = [](const chunk_list *l) {
        for (const chunk *c = l ? l->head : nullptr; c; c = c->next) {
            if (c->length == 0) return false;
            if (c->next && c->next->offset < c->offset + c->length) return false;
        }
        return true;
    };
    // Fields worth hitting with whole words, then a few stray bytes.
    const size_t fat_fields[] = {11, 13, 14, 16, 36};
    const size_t ext_fields[] = {1024 + 4,    1024 + 20,   1024 + 24, 1024 + 28,     1024 + 32,
                                 1024 + 36,   1024 + 0x60, 1024 + 0x64, 1024 + 0xFE, 1024 + 0x104,
                                 2048,        2048 + 0x12, 2048 + 32, 2048 + 64};
    const size_t n_ext_fields = sizeof ext_fields / sizeof *ext_fields;
    DiagCapture quiet;
    for (int round = 0; round < 150; ++round) {
        Fat32 fv(16, 8);
        fv.used(2, 5);
        for (int k = 0; k < 3; ++k) put32(fv.img, fat_fields[next() % 5], next() >> (next() % 32));
        for (int k = 0; k < 4; ++k) fv.img[next() % 512] = uint8_t(next());
        List fl(fat32_list(fv.img));
        EXPECT_TRUE(well_formed(fl.l)) << "fat round " << round;

        Ext ev(1024, 512, 256);
        ev.bitmap_at(0, 3);
        ev.bitmap_at(1, 4);
        ev.used(3, 0, 100);
        for (int k = 0; k < 3; ++k) put32(ev.img, ext_fields[next() % n_ext_fields], next() >> (next() % 32));
        for (int k = 0; k < 4; ++k) ev.img[1024 + next() % 2048] = uint8_t(next());
        List el(ext_list(ev.img));
        EXPECT_TRUE(well_formed(el.l)) << "ext round " << round;
    }
}
