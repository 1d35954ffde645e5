// Deleted files of an exFAT volume with their names.  A file is an entry
// set: a file entry, a stream extension and file name entries; deleting it
// clears the in-use bit of each entry's type and leaves the rest, so a set
// whose types are 0x05, 0x40, 0x41... and whose set checksum holds (with
// the in-use bits put back) is a deleted file.  The stream extension gives
// its first cluster and valid length; its clusters are taken in a row from
// the first (a file kept contiguous needs no FAT; a fragmented one's chain
// may be gone), and a file some of whose clusters are now in use is marked
// overwritten.  Folders are walked from the root, live ones through the FAT
// or in a row, deleted ones in a row.
//
// Every folder is walked once, no deeper than kMaxFolderDepth, and no
// more than kMaxEntriesWalked entries in all.
#include "named_finds.h"
#include "volume_geometry.h"

#include <cstring>
#include <set>

namespace lmr {
namespace {

constexpr uint64_t kMaxFolderBytes = 256u << 20;  // the largest folder exFAT allows

struct exfat_volume {
    const volume_span &v;
    exfat_geometry g;
    free_map free;
    std::set<uint64_t> walked;
    uint64_t entries = 0;
    std::vector<named_find> *out;

    bool valid_cluster(uint64_t c) const { return c >= 2 && c < g.clusters + 2; }
    uint64_t cluster_offset(uint64_t c) const { return g.heap_offset + (c - 2) * g.cluster_bytes; }
    uint32_t fat_entry(uint64_t c) const {
        unsigned char e[4];
        const uint64_t at = g.fat_offset + c * 4;
        if (at + 4 > v.size || read_at(v.f, v.base + at, e, 4) != 4) return 0xFFFFFFFF;
        return le32(e);
    }

    // A folder's bytes: `length` bytes (0: until the chain ends) from its
    // first cluster, in a row or through the FAT.
    std::vector<unsigned char> folder_bytes(uint64_t first, uint64_t length, bool in_a_row) const {
        std::vector<unsigned char> bytes;
        if (!length || length > kMaxFolderBytes) length = kMaxFolderBytes;
        uint64_t c = first;
        std::set<uint64_t> seen;  // a chain that comes back to a cluster ends there
        for (uint64_t n = 0; bytes.size() < length && valid_cluster(c) && n < g.clusters && seen.insert(c).second; ++n) {
            const uint64_t at = cluster_offset(c);
            if (at >= v.size) break;
            const size_t old = bytes.size();
            bytes.resize(old + g.cluster_bytes);
            read_at(v.f, v.base + at, bytes.data() + old, size_t(g.cluster_bytes));
            bool ended = false;  // a folder ends at its first entry of type 0
            for (size_t i = old; i < bytes.size() && !ended; i += 32) ended = bytes[i] == 0;
            if (ended) break;
            if (in_a_row) {
                ++c;
            } else {
                const uint32_t next = fat_entry(c);
                c = next == 0 ? c + 1 : next;  // a zero entry: the chain goes on in the next cluster
            }
        }
        return bytes;
    }

    // The runs of `size` bytes through the FAT chain from `first`; empty
    // when the chain does not describe them (it ends early, loops or leaves
    // the volume).
    std::vector<r_run> chain_runs(uint64_t first, uint64_t size) const {
        std::vector<r_run> runs;
        std::set<uint64_t> seen;
        uint64_t c = first, left = size;
        while (left) {
            if (!valid_cluster(c) || !seen.insert(c).second || seen.size() > g.clusters) return {};
            const uint64_t take = left < g.cluster_bytes ? left : g.cluster_bytes;
            const uint64_t at = v.base + cluster_offset(c);
            if (!runs.empty() && runs.back().offset + runs.back().length == at)
                runs.back().length += take;
            else
                runs.push_back({at, take});
            left -= take;
            if (!left) break;
            const uint32_t next = fat_entry(c);
            if (next == 0) return {};  // cleared: no chain
            c = next;
        }
        return runs;
    }

    void walk(const std::vector<unsigned char> &dir, std::vector<std::string> &path, bool deleted_folder,
              unsigned depth);
};

uint16_t set_checksum(const unsigned char *set, size_t entries) {
    uint16_t sum = 0;
    for (size_t i = 0; i < entries * 32; ++i) {
        if (i == 2 || i == 3) continue;
        // Each entry's type is summed as it was in use.
        const unsigned char b = i % 32 == 0 ? static_cast<unsigned char>(set[i] | 0x80) : set[i];
        sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

// A timestamp with its offset from UTC (when the offset is valid).
int64_t exfat_time(uint32_t stamp, uint8_t utc_offset) {
    if (stamp == 0) return kNoTime;
    int64_t t = utc_seconds(1980 + int(stamp >> 25), (stamp >> 21) & 15, (stamp >> 16) & 31, (stamp >> 11) & 31,
                            (stamp >> 5) & 63, int(stamp & 31) * 2);
    if (t != kNoTime && (utc_offset & 0x80)) {
        const int quarters = (utc_offset & 0x40) ? int(utc_offset & 0x7F) - 128 : int(utc_offset & 0x7F);
        t -= int64_t(quarters) * 15 * 60;
    }
    return t;
}

void exfat_volume::walk(const std::vector<unsigned char> &dir, std::vector<std::string> &path, bool deleted_folder,
                        unsigned depth) {
    for (size_t i = 0; i + 32 <= dir.size(); i += 32) {
        if (++entries > kMaxEntriesWalked) return;
        const unsigned char *e = dir.data() + i;
        if (e[0] == 0) return;
        if ((e[0] & 0x7F) != 0x05) continue;  // not a file entry
        const size_t secondary = e[1];
        if (secondary < 2 || i + (secondary + 1) * 32 > dir.size()) continue;
        const unsigned char *s = e + 32;
        const bool in_use = (e[0] & 0x80) != 0;
        // The set's entries are all in use or all deleted, and the first
        // secondary entry is the stream extension.
        if ((s[0] & 0x7F) != 0x40 || bool(s[0] & 0x80) != in_use) continue;
        if (set_checksum(e, secondary + 1) != le16(e + 2)) continue;
        const bool deleted = !in_use || deleted_folder;
        const size_t name_units = s[3];
        std::vector<unsigned char> units;
        for (size_t k = 2; k <= secondary && units.size() < name_units * 2; ++k) {
            const unsigned char *n = e + k * 32;
            if ((n[0] & 0x7F) != 0x41) break;
            units.insert(units.end(), n + 2, n + 32);
        }
        if (units.size() < name_units * 2) continue;
        const std::string name = utf16_to_utf8(units.data(), name_units);
        const uint64_t first = le32(s + 20), length = le64(s + 24), valid = le64(s + 8);
        const bool contiguous = (s[1] & 2) != 0;
        i += secondary * 32;  // the set's other entries

        if (le16(e + 4) & 0x10) {
            if (!valid_cluster(first) || depth >= kMaxFolderDepth || !walked.insert(first).second) continue;
            std::vector<unsigned char> sub = folder_bytes(first, length, contiguous || deleted);
            path.push_back(name);
            walk(sub, path, deleted, depth + 1);
            path.pop_back();
            continue;
        }
        if (!deleted) continue;
        // Bytes past the valid length were never written: the file is its
        // valid bytes.
        const uint64_t size = valid < length ? valid : length;
        if (size == 0 || !valid_cluster(first) || out->size() >= kMaxNamedFinds) continue;
        named_find f;
        // A file not kept contiguous had a chain in the FAT; where deleting
        // it left the chain (it only clears the bitmap), the chain gives its
        // clusters, else they are taken in a row.
        if (!contiguous) f.runs = chain_runs(first, size);
        f.runs_known = contiguous || !f.runs.empty();
        if (f.runs.empty()) {
            const uint64_t clusters = (size + g.cluster_bytes - 1) / g.cluster_bytes;
            if (clusters > g.clusters + 2 - first) {
                diag("exFAT volume at %llu: deleted file %s would run past the last cluster; left out",
                     (unsigned long long)v.base, name.c_str());
                continue;
            }
            f.runs.push_back({v.base + cluster_offset(first), size});
        }
        std::vector<std::string> parts = path;
        parts.push_back(name);
        f.path = safe_path(parts);
        f.size = size;
        f.created = exfat_time(le32(e + 8), e[22]);
        f.modified = exfat_time(le32(e + 12), e[23]);
        f.accessed = exfat_time(le32(e + 16), e[24]);
        f.overwritten = !free.all_free(f.runs);
        f.head_free = free.head_free(f.runs, g.cluster_bytes);
        for (const r_run &r : f.runs)
            if (r.offset + r.length > v.base + v.size) f.overwritten = true;
        out->push_back(std::move(f));
    }
}

}  // namespace

std::vector<named_find> walk_exfat_names(const volume_span &v) {
    std::vector<named_find> out;
    exfat_geometry g;
    if (!read_exfat_boot(v, &g)) return out;
    volume_free fr = read_exfat_free(v);
    if (!fr.recognised) return out;
    exfat_volume vol{v, g, free_map(fr.list), {}, 0, &out};
    free_chunk_list(fr.list);
    vol.walked.insert(g.root);
    std::vector<std::string> path;
    vol.walk(vol.folder_bytes(g.root, 0, false), path, false, 0);
    return out;
}

}  // namespace lmr
