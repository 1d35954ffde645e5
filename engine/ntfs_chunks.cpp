// Free clusters of an NTFS volume, read from the $Bitmap file.
//
// $Bitmap is record 6 of the MFT, which the boot sector locates.  Its
// record is checked (signature, update sequence applied to every sector)
// and its unnamed data attribute is read as runs of clusters.  A run that
// points outside the volume ends the walk: the clusters not described by a
// readable bitmap are scanned, never skipped.
#include "volume_geometry.h"
#include "volume_readers.h"

#include <cstring>
#include <vector>

namespace lmr {
namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kMaxClusterBytes = 2u << 20;

}  // namespace

bool parse_ntfs_boot(const unsigned char *b, size_t got, ntfs_geometry *g) {
    if (got < 512) return false;
    if (memcmp(b + 3, "NTFS    ", 8) != 0) return false;
    if (b[510] != 0x55 || b[511] != 0xAA) return false;
    const uint64_t bps = le16(b + 11);
    if (bps < 256 || bps > 4096 || !is_power_of_two(bps)) return false;
    uint64_t spc = b[13];
    if (spc > 0x80) {
        // Large clusters: the field is minus the power of two.
        const unsigned shift = 256 - spc;
        if (shift > 12) return false;
        spc = uint64_t(1) << shift;
    } else if (!is_power_of_two(spc)) {
        return false;
    }
    const uint64_t cluster = bps * spc;
    if (cluster > kMaxClusterBytes) return false;
    // Fields that FAT uses and NTFS leaves zero.
    if (le16(b + 14) != 0 || b[16] != 0 || le16(b + 17) != 0 || le16(b + 19) != 0 || le16(b + 22) != 0 ||
        le32(b + 32) != 0)
        return false;
    const uint64_t sectors = le64(b + 40);
    const uint64_t mft = le64(b + 48);
    const int8_t per_record = int8_t(b[64]);
    uint64_t record;
    if (per_record > 0)
        record = uint64_t(per_record) * cluster;
    else if (per_record < 0 && per_record >= -31)
        record = uint64_t(1) << -per_record;
    else
        return false;
    if (record < 512 || record > 65536 || record % 512) return false;
    const uint64_t clusters = sectors / spc;
    if (clusters == 0 || mft >= clusters) return false;
    g->bytes_per_sector = bps;
    g->cluster_bytes = cluster;
    g->clusters = clusters;
    g->mft_offset = mft * cluster;
    g->record_bytes = record;
    return true;
}

// Checks a record and puts back the sector ends its update sequence
// replaced.  Every 512 bytes end with the sequence number.
bool apply_fixups(unsigned char *rec, size_t bytes) {
    if (memcmp(rec, "FILE", 4) != 0) return false;
    const size_t usa = le16(rec + 4), count = le16(rec + 6);
    if (count != bytes / 512 + 1 || usa < 8 || usa + count * 2 > bytes) return false;
    const unsigned char *seq = rec + usa;
    for (size_t i = 1; i < count; ++i) {
        unsigned char *end = rec + i * 512 - 2;
        if (end[0] != seq[0] || end[1] != seq[1]) return false;
        end[0] = seq[i * 2];
        end[1] = seq[i * 2 + 1];
    }
    return true;
}

bool decode_runs(const unsigned char *a, size_t len, uint64_t clusters, std::vector<data_run> *runs) {
    size_t p = le16(a + 32);
    int64_t lcn = 0;
    while (p < len && a[p]) {
        const unsigned len_bytes = a[p] & 15, off_bytes = a[p] >> 4;
        if (len_bytes == 0 || len_bytes > 8 || off_bytes > 8 || p + 1 + len_bytes + off_bytes > len) break;
        uint64_t count = 0;
        for (unsigned i = 0; i < len_bytes; ++i) count |= uint64_t(a[p + 1 + i]) << (8 * i);
        uint64_t delta = 0;
        for (unsigned i = 0; i < off_bytes; ++i) delta |= uint64_t(a[p + 1 + len_bytes + i]) << (8 * i);
        if (off_bytes && off_bytes < 8 && (delta >> (off_bytes * 8 - 1)) & 1)
            delta |= ~uint64_t(0) << (off_bytes * 8);  // sign extension
        p += 1 + len_bytes + off_bytes;
        if (off_bytes == 0) {
            runs->push_back({~uint64_t(0), count});
            continue;
        }
        lcn = int64_t(uint64_t(lcn) + delta);
        if (lcn < 0 || uint64_t(lcn) >= clusters || count > clusters - uint64_t(lcn)) return false;
        runs->push_back({uint64_t(lcn), count});
    }
    return true;
}

namespace {

// The runs of the record's unnamed non-resident data attribute.  Runs that
// leave the volume end the list (with a diagnostic).
bool bitmap_runs(const volume_span &v, const ntfs_geometry &g, const unsigned char *rec, size_t bytes,
                 std::vector<data_run> *runs, uint64_t *data_size) {
    const size_t used = le32(rec + 24);
    const size_t end = used < bytes ? used : bytes;
    size_t at = le16(rec + 20);
    while (at + 16 <= end) {
        const uint32_t type = le32(rec + at);
        if (type == 0xFFFFFFFFu) break;
        const size_t len = le32(rec + at + 4);
        if (len < 16 || len % 8 || len > end - at) return false;
        const unsigned char *a = rec + at;
        if (type == 0x80 && a[9] == 0 && a[8] == 1 && len >= 64 && le64(a + 16) == 0) {
            *data_size = le64(a + 48);
            if (!decode_runs(a, len, g.clusters, runs))
                diag("NTFS volume at %llu: a run of $Bitmap points outside the volume", (unsigned long long)v.base);
            return true;
        }
        at += len;
    }
    return false;
}

}  // namespace

bool looks_like_ntfs_boot(const unsigned char *sector, size_t got) {
    ntfs_geometry g;
    return parse_ntfs_boot(sector, got, &g);
}

volume_free read_ntfs_free(const volume_span &v) {
    volume_free out;
    unsigned char boot[512];
    size_t got = v.size >= sizeof boot ? read_at(v.f, v.base, boot, sizeof boot) : 0;
    ntfs_geometry g;
    if (!parse_ntfs_boot(boot, got, &g)) return out;

    const uint64_t rec_at = g.mft_offset + kBitmapRecord * g.record_bytes;
    std::vector<unsigned char> rec(g.record_bytes);
    if (rec_at >= v.size || g.record_bytes > v.size - rec_at ||
        read_at(v.f, v.base + rec_at, rec.data(), rec.size()) != rec.size()) {
        diag("NTFS volume at %llu: the MFT lies past the end of the input", (unsigned long long)v.base);
        return out;
    }
    std::vector<data_run> runs;
    uint64_t data_size = 0;
    if (!apply_fixups(rec.data(), rec.size()) || !(le16(rec.data() + 22) & 1) ||
        !bitmap_runs(v, g, rec.data(), rec.size(), &runs, &data_size)) {
        diag("NTFS volume at %llu: the MFT record of $Bitmap is damaged", (unsigned long long)v.base);
        return out;
    }
    out.recognised = true;
    out.name = "NTFS";
    out.unit = uint32_t(g.cluster_bytes);

    // Only clusters whose first byte lies in the input are walked.
    uint64_t walk = g.clusters;
    if ((v.size + g.cluster_bytes - 1) / g.cluster_bytes < walk) walk = (v.size + g.cluster_bytes - 1) / g.cluster_bytes;
    uint64_t need = (walk + 7) / 8;
    if (data_size < (g.clusters + 7) / 8)
        diag("NTFS volume at %llu: $Bitmap shorter than the cluster count; the rest is scanned",
             (unsigned long long)v.base);
    if (need > data_size) need = data_size;

    FreeRuns free_runs(v.base, g.cluster_bytes);
    std::vector<unsigned char> piece(kPiece);
    uint64_t done = 0;  // bitmap bytes walked
    bool readable = true;
    for (size_t r = 0; readable && r < runs.size() && done < need; ++r) {
        const uint64_t run_bytes_max = (need - done + g.cluster_bytes - 1) / g.cluster_bytes;
        const uint64_t clusters = runs[r].length < run_bytes_max ? runs[r].length : run_bytes_max;
        const uint64_t bytes = clusters * g.cluster_bytes;
        for (uint64_t off = 0; off < bytes && done < need; off += piece.size()) {
            uint64_t want = piece.size();
            if (want > bytes - off) want = bytes - off;
            if (want > need - done) want = need - done;
            if (runs[r].lcn == ~uint64_t(0)) {
                memset(piece.data(), 0, size_t(want));  // a sparse run reads as zeros: all free
            } else {
                const uint64_t at = runs[r].lcn * g.cluster_bytes + off;
                if (at >= v.size) {
                    readable = false;
                    break;
                }
                read_at(v.f, v.base + at, piece.data(), size_t(want));
            }
            free_runs.bitmap_bytes(piece.data(), want, done * 8, walk);
            done += want;
        }
    }
    // Clusters the bitmap does not reach are scanned.
    if (done * 8 < walk) free_runs.free_unit(done * 8);
    free_runs.finish(walk);
    out.list = clip_chunks(free_runs.take(), v.base + v.size);
    return out;
}

}  // namespace lmr

chunk_list *lmr::read_ntfs_chunks(const char *path, volume_notes &notes) {
    return read_whole_input(path, notes, [](const volume_span &v) { return lmr::read_ntfs_free(v); });
}

extern "C" chunk_list *get_ntfs_chunk_list(const char *path) {
    return lmr::published_reader([path](lmr::volume_notes &n) { return lmr::read_ntfs_chunks(path, n); });
}
