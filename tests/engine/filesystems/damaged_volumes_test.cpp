// Damaged and hostile FAT12, exFAT and NTFS volumes, made from the small
// volumes kept as fuzz seeds (written by mkfs.vfat, mkfs.exfat and mkntfs):
// each damage gives a diagnostic and a scan of what can be trusted, never
// a skipped free cluster.
#include "fs_helpers.h"

using namespace fstest;

namespace {

uint32_t lmr_le32(const Bytes &b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t lmr_le16(const Bytes &b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// A seed volume, grown back to its full size (the seeds keep only the
// bytes up to the last used sector).
Bytes seed(const char *name, size_t full) {
    Bytes b = lmrtest::read_file(std::string(LUMAREK_SOURCE_DIR) + "/fuzz/seeds/" + name);
    if (!b.empty() && b.size() < full) b.resize(full, 0);
    return b;
}

struct Read {
    Ranges ranges;
    uint32_t unit;
    std::string diag;
};

Read read_volume(const Bytes &b, chunk_list *(*reader)(const char *)) {
    lmrtest::TempFile f(b);
    DiagCapture diag;
    _block_size = 0;
    List l(reader(f.path().c_str()));
    return {l.ranges(), _block_size, diag.text()};
}

// The exFAT boot-region checksum over the 11 sectors at `at`, written to
// the 12th, as mkfs does.
void reseal_exfat(Bytes &b, size_t at) {
    uint32_t sum = 0;
    for (size_t i = 0; i < 11 * 512; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + b[at + i];
    }
    for (size_t i = 11 * 512; i < 12 * 512; i += 4) put32(b, at + i, sum);
}

// Offset of the first directory entry of type `type` in the cluster heap.
size_t find_entry(const Bytes &b, uint8_t type) {
    const size_t heap = size_t(lmr_le32(b, 88)) * 512;
    for (size_t at = heap; at + 32 <= b.size(); at += 32)
        if (b[at] == type) return at;
    return 0;
}

}  // namespace

TEST(DamagedExfat, BootRegionChecksumDecidesAndTheBackupStandsIn) {
    GlobalsGuard guard;
    Bytes b = seed("exfat/tiny-1m.img", 1 << 20);
    ASSERT_EQ(b.size(), size_t(1) << 20);
    Read good = read_volume(b, get_exfat_chunk_list);
    ASSERT_FALSE(good.ranges.empty());
    const uint32_t cluster = 512u << b[109];
    EXPECT_EQ(good.unit, cluster);

    b[120] ^= 0x5A;  // a byte under the main checksum
    Read backup = read_volume(b, get_exfat_chunk_list);
    EXPECT_EQ(backup.ranges, good.ranges);
    EXPECT_NE(backup.diag.find("backup used"), std::string::npos) << backup.diag;

    b[12 * 512 + 120] ^= 0x5A;
    Read none = read_volume(b, get_exfat_chunk_list);
    EXPECT_TRUE(none.ranges.empty());
    EXPECT_EQ(none.unit, 0u);  // not taken for exFAT
    EXPECT_NE(none.diag.find("checksum does not match"), std::string::npos) << none.diag;

    // Boot regions with a sound checksum but broken rules (a cluster size
    // past 32 MiB) are no exFAT either.
    b = seed("exfat/tiny-1m.img", 1 << 20);
    for (size_t at : {size_t(0), size_t(12 * 512)}) {
        b[at + 109] = 20;
        reseal_exfat(b, at);
    }
    EXPECT_EQ(read_volume(b, get_exfat_chunk_list).unit, 0u);
}

TEST(DamagedExfat, ShortOrMissingBitmapLeavesTheRestToTheScan) {
    GlobalsGuard guard;
    Bytes b = seed("exfat/tiny-1m.img", 1 << 20);
    Read good = read_volume(b, get_exfat_chunk_list);
    ASSERT_FALSE(good.ranges.empty());
    const size_t entry = find_entry(b, 0x81);
    ASSERT_NE(entry, 0u);
    const size_t heap = size_t(lmr_le32(b, 88)) * 512;
    const uint64_t cluster = 512u << b[109];
    const uint64_t clusters = lmr_le32(b, 92);

    // One byte of bitmap: clusters 2..9 as written, everything after free.
    put32(b, entry + 24, 1);
    put32(b, entry + 28, 0);
    Read shortened = read_volume(b, get_exfat_chunk_list);
    EXPECT_NE(shortened.diag.find("shorter than the cluster count"), std::string::npos) << shortened.diag;
    ASSERT_FALSE(shortened.ranges.empty());
    EXPECT_EQ(shortened.ranges.back().second, std::min<uint64_t>(heap + clusters * cluster, b.size()));
    EXPECT_EQ(clip(normalize(good.ranges), heap + 8 * cluster), clip(shortened.ranges, heap + 8 * cluster));

    // No bitmap entry at all (and a root folder whose FAT entry loops on
    // itself): not taken for exFAT, and the walk ends.
    b[entry] = 0x01;
    const uint32_t root = lmr_le32(b, 96);
    put32(b, size_t(lmr_le32(b, 80)) * 512 + root * 4, root);
    Read missing = read_volume(b, get_exfat_chunk_list);
    EXPECT_TRUE(missing.ranges.empty());
    EXPECT_NE(missing.diag.find("no allocation bitmap"), std::string::npos) << missing.diag;
}

namespace {

// Where the $Bitmap record and its data attribute lie in an NTFS seed.
struct NtfsBitmap {
    size_t record = 0, data = 0;  // byte offsets in the image
    uint64_t cluster = 0, clusters = 0;
};

NtfsBitmap find_bitmap_record(const Bytes &b) {
    NtfsBitmap n;
    n.cluster = uint64_t(lmr_le16(b, 11)) * b[13];
    n.clusters = (lmr_le32(b, 40) | uint64_t(lmr_le32(b, 44)) << 32) / b[13];
    const int8_t per = int8_t(b[64]);
    const uint64_t record = per > 0 ? per * n.cluster : uint64_t(1) << -per;
    n.record = size_t(lmr_le32(b, 48) * n.cluster + 6 * record);
    for (size_t at = n.record + lmr_le16(b, n.record + 20); at + 8 < n.record + record;) {
        if (lmr_le32(b, at) == 0x80) {
            n.data = at;
            break;
        }
        const uint32_t len = lmr_le32(b, at + 4);
        if (len == 0 || lmr_le32(b, at) == 0xFFFFFFFFu) break;
        at += len;
    }
    return n;
}

}  // namespace

TEST(DamagedNtfs, RecordFixupsAndRunsAreChecked) {
    GlobalsGuard guard;
    const Bytes original = seed("ntfs/tiny-2m.img", 2 << 20);
    ASSERT_EQ(original.size(), size_t(2) << 20);
    Read good = read_volume(original, get_ntfs_chunk_list);
    ASSERT_FALSE(good.ranges.empty());
    NtfsBitmap n = find_bitmap_record(original);
    ASSERT_NE(n.data, 0u);
    EXPECT_EQ(good.unit, n.cluster);

    // A sector end that does not carry the update sequence number: a torn
    // write, the record is not trusted.
    Bytes b = original;
    b[n.record + 510] ^= 0xFF;
    Read torn = read_volume(b, get_ntfs_chunk_list);
    EXPECT_TRUE(torn.ranges.empty());
    EXPECT_EQ(torn.unit, 0u);
    EXPECT_NE(torn.diag.find("$Bitmap is damaged"), std::string::npos) << torn.diag;

    // The first run moved far outside the volume: no bitmap can be read,
    // so every cluster is scanned.
    b = original;
    const size_t runs = n.data + lmr_le16(b, n.data + 32);
    const unsigned len_bytes = b[runs] & 15;
    b[runs] = uint8_t(len_bytes | (4 << 4));
    put32(b, runs + 1 + len_bytes, 0x7FFFFFF0);
    Read outside = read_volume(b, get_ntfs_chunk_list);
    EXPECT_NE(outside.diag.find("points outside the volume"), std::string::npos) << outside.diag;
    EXPECT_EQ(outside.ranges, Ranges({{0, std::min<uint64_t>(n.clusters * n.cluster, b.size())}}));

    // A bitmap of one byte: the first 8 clusters as written, the rest free.
    b = original;
    put32(b, n.data + 48, 1);
    put32(b, n.data + 52, 0);
    Read shortened = read_volume(b, get_ntfs_chunk_list);
    EXPECT_NE(shortened.diag.find("shorter than the cluster count"), std::string::npos) << shortened.diag;
    ASSERT_FALSE(shortened.ranges.empty());
    EXPECT_EQ(shortened.ranges.back().second, std::min<uint64_t>(n.clusters * n.cluster, b.size()));
}

TEST(DamagedFat, RulesOfTheBootSectorAndTruncatedImages) {
    GlobalsGuard guard;
    const Bytes original = seed("fat1216/tiny-fat12.img", 256 * 1024);
    Read good = read_volume(original, get_fat1216_chunk_list);
    ASSERT_EQ(good.ranges.size(), 1u);
    EXPECT_EQ(good.unit, 512u * original[13]);
    // The free run ends with the last whole cluster.
    EXPECT_LE(good.ranges[0].second, 256 * 1024u);
    EXPECT_GT(good.ranges[0].second + good.unit, 256 * 1024u);

    for (auto damage : {std::make_pair(13, 3), std::make_pair(16, 0), std::make_pair(21, 0x12),
                        std::make_pair(0, 0x00)}) {
        Bytes b = original;
        b[size_t(damage.first)] = uint8_t(damage.second);
        Read r = read_volume(b, get_fat1216_chunk_list);
        EXPECT_TRUE(r.ranges.empty()) << "byte " << damage.first;
        EXPECT_EQ(r.unit, 0u) << "byte " << damage.first;
    }
    // A FAT too small for the clusters the volume claims.
    Bytes b = original;
    put16(b, 22, 1);
    put16(b, 19, 60000);
    EXPECT_EQ(read_volume(b, get_fat1216_chunk_list).unit, 0u);

    // An image cut short: clusters past its end are not listed.
    b = original;
    b.resize(100 * 1024);
    Read cut = read_volume(b, get_fat1216_chunk_list);
    ASSERT_EQ(cut.ranges.size(), 1u);
    EXPECT_EQ(cut.ranges[0].second, 100 * 1024u);
    EXPECT_NE(cut.diag.find("past the end of the input"), std::string::npos) << cut.diag;

    // FAT16: the cluster count, not the label, makes it FAT16.
    Bytes f16 = seed("fat1216/tiny-fat16.img", 4 << 20);
    memcpy(f16.data() + 54, "FAT12   ", 8);
    Read r16 = read_volume(f16, get_fat1216_chunk_list);
    EXPECT_EQ(r16.unit, 512u);
    ASSERT_FALSE(r16.ranges.empty());
    EXPECT_EQ(r16.ranges.back().second, 4u << 20);
}
