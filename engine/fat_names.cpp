// Deleted files of a FAT12, FAT16 or FAT32 volume with their names: the
// directory tree is walked from the root, through live folders by their
// cluster chains and through deleted folders by their clusters taken in a
// row from the first (deleting a folder clears its chain).  A deleted
// entry (first byte 0xE5) keeps its size, first cluster and times, and the
// long-name entries before it keep its long name (a short name alone lost
// its first letter, which the folder's other names of the same series
// may give back).  Its clusters are taken
// in a row from the first, as the chain is cleared too; a file some of
// whose clusters now belong to a live file is marked overwritten.
//
// Every folder is walked once (by its first cluster), no deeper than
// kMaxFolderDepth, and no more than kMaxEntriesWalked entries in all.
#include "named_finds.h"
#include "volume_geometry.h"

#include <cctype>
#include <cstring>
#include <set>
#include <unordered_map>

namespace lmr {
namespace {

constexpr uint64_t kMaxFolderClusters = 65536;  // of one folder
constexpr size_t kMaxFolderBytes = 65536 * 32;  // a FAT folder holds 65536 entries at most

// Whether a cluster reads as folder entries up to its first unused one:
// long-name entries with their fixed fields zero, short entries with
// name bytes a name may hold and no attribute bits past the six defined.
bool looks_like_entries(const unsigned char *p, size_t n) {
    for (size_t i = 0; i + 32 <= n; i += 32) {
        const unsigned char *e = p + i;
        if (e[0] == 0) return true;
        if ((e[11] & 0x3F) == 0x0F) {
            if (e[12] != 0 || e[26] != 0 || e[27] != 0) return false;
            continue;
        }
        if (e[11] & 0xC0) return false;
        for (int k = 0; k < 11; ++k) {
            const unsigned char c = e[k];
            if (c < 0x20 && !(k == 0 && c == 0x05)) return false;
            if (strchr("\"*+,/:;<=>?[\\]|", c) && c != 0) return false;
        }
    }
    return true;
}

struct fat_volume {
    const volume_span &v;
    fat_geometry g;
    uint64_t fat_offset;
    uint64_t cluster_bytes;
    uint64_t root_cluster;    // FAT32
    uint64_t root_offset;     // FAT12/16: the fixed root folder
    uint64_t root_bytes;
    free_map free;
    std::set<uint64_t> walked;
    uint64_t entries = 0;
    std::vector<named_find> *out;

    uint32_t fat_entry(uint64_t cluster) const {
        unsigned char e[4] = {0, 0, 0, 0};
        const uint64_t at = g.bits == 12 ? cluster + cluster / 2 : cluster * uint64_t(g.bits / 8);
        if (fat_offset + at + 4 > v.size) return 0x0FFFFFF7;  // unreadable: as a bad cluster
        read_at(v.f, v.base + fat_offset + at, e, 4);
        if (g.bits == 12) return (cluster & 1) ? (le16(e) >> 4) : (le16(e) & 0xFFF);
        if (g.bits == 16) return le16(e);
        return le32(e) & 0x0FFFFFFF;
    }
    bool valid_cluster(uint64_t c) const { return c >= 2 && c < g.clusters + 2; }
    uint64_t cluster_offset(uint64_t c) const { return g.data_start + (c - 2) * cluster_bytes; }
    bool end_of_chain(uint32_t value) const {
        const uint32_t eoc = g.bits == 12 ? 0xFF8 : g.bits == 16 ? 0xFFF8 : 0x0FFFFFF8;
        return value >= eoc;
    }

    // The bytes of a folder: a live one through its chain, a deleted one
    // in a row from its first cluster while its clusters are free.
    std::vector<unsigned char> folder_bytes(uint64_t first, bool deleted) const {
        std::vector<unsigned char> bytes;
        uint64_t c = first;
        std::set<uint64_t> seen;  // a chain that comes back to a cluster ends there
        for (uint64_t n = 0; n < kMaxFolderClusters && bytes.size() < kMaxFolderBytes && valid_cluster(c) &&
                             seen.insert(c).second;
             ++n) {
            const uint64_t at = cluster_offset(c);
            if (at >= v.size) break;
            if (deleted && fat_entry(c) != 0) break;  // its cluster now belongs to a live file
            const size_t old = bytes.size();
            bytes.resize(old + cluster_bytes);
            read_at(v.f, v.base + at, bytes.data() + old, size_t(cluster_bytes));
            // A deleted folder's next cluster in a row may be another file's
            // bytes: read as entries they would name files that never were.
            if (deleted && n > 0 && !looks_like_entries(bytes.data() + old, size_t(cluster_bytes))) {
                bytes.resize(old);
                break;
            }
            // A folder ends at its first unused entry.
            bool ended = false;
            for (size_t i = old; i < bytes.size(); i += 32)
                if (bytes[i] == 0) {
                    ended = true;
                    break;
                }
            if (ended) break;
            if (deleted) {
                ++c;
            } else {
                const uint32_t next = fat_entry(c);
                if (end_of_chain(next) || !valid_cluster(next)) break;
                c = next;
            }
        }
        return bytes;
    }

    void walk(const std::vector<unsigned char> &dir, std::vector<std::string> &path, bool deleted_folder,
              unsigned depth);
    void add_file(const unsigned char *e, const std::string &name, const std::vector<std::string> &path);
};

uint8_t short_checksum(const unsigned char *name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

// "NAME    EXT" as NAME.EXT; bytes past ASCII are kept out (their code page
// is not known).
std::string short_name(const unsigned char *e) {
    auto part = [](const unsigned char *p, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += p[i] < 0x80 ? char(p[i]) : '_';
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    };
    std::string base = part(e, 8), ext = part(e + 8, 3);
    // Lower-case flags of the base name and the extension (byte 12).
    if (e[12] & 0x08)
        for (char &c : base) c = char(tolower(static_cast<unsigned char>(c)));
    if (e[12] & 0x10)
        for (char &c : ext) c = char(tolower(static_cast<unsigned char>(c)));
    return ext.empty() ? base : base + "." + ext;
}

int64_t dos_time(uint16_t date, uint16_t time) {
    if (date == 0) return kNoTime;
    return utc_seconds(1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
}

void fat_volume::add_file(const unsigned char *e, const std::string &name, const std::vector<std::string> &path) {
    const uint64_t size = le32(e + 28);
    uint64_t first = le16(e + 26);
    if (g.bits == 32) first |= uint64_t(le16(e + 20)) << 16;
    if (size == 0 || !valid_cluster(first) || out->size() >= kMaxNamedFinds) return;
    const uint64_t clusters = (size + cluster_bytes - 1) / cluster_bytes;
    if (clusters > g.clusters + 2 - first) {
        diag("FAT volume at %llu: deleted file %s would run past the last cluster; left out",
             (unsigned long long)v.base, name.c_str());
        return;
    }
    named_find f;
    std::vector<std::string> parts = path;
    parts.push_back(name);
    f.path = safe_path(parts);
    f.size = size;
    f.runs.push_back({v.base + cluster_offset(first), size});
    f.modified = dos_time(le16(e + 24), le16(e + 22));
    f.created = dos_time(le16(e + 16), le16(e + 14));
    f.accessed = dos_time(le16(e + 18), 0);
    // Bytes past the input, or clusters a live file took since.
    f.overwritten = f.runs[0].offset + size > v.base + v.size || !free.all_free(f.runs);
    f.head_free = free.head_free(f.runs, cluster_bytes);
    out->push_back(std::move(f));
}

// A short name's letters after the first, with every digit as '0', and
// its extension: names of one series ("IMG_0001.JPG", "IMG_0002.JPG")
// have the same.
std::string series_of(const unsigned char *name11) {
    std::string key(reinterpret_cast<const char *>(name11) + 1, 10);
    for (char &c : key)
        if (c >= '0' && c <= '9') c = '0';
    return key;
}

// The entries of one folder that name something, read before any is
// acted on: a deleted short name without a long name lost its first
// letter, which the folder's other names may tell.
struct folder_entry {
    const unsigned char *e;
    unsigned char name11[11];
    bool lost_first;  // deleted, and no long name gave its first letter back
    std::string long_name;
};

void fat_volume::walk(const std::vector<unsigned char> &dir, std::vector<std::string> &path, bool deleted_folder,
                      unsigned depth) {
    std::vector<folder_entry> named;
    std::vector<const unsigned char *> long_parts;  // long-name entries before the current one, nearest last
    for (size_t i = 0; i + 32 <= dir.size() && i < kMaxFolderBytes; i += 32) {
        if (++entries > kMaxEntriesWalked) break;
        const unsigned char *e = dir.data() + i;
        if (e[0] == 0) break;
        const uint8_t attr = e[11];
        if ((attr & 0x3F) == 0x0F) {
            long_parts.push_back(e);
            continue;
        }
        std::vector<const unsigned char *> parts;
        parts.swap(long_parts);
        if (attr & 0x08) continue;  // volume label
        if (e[0] == '.' && (e[1] == ' ' || (e[1] == '.' && e[2] == ' '))) continue;

        // The long name: entries nearest first, all with the short name's
        // checksum.  A deleted entry lost its first character, so it is
        // taken from the long name when the checksum then holds.
        folder_entry x{e, {}, false, {}};
        unsigned char *name11 = x.name11;
        memcpy(name11, e, 11);
        if (name11[0] == 0x05) name11[0] = 0xE5;  // a name that starts with 0xE5 is kept as 0x05
        bool matched = false;
        if (!parts.empty()) {
            std::string text;
            const uint8_t sum = parts.back()[13];
            bool same = true;
            for (size_t k = parts.size(); k-- > 0;) {
                const unsigned char *p = parts[k];
                if (p[13] != sum) same = false;
                unsigned char units[26];
                memcpy(units, p + 1, 10);
                memcpy(units + 10, p + 14, 12);
                memcpy(units + 22, p + 28, 4);
                size_t n = 0;
                while (n < 13 && le16(units + 2 * n) != 0 && le16(units + 2 * n) != 0xFFFF) ++n;
                text += utf16_to_utf8(units, n);
                if (n < 13) break;
            }
            if (same && !text.empty()) {
                if (e[0] == 0xE5) {
                    const unsigned char c = static_cast<unsigned char>(text[0]);
                    name11[0] = c < 0x80 ? static_cast<unsigned char>(toupper(c)) : '_';
                }
                matched = short_checksum(name11) == sum;
                if (!matched && e[0] == 0xE5) {
                    // The short name may start otherwise ("~", a digit):
                    // one first byte alone gives the checksum.
                    for (int c = 0x20; c < 0x7F && !matched; ++c) {
                        name11[0] = static_cast<unsigned char>(c);
                        matched = short_checksum(name11) == sum;
                    }
                }
                if (matched) x.long_name = text;
            }
        }
        if (e[0] == 0xE5 && !matched) {
            name11[0] = '_';
            x.lost_first = true;
        }
        named.push_back(std::move(x));
    }

    // A lost first letter is given back where the folder's known names of
    // the same series all start with one letter (live "IMG_0002.JPG"
    // beside deleted "?MG_0001.JPG"); where none or several fit it stays
    // '_', as a wrong letter would be worse.  One pass over the folder's
    // names and one look-up per lost letter.
    std::unordered_map<std::string, unsigned char> first_of;  // series -> its one first byte, 0 for several
    size_t lost = 0;
    for (const folder_entry &x : named) {
        if (x.lost_first) {
            ++lost;
            continue;
        }
        auto at = first_of.emplace(series_of(x.name11), x.name11[0]);
        if (!at.second && at.first->second != x.name11[0]) at.first->second = 0;
    }
    size_t kept = 0;
    if (lost && !first_of.empty()) {
        for (folder_entry &x : named) {
            if (!x.lost_first) continue;
            const auto it = first_of.find(series_of(x.name11));
            if (it == first_of.end() || it->second == 0 || it->second == 0xE5) continue;
            x.name11[0] = it->second;
            x.lost_first = false;
        }
    }
    for (const folder_entry &x : named) kept += x.lost_first;
    if (kept) {
        const std::string where = path.empty() ? std::string("the root folder") : safe_path(path);
        diag("FAT volume at %llu: %zu deleted short names in %s lost their first letter, shown as '_'",
             (unsigned long long)v.base, kept, where.c_str());
    }

    for (const folder_entry &x : named) {
        const unsigned char *e = x.e;
        const bool deleted = e[0] == 0xE5 || deleted_folder;
        unsigned char shown[13];
        memcpy(shown, x.name11, 11);
        shown[12] = e[12];
        const std::string name = x.long_name.empty() ? short_name(shown) : x.long_name;

        if (e[11] & 0x10) {
            uint64_t first = le16(e + 26);
            if (g.bits == 32) first |= uint64_t(le16(e + 20)) << 16;
            if (!valid_cluster(first) || depth >= kMaxFolderDepth || !walked.insert(first).second) continue;
            std::vector<unsigned char> sub = folder_bytes(first, deleted);
            // A folder starts with its "." and ".." entries; without them
            // its cluster holds something else now.
            if (sub.size() < 64 || memcmp(sub.data(), ".          ", 11) != 0 ||
                memcmp(sub.data() + 32, "..         ", 11) != 0)
                continue;
            path.push_back(name);
            walk(sub, path, deleted, depth + 1);
            path.pop_back();
        } else if (deleted) {
            add_file(e, name, path);
        }
    }
}

}  // namespace

std::vector<named_find> walk_fat_names(const volume_span &v) {
    std::vector<named_find> out;
    unsigned char boot[512];
    size_t got = v.size >= sizeof boot ? read_at(v.f, v.base, boot, sizeof boot) : 0;
    fat_geometry g;
    if (!parse_fat_boot(boot, got, &g)) return out;
    volume_free fr = read_fat_free(v, true);
    if (!fr.recognised) return out;
    fat_volume vol{v, g, g.reserved * g.bytes_per_sector, g.sectors_per_cluster * g.bytes_per_sector, 0, 0, 0,
                   free_map(fr.list), {}, 0, &out};
    free_chunk_list(fr.list);
    std::vector<unsigned char> root;
    if (g.bits == 32) {
        vol.root_cluster = le32(boot + 44);
        if (!vol.valid_cluster(vol.root_cluster)) return out;
        vol.walked.insert(vol.root_cluster);
        root = vol.folder_bytes(vol.root_cluster, false);
    } else {
        vol.root_bytes = uint64_t(le16(boot + 17)) * 32;
        vol.root_offset = (g.reserved + g.fats * g.fat_sectors) * g.bytes_per_sector;
        if (vol.root_offset >= v.size) return out;
        root.resize(size_t(vol.root_bytes));
        read_at(v.f, v.base + vol.root_offset, root.data(), root.size());
    }
    std::vector<std::string> path;
    vol.walk(root, path, false, 0);
    return out;
}

}  // namespace lmr
