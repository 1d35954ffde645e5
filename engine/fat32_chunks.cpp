// Free clusters of a FAT32 volume, read from its boot sector and first FAT.
//
// The FAT is walked in fixed-size pieces, so memory does not depend on what
// the boot sector claims.  A boot sector that breaks the file system's own
// rules, or whose first FAT or data area would not fit in the input, is not
// taken for a FAT32 volume: the run then scans the whole input.
#include "volume_readers.h"

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

bool power_of_two(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Why a FAT32 boot sector with these fields cannot describe a volume, or
// null.  The limits are the file system's own: 512 to 4096 bytes per
// sector, a power of two of sectors per cluster up to 128, one or two
// FATs after at least one reserved sector, a data area inside the volume's
// sectors, and a FAT with an entry for each of its clusters.
const char *boot_sector_fault(uint64_t bytes_per_sector, uint64_t sectors_per_cluster, uint64_t reserved,
                              uint64_t fat_count, uint64_t sectors_per_fat, uint64_t total_sectors) {
    if (!power_of_two(bytes_per_sector) || bytes_per_sector < 512 || bytes_per_sector > 4096)
        return "bytes per sector";
    if (!power_of_two(sectors_per_cluster) || sectors_per_cluster > 128) return "sectors per cluster";
    if (reserved == 0) return "reserved sectors";
    if (fat_count == 0 || fat_count > 2) return "number of FATs";
    if (sectors_per_fat == 0) return "sectors per FAT";
    if (total_sectors == 0) return "total sectors";
    const uint64_t data_sector = reserved + fat_count * sectors_per_fat;
    if (data_sector >= total_sectors) return "the FATs fill the volume";
    const uint64_t clusters = (total_sectors - data_sector) / sectors_per_cluster;
    if (clusters == 0) return "no data clusters";
    if (sectors_per_fat * bytes_per_sector / 4 < clusters + 2) return "the FAT is too small for the volume's clusters";
    return nullptr;
}

}  // namespace

chunk_list *lmr::read_fat32_chunks(const char *path, volume_notes &notes) {
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
    const uint64_t small_total = lmr::le16(boot + 19);
    const uint64_t total_sectors = small_total ? small_total : lmr::le32(boot + 32);

    const char *broken = boot_sector_fault(bytes_per_sector, sectors_per_cluster, reserved, fat_count,
                                           sectors_per_fat, total_sectors);
    const uint64_t fat_offset = bytes_per_sector * reserved;
    const uint64_t fat_bytes = bytes_per_sector * sectors_per_fat;
    const uint64_t data_sector = reserved + fat_count * sectors_per_fat;
    const uint64_t data_start = data_sector * bytes_per_sector;
    // A first FAT that the input cannot hold (or an input we cannot
    // measure) leaves nothing trustworthy to walk.
    if (!broken && (input_size == 0 || fat_offset > input_size || fat_bytes > input_size - fat_offset))
        broken = "the first FAT lies past the end of the input";
    if (!broken && data_start >= input_size) broken = "the data area lies past the end of the input";
    if (broken) {
        lmr::diag("FAT32 boot sector fails its own rules (%s): not a FAT32 volume", broken);
        return nullptr;
    }

    const uint64_t cluster_bytes = sectors_per_cluster * bytes_per_sector;
    notes.block_size = uint32_t(cluster_bytes);
    if (fat_bytes < 12) return nullptr;

    // Only the volume's clusters are walked: the FAT's last sector may hold
    // entries for clusters the volume does not have.
    const uint64_t clusters = (total_sectors - data_sector) / sectors_per_cluster;
    const uint64_t entries = fat_bytes / 4 < clusters + 2 ? fat_bytes / 4 : clusters + 2;
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
    // An image cut short ends the scan where its bytes end.
    return lmr::clip_chunks(runs.take(), input_size);
}

extern "C" chunk_list *get_fat32_chunk_list(const char *path) {
    return lmr::published_reader([path](lmr::volume_notes &n) { return lmr::read_fat32_chunks(path, n); });
}
