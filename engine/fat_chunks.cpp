// Free clusters of a FAT12, FAT16 or FAT32 volume anywhere in an input.
//
// The boot sector must keep the file system's own rules (jump instruction,
// sector and cluster sizes that are powers of two, reserved sectors, a FAT
// large enough for every cluster); the cluster count alone then decides
// whether entries are 12, 16 or 32 bits wide.  Only the clusters the volume
// has are walked, and those that lie past the end of the input are left
// out.  The FAT is read in fixed pieces, so memory does not depend on the
// boot sector.
#include "volume_geometry.h"
#include "volume_readers.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace lmr {
namespace {

constexpr size_t kFatPiece = 64 * 1024;  // bytes of FAT read at a time (a multiple of 12)

}  // namespace

bool parse_fat_boot(const unsigned char *b, size_t got, fat_geometry *g) {
    if (got < 512) return false;
    if (!((b[0] == 0xEB && b[2] == 0x90) || b[0] == 0xE9)) return false;
    if (b[510] != 0x55 || b[511] != 0xAA) return false;
    const uint64_t bps = le16(b + 11), spc = b[13];
    if (bps < 512 || bps > 4096 || !is_power_of_two(bps)) return false;
    if (!is_power_of_two(spc) || spc > 128 || bps * spc > 256 * 1024) return false;
    const uint64_t reserved = le16(b + 14), fats = b[16], root_entries = le16(b + 17);
    if (reserved == 0 || fats == 0 || fats > 4) return false;
    const uint8_t media = b[21];
    if (media != 0xF0 && media < 0xF8) return false;
    const uint64_t total16 = le16(b + 19), total32 = le32(b + 32);
    const uint64_t total = total16 ? total16 : total32;
    const uint64_t fat16_size = le16(b + 22);
    const uint64_t fat_sectors = fat16_size ? fat16_size : le32(b + 36);
    if (total == 0 || fat_sectors == 0) return false;
    const uint64_t root_sectors = (root_entries * 32 + bps - 1) / bps;
    const uint64_t meta = reserved + fats * fat_sectors + root_sectors;
    if (meta >= total) return false;
    const uint64_t clusters = (total - meta) / spc;
    if (clusters == 0) return false;
    int bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    if (bits == 32) {
        // FAT32 keeps its root folder in clusters and its FAT size in the
        // 32-bit field only.
        if (root_entries != 0 || fat16_size != 0) return false;
    } else if (root_entries == 0 || fat16_size == 0) {
        return false;
    }
    // The FAT must have an entry for every cluster (and the two reserved).
    if (fat_sectors * bps * 8 < (clusters + 2) * uint64_t(bits)) return false;
    g->bytes_per_sector = bps;
    g->sectors_per_cluster = spc;
    g->reserved = reserved;
    g->fats = fats;
    g->fat_sectors = fat_sectors;
    g->total_sectors = total;
    g->data_start = meta * bps;
    g->clusters = clusters;
    g->bits = bits;
    return true;
}

bool looks_like_fat_boot(const unsigned char *sector, size_t got) {
    fat_geometry g;
    return parse_fat_boot(sector, got, &g);
}

volume_free read_fat_free(const volume_span &v, bool accept_fat32) {
    volume_free out;
    unsigned char boot[512];
    size_t got = v.size >= sizeof boot ? read_at(v.f, v.base, boot, sizeof boot) : 0;
    fat_geometry g;
    if (!parse_fat_boot(boot, got, &g)) return out;
    if (g.bits == 32 && !accept_fat32) return out;
    const uint64_t fat_offset = g.reserved * g.bytes_per_sector;
    const uint64_t fat_bytes = (g.clusters + 2) * uint64_t(g.bits) / 8 + 2;
    if (fat_offset > v.size || fat_bytes > v.size - fat_offset) {
        diag("FAT volume at %llu: its FAT lies past the end of the input", (unsigned long long)v.base);
        return out;
    }
    out.recognised = true;
    out.name = g.bits == 12 ? "FAT12" : g.bits == 16 ? "FAT16" : "FAT32";
    const uint64_t cluster_bytes = g.sectors_per_cluster * g.bytes_per_sector;
    out.unit = uint32_t(cluster_bytes);

    // Clusters whose first byte lies in the input; the rest cannot be read.
    uint64_t walk = g.clusters;
    if (g.data_start >= v.size)
        walk = 0;
    else if ((v.size - g.data_start + cluster_bytes - 1) / cluster_bytes < walk)
        walk = (v.size - g.data_start + cluster_bytes - 1) / cluster_bytes;
    if (walk < g.clusters)
        diag("%s volume at %llu: %llu of its %llu clusters lie past the end of the input", out.name,
             (unsigned long long)v.base, (unsigned long long)(g.clusters - walk),
             (unsigned long long)g.clusters);

    FreeRuns runs(v.base + g.data_start, cluster_bytes);
    std::vector<unsigned char> piece(kFatPiece + 4);
    // Entries are fetched one piece of FAT at a time; a 12-bit entry may
    // straddle two pieces, hence the few spare bytes read past each piece.
    uint64_t piece_start = ~0ull;
    for (uint64_t i = 0; i < walk; ++i) {
        const uint64_t cluster = i + 2;
        const uint64_t at = g.bits == 12 ? cluster + cluster / 2 : cluster * uint64_t(g.bits / 8);
        if (piece_start == ~0ull || at < piece_start || at + 4 > piece_start + piece.size()) {
            piece_start = at;
            read_at(v.f, v.base + fat_offset + at, piece.data(), piece.size());
        }
        const unsigned char *p = piece.data() + (at - piece_start);
        uint32_t value;
        if (g.bits == 12)
            value = (cluster & 1) ? (le16(p) >> 4) : (le16(p) & 0xFFF);
        else if (g.bits == 16)
            value = le16(p);
        else
            value = le32(p) & 0x0FFFFFFF;
        if (value == 0)
            runs.free_unit(i);
        else
            runs.used_unit(i);
    }
    runs.finish(walk);
    out.list = clip_chunks(runs.take(), v.base + v.size);
    return out;
}

}  // namespace lmr

// FAT12 and FAT16 volumes; a FAT32 volume is left to get_fat32_chunk_list.
chunk_list *lmr::read_fat1216_chunks(const char *path, volume_notes &notes) {
    return read_whole_input(path, notes, [](const volume_span &v) { return lmr::read_fat_free(v, false); });
}

extern "C" chunk_list *get_fat1216_chunk_list(const char *path) {
    return lmr::published_reader([path](lmr::volume_notes &n) { return lmr::read_fat1216_chunks(path, n); });
}
