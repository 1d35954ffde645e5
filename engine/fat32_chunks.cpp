// Free clusters of a FAT32 volume, read from its boot sector and first FAT.
//
// The FAT is walked in fixed-size pieces, so memory does not depend on what
// the boot sector claims; a boot sector whose first FAT would not fit in the
// input is not taken for a FAT32 volume.
#include "free_runs.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kBootBytes = 90;
constexpr size_t kFatPiece = 64 * 1024;  // bytes of FAT read at a time (a multiple of 4)

bool has_fat_label(const unsigned char *label) {
    for (size_t i = 0; i + 3 <= 8; ++i) {
        if (memcmp(label + i, "fat", 3) == 0 || memcmp(label + i, "FAT", 3) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" chunk_list *get_fat32_chunk_list(const char *path) {
    lmr::InputHandle input(path);
    FILE *f = input.get();
    if (!f) return nullptr;

    uint64_t input_size = lmr::measure_input(f);
    unsigned char boot[kBootBytes];
    size_t got = lmr::read_at(f, 0, boot, sizeof boot);
    if (boot[0] != 0xEB || boot[2] != 0x90) {
        lmr::diag("not a valid fat");
        return nullptr;
    }
    if (got < sizeof boot || !has_fat_label(boot + 82)) return nullptr;

    const uint64_t bytes_per_sector = lmr::le16(boot + 11);
    const uint64_t sectors_per_cluster = boot[13];
    const uint64_t reserved = lmr::le16(boot + 14);
    const uint64_t fat_count = boot[16];
    const uint64_t sectors_per_fat = lmr::le32(boot + 36);

    const uint64_t fat_offset = bytes_per_sector * reserved;
    const uint64_t fat_bytes = bytes_per_sector * sectors_per_fat;
    // A first FAT that the input cannot hold (or an input we cannot measure)
    // leaves nothing trustworthy to walk.
    if (input_size == 0 || fat_offset > input_size || fat_bytes > input_size - fat_offset) return nullptr;

    const uint64_t cluster_bytes = sectors_per_cluster * bytes_per_sector;
    _block_size = uint32_t(cluster_bytes);
    if (fat_bytes < 12 || cluster_bytes == 0) return nullptr;

    const uint64_t entries = fat_bytes / 4;
    const uint64_t data_start = (reserved + fat_count * sectors_per_fat) * bytes_per_sector;
    // Runs are counted in clusters from cluster 2, the first of the data area.
    lmr::FreeRuns runs(data_start, cluster_bytes);

    auto *piece = static_cast<unsigned char *>(malloc(kFatPiece));
    if (!piece) return nullptr;
    for (uint64_t first = 0; first < entries; first += kFatPiece / 4) {
        uint64_t count = entries - first;
        if (count > kFatPiece / 4) count = kFatPiece / 4;
        // An entry that cannot be read counts as free: scanning a used
        // cluster costs time, skipping a free one could lose a file.
        lmr::read_at(f, fat_offset + first * 4, piece, size_t(count * 4));
        for (uint64_t i = first < 2 ? 2 - first : 0; i < count; ++i) {
            uint64_t cluster = first + i;
            if (lmr::le32(piece + i * 4) == 0)
                runs.free_unit(cluster - 2);
            else
                runs.used_unit(cluster - 2);
        }
    }
    free(piece);
    runs.finish(entries - 2);
    return runs.take();
}
