// Free clusters of an exFAT volume, read from the allocation bitmap of its
// cluster heap.
//
// The boot region is taken only when its checksum holds (the backup region
// when the main one is damaged).  The bitmap's directory entry is found in
// the root directory; the root directory and the bitmap are followed through
// the FAT, and a chain that the FAT does not describe (entries left zero, as
// for files kept contiguous) is taken to go on in the next cluster.  Every
// walk is bounded by the cluster count, so a looping chain ends.
#include "volume_geometry.h"
#include "volume_readers.h"

#include <cstring>
#include <vector>

namespace lmr {
namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr uint64_t kMaxRootEntries = 1u << 20;  // entries of the root folder looked at

}  // namespace

bool parse_exfat_boot(const unsigned char *b, size_t got, exfat_geometry *g) {
    if (got < 512) return false;
    if (b[0] != 0xEB || b[1] != 0x76 || b[2] != 0x90 || memcmp(b + 3, "EXFAT   ", 8) != 0) return false;
    for (int i = 11; i < 64; ++i)
        if (b[i]) return false;
    if (b[510] != 0x55 || b[511] != 0xAA) return false;
    const unsigned bps_shift = b[108], spc_shift = b[109], fats = b[110];
    if (bps_shift < 9 || bps_shift > 12 || spc_shift > 25 - bps_shift) return false;
    if (fats < 1 || fats > 2) return false;
    const uint64_t volume_length = le64(b + 72);
    const uint64_t fat_offset = le32(b + 80), fat_length = le32(b + 84);
    const uint64_t heap = le32(b + 88), clusters = le32(b + 92), root = le32(b + 96);
    if (fat_offset < 24 || fat_length == 0) return false;
    if (heap < fat_offset + fat_length * fats) return false;
    if (clusters == 0 || clusters > 0xFFFFFFF5u) return false;
    if (volume_length <= heap || clusters > (volume_length - heap) >> spc_shift) return false;
    if ((fat_length << bps_shift) < (clusters + 2) * 4) return false;
    if (root < 2 || root > clusters + 1) return false;
    const unsigned active = (le16(b + 106) & 1) && fats == 2 ? 1 : 0;
    g->bytes_per_sector = uint64_t(1) << bps_shift;
    g->cluster_bytes = uint64_t(1) << (bps_shift + spc_shift);
    g->fat_offset = (fat_offset + active * fat_length) << bps_shift;
    g->heap_offset = heap << bps_shift;
    g->clusters = clusters;
    g->root = root;
    g->active = active;
    return true;
}

namespace {

// The checksum of a boot region: its first 11 sectors, less the volume
// flags and the percent in use, which change without a new checksum.
uint32_t boot_checksum(const unsigned char *region, size_t bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

// Reads and checks the boot region that starts at `at`.
bool read_boot_region(const volume_span &v, uint64_t at, exfat_geometry *g) {
    unsigned char first[512];
    if (v.size < at + 512 || read_at(v.f, v.base + at, first, sizeof first) != sizeof first) return false;
    if (!parse_exfat_boot(first, sizeof first, g)) return false;
    const uint64_t bps = g->bytes_per_sector;
    if (v.size < at + 12 * bps) return false;
    std::vector<unsigned char> region(12 * bps);
    if (read_at(v.f, v.base + at, region.data(), region.size()) != region.size()) return false;
    const uint32_t sum = boot_checksum(region.data(), 11 * bps);
    for (uint64_t i = 11 * bps; i < 12 * bps; i += 4)
        if (le32(region.data() + i) != sum) return false;
    return true;
}

// Follows cluster chains through the active FAT.
class chain {
public:
    chain(const volume_span &v, const exfat_geometry &g, uint64_t first) : v_(v), g_(g), cur_(first) {}
    // The current cluster, or 0 when the chain has ended.
    uint64_t cluster() const { return cur_; }
    void next() {
        if (!cur_) return;
        if (++steps_ >= g_.clusters) {  // longer than the volume: a loop
            diag("exFAT volume at %llu: a cluster chain loops", (unsigned long long)v_.base);
            cur_ = 0;
            return;
        }
        unsigned char e[4];
        const uint64_t at = g_.fat_offset + cur_ * 4;
        uint32_t value = 0;
        if (at + 4 <= v_.size && read_at(v_.f, v_.base + at, e, 4) == 4) value = le32(e);
        if (value == 0)
            cur_ = cur_ + 1;  // not in the FAT: the chain is contiguous
        else if (value >= 2 && value <= g_.clusters + 1)
            cur_ = value;
        else
            cur_ = 0;  // end of chain, bad cluster or nonsense
        if (cur_ > g_.clusters + 1) cur_ = 0;
    }
    uint64_t offset() const { return g_.heap_offset + (cur_ - 2) * g_.cluster_bytes; }

private:
    const volume_span &v_;
    const exfat_geometry &g_;
    uint64_t cur_;
    uint64_t steps_ = 0;
};

// Finds the directory entry of the active allocation bitmap in the root
// folder: its first cluster and length in bytes.
bool find_bitmap(const volume_span &v, const exfat_geometry &g, uint64_t *first, uint64_t *length) {
    std::vector<unsigned char> piece(kPiece < g.cluster_bytes ? kPiece : g.cluster_bytes);
    uint64_t seen = 0;
    for (chain c(v, g, g.root); c.cluster(); c.next()) {
        for (uint64_t off = 0; off < g.cluster_bytes; off += piece.size()) {
            const uint64_t at = c.offset() + off;
            if (at >= v.size) return false;
            size_t got = read_at(v.f, v.base + at, piece.data(), piece.size());
            for (size_t i = 0; i + 32 <= got; i += 32) {
                const unsigned char *e = piece.data() + i;
                if (e[0] == 0x00) return false;  // end of the folder
                if (e[0] == 0x81 && (e[1] & 1) == g.active) {
                    *first = le32(e + 20);
                    *length = le64(e + 24);
                    return true;
                }
                if (++seen >= kMaxRootEntries) return false;
            }
            if (got < piece.size()) return false;
        }
    }
    return false;
}

}  // namespace

bool read_exfat_boot(const volume_span &v, exfat_geometry *g) {
    if (!read_boot_region(v, 0, g)) {
        // The backup boot region follows the main one (12 sectors of the
        // size the boot sector names; try each size there is).
        bool backup = false;
        for (unsigned shift = 9; shift <= 12 && !backup; ++shift) backup = read_boot_region(v, 12ull << shift, g);
        if (!backup) {
            diag("exFAT volume at %llu: boot region damaged, checksum does not match", (unsigned long long)v.base);
            return false;
        }
        diag("exFAT volume at %llu: main boot region damaged, backup used", (unsigned long long)v.base);
    }
    return true;
}

bool looks_like_exfat_boot(const unsigned char *sector, size_t got) {
    exfat_geometry g;
    return parse_exfat_boot(sector, got, &g);
}

volume_free read_exfat_free(const volume_span &v) {
    volume_free out;
    unsigned char first[512];
    if (v.size < 512 || read_at(v.f, v.base, first, sizeof first) != sizeof first) return out;
    if (memcmp(first + 3, "EXFAT   ", 8) != 0) return out;
    exfat_geometry g;
    if (!read_exfat_boot(v, &g)) return out;
    uint64_t bitmap = 0, bitmap_bytes = 0;
    if (!find_bitmap(v, g, &bitmap, &bitmap_bytes) || bitmap < 2 || bitmap > g.clusters + 1) {
        diag("exFAT volume at %llu: no allocation bitmap in the root folder", (unsigned long long)v.base);
        return out;
    }
    out.recognised = true;
    out.name = "exFAT";
    out.unit = uint32_t(g.cluster_bytes);

    // Only clusters whose first byte lies in the input are walked.
    uint64_t walk = g.clusters;
    if (g.heap_offset >= v.size)
        walk = 0;
    else if ((v.size - g.heap_offset + g.cluster_bytes - 1) / g.cluster_bytes < walk)
        walk = (v.size - g.heap_offset + g.cluster_bytes - 1) / g.cluster_bytes;
    if (walk < g.clusters)
        diag("exFAT volume at %llu: %llu of its %llu clusters lie past the end of the input",
             (unsigned long long)v.base, (unsigned long long)(g.clusters - walk), (unsigned long long)g.clusters);
    const uint64_t need = (walk + 7) / 8;
    if (bitmap_bytes < (g.clusters + 7) / 8)
        diag("exFAT volume at %llu: allocation bitmap shorter than the cluster count; the rest is scanned",
             (unsigned long long)v.base);
    if (bitmap_bytes > need) bitmap_bytes = need;

    FreeRuns runs(v.base + g.heap_offset, g.cluster_bytes);
    std::vector<unsigned char> piece(kPiece < g.cluster_bytes ? kPiece : g.cluster_bytes);
    uint64_t done = 0;  // bitmap bytes walked
    bool readable = true;
    for (chain c(v, g, bitmap); readable && c.cluster() && done < bitmap_bytes; c.next()) {
        for (uint64_t off = 0; off < g.cluster_bytes && done < bitmap_bytes; off += piece.size()) {
            uint64_t want = piece.size();
            if (want > bitmap_bytes - done) want = bitmap_bytes - done;
            const uint64_t at = c.offset() + off;
            // What cannot be read counts as free: scanning a used cluster
            // costs time, skipping a free one could lose a file.
            if (at >= v.size) {
                readable = false;
                break;
            }
            read_at(v.f, v.base + at, piece.data(), size_t(want));
            runs.bitmap_bytes(piece.data(), want, done * 8, walk);
            done += want;
        }
    }
    // Clusters the bitmap does not reach are scanned.
    if (done * 8 < walk) runs.free_unit(done * 8);
    runs.finish(walk);
    out.list = clip_chunks(runs.take(), v.base + v.size);
    return out;
}

}  // namespace lmr

chunk_list *lmr::read_exfat_chunks(const char *path, volume_notes &notes) {
    return read_whole_input(path, notes, [](const volume_span &v) { return lmr::read_exfat_free(v); });
}

extern "C" chunk_list *get_exfat_chunk_list(const char *path) {
    return lmr::published_reader([path](lmr::volume_notes &n) { return lmr::read_exfat_chunks(path, n); });
}
