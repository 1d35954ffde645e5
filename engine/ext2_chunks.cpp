// Free blocks of an ext2, ext3 or ext4 volume, read from the superblock, the
// group descriptors and the block bitmaps.
//
// ext2 and ext3 volumes use 32-byte descriptors.  ext4 volumes may use wider
// ones (64-bit feature) with a high half for the bitmap's block number, and
// may leave a group's block bitmap uninitialised: such a group is scanned
// whole.  With the meta_bg feature, the descriptors of each meta group
// (one block of descriptors) live in that meta group's first groups rather
// than in one table.  With bigalloc, a bitmap bit stands for a cluster of
// blocks, and a group holds a fixed number of clusters.  Descriptors and
// bitmaps are read one piece at a time, so memory
// does not depend on what the superblock claims; a superblock whose
// descriptor table or bitmaps would not fit in the input is not taken for
// an ext volume.
#include "volume_readers.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint16_t kMagic = 0xEF53;
constexpr uint32_t kMaxLogBlockSize = 6;         // 64 KiB blocks at most
constexpr uint32_t kMaxLogClusterSize = 20;      // 1 GiB clusters at most
constexpr uint32_t kIncompatMetaBg = 0x10;
constexpr uint32_t kIncompatExtents = 0x40;
constexpr uint32_t kCompatHasJournal = 0x4;
constexpr uint32_t kIncompat64Bit = 0x80;
constexpr uint32_t kRoCompatSparseSuper = 0x1;
constexpr uint32_t kCompatSparseSuper2 = 0x200;
constexpr uint32_t kRoCompatGdtCsum = 0x10;
constexpr uint32_t kRoCompatBigalloc = 0x200;
constexpr uint32_t kRoCompatMetadataCsum = 0x400;
constexpr uint16_t kGroupBlockUninit = 0x2;

struct Geometry {
    uint64_t block_size;
    uint64_t blocks;
    uint64_t first_data_block;
    uint64_t per_group;    // blocks
    uint64_t groups;
    uint64_t unit_size;    // bytes a bitmap bit stands for: a block, or a cluster with bigalloc
    uint64_t units_per_group;
    uint64_t units;        // bits the walk reads, over all groups
    uint64_t first_unit;   // the unit of the first data block
    uint64_t desc_size;
    uint64_t desc_table;
    bool wide_bitmap_number;  // descriptors carry the bitmap's high half
    bool uninit_flags;        // a descriptor may mark its bitmap uninitialised
    bool meta_bg;
    uint64_t first_meta_bg;
    bool sparse_super, sparse_super2;
    bool extents;  // files may be extent-mapped (ext4)
    bool journal;  // ext3 and later
    uint32_t backup_groups[2];
};

bool is_power_of(uint64_t n, uint64_t base) {
    while (n > 1 && n % base == 0) n /= base;
    return n == 1;
}

// Whether group g starts with a copy of the superblock.
bool has_superblock(const Geometry &g, uint64_t group) {
    if (group == 0) return true;
    if (g.sparse_super2) return group == g.backup_groups[0] || group == g.backup_groups[1];
    if (group == 1 || !g.sparse_super) return true;
    if (group % 2 == 0) return false;
    return is_power_of(group, 3) || is_power_of(group, 5) || is_power_of(group, 7);
}

// Byte offset of the descriptor of a group.
uint64_t descriptor_offset(const Geometry &g, uint64_t group) {
    const uint64_t per_block = g.block_size / g.desc_size;
    const uint64_t meta = group / per_block;
    if (!g.meta_bg || meta < g.first_meta_bg) return g.desc_table + group * g.desc_size;
    uint64_t first = meta * per_block;  // the meta group's first group holds the block
    uint64_t block = g.first_data_block + first * g.per_group + (has_superblock(g, first) ? 1 : 0);
    return block * g.block_size + (group % per_block) * g.desc_size;
}

// Empty text: no ext superblock here at all.
const char *const kNoMagic = "";

// Reads the volume's geometry from its superblock; null when it describes
// a volume we can read, else why not (kNoMagic when it is no ext
// superblock at all).
const char *read_geometry(const unsigned char *sb, uint64_t input_size, Geometry &g) {
    if (lmr::le16(sb + 56) != kMagic) return kNoMagic;
    uint32_t log = lmr::le32(sb + 24);
    if (log > kMaxLogBlockSize) return "block size";
    g.block_size = uint64_t(1024) << log;

    g.per_group = lmr::le32(sb + 32);
    uint32_t incompat = lmr::le32(sb + 0x60);
    uint32_t ro_compat = lmr::le32(sb + 0x64);
    g.unit_size = g.block_size;
    g.units_per_group = g.per_group;
    if (ro_compat & kRoCompatBigalloc) {
        uint32_t log_cluster = lmr::le32(sb + 28);
        if (log_cluster < log || log_cluster > kMaxLogClusterSize) return "cluster size";
        g.unit_size = uint64_t(1024) << log_cluster;
        g.units_per_group = lmr::le32(sb + 36);
        if (g.per_group != g.units_per_group * (g.unit_size / g.block_size)) return "clusters per group";
    }
    // One bitmap block describes 8 units per byte; more units per group
    // than that cannot be described.
    if (g.units_per_group == 0 || g.units_per_group > 8 * g.block_size) return "blocks per group";
    g.blocks = lmr::le32(sb + 4);
    g.desc_size = 32;
    if (incompat & kIncompat64Bit) {
        g.blocks |= uint64_t(lmr::le32(sb + 0x150)) << 32;
        uint64_t d = lmr::le16(sb + 0xFE);
        if (d < 64 || d > 1024 || (d & (d - 1)) != 0) return "descriptor size";
        g.desc_size = d;
    }
    g.wide_bitmap_number = g.desc_size >= 64;
    g.uninit_flags = (ro_compat & (kRoCompatGdtCsum | kRoCompatMetadataCsum)) != 0;
    g.meta_bg = (incompat & kIncompatMetaBg) != 0;
    g.extents = (incompat & kIncompatExtents) != 0;
    g.journal = (lmr::le32(sb + 0x5C) & kCompatHasJournal) != 0;
    g.first_meta_bg = lmr::le32(sb + 0x104);
    g.sparse_super = (ro_compat & kRoCompatSparseSuper) != 0;
    g.sparse_super2 = (lmr::le32(sb + 0x5C) & kCompatSparseSuper2) != 0;
    g.backup_groups[0] = lmr::le32(sb + 0x24C);
    g.backup_groups[1] = lmr::le32(sb + 0x250);

    g.first_data_block = lmr::le32(sb + 20);
    if (g.first_data_block >= g.blocks) return "blocks count";
    // The superblock lies in block 1 of 1024-byte blocks and in block 0 of
    // larger ones; clusters are counted from block 0.
    const uint64_t ratio = g.unit_size / g.block_size;
    if (g.first_data_block != (g.block_size == 1024 && ratio == 1 ? 1 : 0)) return "first data block";
    g.first_unit = g.first_data_block;
    g.units = (g.blocks + ratio - 1) / ratio;
    // Groups the block walk needs (block b belongs to group
    // (b - first data block) / blocks per group).
    g.groups = (g.blocks - g.first_data_block - 1) / g.per_group + 1;
    g.desc_table = g.block_size > 2048 ? g.block_size : 2048;

    // The descriptors and one bitmap block per group must fit in the input;
    // otherwise this is not an ext volume we can read.
    if (g.desc_table > input_size) return "the group descriptors lie past the end of the input";
    if (g.groups > (input_size - g.desc_table) / g.desc_size) return "the group descriptors lie past the end of the input";
    if (g.groups > input_size / g.block_size) return "more groups than the input has blocks";
    return nullptr;
}

}  // namespace

namespace lmr {

volume_free read_ext_free(const volume_span &v, block_map_volume *layout) {
    volume_free out;
    const uint64_t input_size = v.size;
    if (input_size == 0) return out;
    FILE *f = v.f;
    unsigned char sb[1024];
    if (input_size < 2048 || lmr::read_at(f, v.base + 1024, sb, sizeof sb) < sizeof sb) return out;
    Geometry g{};
    if (const char *broken = read_geometry(sb, input_size, g)) {
        if (*broken) lmr::diag("ext superblock fails its own rules (%s): not an ext volume", broken);
        return out;
    }
    out.recognised = true;
    out.name = g.extents ? "ext4" : g.journal ? "ext3" : "ext2";
    out.unit = uint32_t(g.block_size);

    const size_t bitmap_bytes = size_t(g.block_size);
    std::vector<unsigned char> bitmap(bitmap_bytes), descs(bitmap_bytes);
    uint64_t descs_at = UINT64_MAX;  // byte offset of the descriptor block held

    lmr::FreeRuns runs(v.base, g.unit_size);
    for (uint64_t grp = 0; grp < g.groups; ++grp) {
        // Descriptor tables start on a block boundary and a block holds a
        // whole number of descriptors: read them one block at a time.
        uint64_t at = descriptor_offset(g, grp);
        uint64_t block_at = at / g.block_size * g.block_size;
        if (block_at != descs_at) {
            descs_at = block_at;
            std::fill(descs.begin(), descs.end(), 0);
            if (block_at < input_size)
                lmr::read_at(f, v.base + block_at, descs.data(),
                             size_t(std::min<uint64_t>(bitmap_bytes, input_size - block_at)));
        }
        const unsigned char *d = descs.data() + (at - block_at);
        uint64_t bitmap_block = lmr::le32(d);
        if (g.wide_bitmap_number) bitmap_block |= uint64_t(lmr::le32(d + 0x20)) << 32;
        bool uninit = g.uninit_flags && (lmr::le16(d + 0x12) & kGroupBlockUninit);

        // An uninitialised bitmap, one whose block number cannot be right
        // (the superblock's block, or past the volume), or the part of one
        // that cannot be read, counts as free: scanning more is safe,
        // skipping a free block is not.
        std::fill(bitmap.begin(), bitmap.end(), 0);
        const uint64_t bitmap_at = bitmap_block * g.block_size;
        if (!uninit && bitmap_block > g.first_data_block && bitmap_block < g.blocks && bitmap_at < input_size)
            lmr::read_at(f, v.base + bitmap_at, bitmap.data(),
                         size_t(std::min<uint64_t>(bitmap_bytes, input_size - bitmap_at)));

        uint64_t first = g.first_unit + grp * g.units_per_group;
        uint64_t end = g.units - first < g.units_per_group ? g.units : first + g.units_per_group;
        uint64_t k = 0, count = end - first;
        while (k < count) {
            unsigned char byte = bitmap[k / 8];
            if (k % 8 == 0 && count - k >= 8 && (byte == 0x00 || byte == 0xFF)) {
                if (byte == 0x00)
                    runs.free_unit(first + k);
                else
                    runs.used_unit(first + k);
                k += 8;
                continue;
            }
            if (byte & (1u << (k % 8)))
                runs.used_unit(first + k);
            else
                runs.free_unit(first + k);
            ++k;
        }
    }
    runs.finish(g.units);
    chunk_list *list = runs.take();
    // A last cluster that the block count cuts short ends with the volume.
    const uint64_t volume_end = g.blocks * g.block_size;
    // An image cut short ends the scan where its bytes end.
    out.list = lmr::clip_chunks(list, v.base + (volume_end < input_size ? volume_end : input_size));
    // Without extents every file is block-mapped: past its 12th block it
    // reaches its data through indirect blocks, which lie among the data.
    if (out.list && layout && !g.extents && g.unit_size == g.block_size) {
        layout->block_mapped = true;
        layout->block_size = uint32_t(g.block_size);
        layout->blocks = g.blocks;
        layout->journal = g.journal;
    }
    return out;
}

}  // namespace lmr

// An ext volume that is the whole input.  Only there are block numbers of
// indirect blocks offsets of the input, so only there are they followed.
chunk_list *lmr::read_ext2_chunks(const char *path, volume_notes &notes) {
    return read_whole_input(path, notes, [&notes](const volume_span &v) { return lmr::read_ext_free(v, &notes.layout); });
}

extern "C" chunk_list *get_ext2_chunk_list(const char *path) {
    return lmr::published_reader([path](lmr::volume_notes &n) { return lmr::read_ext2_chunks(path, n); });
}
