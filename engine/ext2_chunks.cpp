// Free blocks of an ext2, ext3 or ext4 volume, read from the superblock, the
// group descriptors and the block bitmaps.
//
// ext2 and ext3 volumes use 32-byte descriptors.  ext4 volumes may use wider
// ones (64-bit feature) with a high half for the bitmap's block number, and
// may leave a group's block bitmap uninitialised: such a group is scanned
// whole.  Descriptors and bitmaps are read one piece at a time, so memory
// does not depend on what the superblock claims; a superblock whose
// descriptor table or bitmaps would not fit in the input is not taken for
// an ext volume.
#include "free_runs.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t kMagic = 0xEF53;
constexpr uint32_t kMaxLogBlockSize = 6;         // 64 KiB blocks at most
constexpr uint32_t kIncompat64Bit = 0x80;
constexpr uint32_t kRoCompatGdtCsum = 0x10;
constexpr uint32_t kRoCompatMetadataCsum = 0x400;
constexpr uint16_t kGroupBlockUninit = 0x2;
constexpr size_t kDescPiece = 64 * 1024;        // descriptor bytes read at a time

struct Geometry {
    uint64_t block_size;
    uint64_t blocks;
    uint64_t first_data_block;
    uint64_t per_group;
    uint64_t groups;
    uint64_t desc_size;
    uint64_t desc_table;
    bool wide_bitmap_number;  // descriptors carry the bitmap's high half
    bool uninit_flags;        // a descriptor may mark its bitmap uninitialised
};

bool read_geometry(const unsigned char *sb, uint64_t input_size, Geometry &g) {
    if (lmr::le16(sb + 56) != kMagic) return false;
    uint32_t log = lmr::le32(sb + 24);
    if (log > kMaxLogBlockSize) return false;
    g.block_size = uint64_t(1024) << log;
    _block_size = uint32_t(g.block_size);

    g.per_group = lmr::le32(sb + 32);
    // One bitmap block describes 8 blocks per byte; more blocks per group
    // than that cannot be described.
    if (g.per_group == 0 || g.per_group > 8 * g.block_size) return false;

    uint32_t incompat = lmr::le32(sb + 0x60);
    uint32_t ro_compat = lmr::le32(sb + 0x64);
    g.blocks = lmr::le32(sb + 4);
    g.desc_size = 32;
    if (incompat & kIncompat64Bit) {
        g.blocks |= uint64_t(lmr::le32(sb + 0x150)) << 32;
        uint64_t d = lmr::le16(sb + 0xFE);
        if (d < 64 || d > 1024 || (d & (d - 1)) != 0) return false;
        g.desc_size = d;
    }
    g.wide_bitmap_number = g.desc_size >= 64;
    g.uninit_flags = (ro_compat & (kRoCompatGdtCsum | kRoCompatMetadataCsum)) != 0;

    g.first_data_block = lmr::le32(sb + 20);
    if (g.first_data_block >= g.blocks) return false;
    // Groups the block walk needs (block b belongs to group
    // (b - first data block) / blocks per group).
    g.groups = (g.blocks - g.first_data_block - 1) / g.per_group + 1;
    g.desc_table = g.block_size > 2048 ? g.block_size : 2048;

    // The descriptor table and one bitmap block per group must fit in the
    // input; otherwise this is not an ext volume we can read.
    if (g.desc_table > input_size) return false;
    if (g.groups > (input_size - g.desc_table) / g.desc_size) return false;
    if (g.groups > input_size / g.block_size) return false;
    return true;
}

}  // namespace

extern "C" chunk_list *get_ext2_chunk_list(const char *path) {
    FILE *f = lmr::open_input(path);
    if (!f) return nullptr;
    struct Closer {
        FILE *f;
        ~Closer() { fclose(f); }
    } closer{f};

    uint64_t input_size = lmr::measure_input(f);
    if (input_size == 0) return nullptr;
    unsigned char sb[1024];
    if (lmr::read_at(f, 1024, sb, sizeof sb) < sizeof sb) return nullptr;
    Geometry g{};
    if (!read_geometry(sb, input_size, g)) return nullptr;

    const size_t bitmap_bytes = size_t(g.block_size);
    auto *bitmap = static_cast<unsigned char *>(malloc(bitmap_bytes));
    auto *descs = static_cast<unsigned char *>(malloc(kDescPiece));
    if (!bitmap || !descs) {
        free(bitmap);
        free(descs);
        return nullptr;
    }
    const uint64_t descs_per_piece = kDescPiece / g.desc_size;
    uint64_t piece_first = UINT64_MAX;  // first group of the descriptors held

    lmr::FreeRuns runs(0, g.block_size);
    for (uint64_t grp = 0; grp < g.groups; ++grp) {
        if (piece_first == UINT64_MAX || grp >= piece_first + descs_per_piece) {
            piece_first = grp;
            uint64_t n = g.groups - grp < descs_per_piece ? g.groups - grp : descs_per_piece;
            lmr::read_at(f, g.desc_table + grp * g.desc_size, descs, size_t(n * g.desc_size));
        }
        const unsigned char *d = descs + (grp - piece_first) * g.desc_size;
        uint64_t bitmap_block = lmr::le32(d);
        if (g.wide_bitmap_number) bitmap_block |= uint64_t(lmr::le32(d + 0x20)) << 32;
        bool uninit = g.uninit_flags && (lmr::le16(d + 0x12) & kGroupBlockUninit);

        // An uninitialised bitmap, or the part of one that cannot be read,
        // counts as free: scanning more is safe, skipping a free block is not.
        if (uninit || bitmap_block >= UINT64_MAX / g.block_size)
            memset(bitmap, 0, bitmap_bytes);
        else
            lmr::read_at(f, bitmap_block * g.block_size, bitmap, bitmap_bytes);

        uint64_t first = g.first_data_block + grp * g.per_group;
        uint64_t end = g.blocks - first < g.per_group ? g.blocks : first + g.per_group;
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
    free(bitmap);
    free(descs);
    runs.finish(g.blocks);
    return runs.take();
}
