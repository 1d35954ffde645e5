// Compound documents (the sector container of legacy Word, Excel and
// PowerPoint files): checks the header, loads the FAT sector list, follows
// the directory chain, names the document from its stream names and takes
// its length from the allocation table (an estimate when the table cannot
// be read).
#include "../probe_reader.h"
#include "ole_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t k_sector = 512;
constexpr uint32_t k_header_fixed = 76;
constexpr uint32_t k_header_fat_entries = 109;
constexpr uint32_t k_difat_entries = 127;  // the 128th entry links the chain
constexpr uint32_t k_entries_per_sector = 128;
constexpr uint32_t k_dirent_size = 128;
constexpr int32_t k_end_of_chain = -2;
constexpr int32_t k_free_sector = -1;
constexpr int32_t k_max_fat_sectors = 100;
constexpr uint32_t k_max_difat_sectors = 100;
constexpr int32_t k_max_dir_chain = 301;
constexpr int32_t k_max_dirents = 500;
constexpr int64_t k_max_length = INT32_MAX;

const char k_ole[] = "ole";
const char k_doc[] = "doc";
const char k_xls[] = "xls";
const char k_ppt[] = "ppt";
const char k_mbd[] = "mbd";
const char k_vis[] = "vis";
const char k_sdw[] = "sdw";

int32_t le32(const unsigned char *p) { return int32_t(htoi(p, 1)); }

uint64_t sector_pos(int32_t n) { return (uint64_t(int64_t(n)) + 1) * k_sector; }

// Reads sector n (n >= -1) and raises highblk past it.
int readblk(bs *r, int32_t n, unsigned char *buffer) {
    bs_reset(r);
    bs_skip(r, sector_pos(n));
    if (bs_read(r, buffer, k_sector) < k_sector) return 0;
    if (n >= highblk) highblk = n == INT32_MAX ? INT32_MAX : n + 1;
    return 1;
}

bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }
bool punctuation(unsigned char c) {
    return c > 0x20 && c < 0x7F && !(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z');
}

uint64_t round_up(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

// Frees the lists one probe call loads.
void release() {
    free(dirlist);
    dirlist = nullptr;
    dl = nullptr;
    free(FAT);
    FAT = nullptr;
    lmr::ole_fat_entries = 0;
    lmr::ole_dir_room = 0;
}

// The next sector after c in the FAT, through the cached FAT sector.
bool next_sector(bs *r, int32_t c, int32_t &next) {
    if (!ole_getFATblk(r, c, ole_block_list)) return false;
    next = le32(ole_block_list + 4 * (uint32_t(c) % k_entries_per_sector));
    return true;
}

struct header_fields {
    int32_t fat_sectors;
    int32_t first_dir;
    uint32_t mini_cutoff;
    int32_t first_minifat;
    uint32_t minifat_sectors;
    int32_t first_difat;
    uint32_t difat_sectors;
};

// Loads the FAT sector list: the header's 109 entries, then 127 from each
// DIFAT sector in chain order.
bool load_fat(bs *r, const header_fields &h) {
    uint32_t room = uint32_t(h.fat_sectors + 1) * k_entries_per_sector;
    FAT = static_cast<int32_t *>(calloc(room, sizeof(int32_t)));
    if (!FAT) return false;
    auto *bytes = reinterpret_cast<unsigned char *>(FAT);
    if (bs_read(r, bytes, k_header_fat_entries * 4) < k_header_fat_entries * 4) return false;
    uint32_t loaded = k_header_fat_entries;
    if (h.first_difat > 0 && h.difat_sectors > 0) {
        // Each DIFAT sector is read whole right after the entries so far;
        // the list must have room for the last one's 128 entries.
        if (loaded + h.difat_sectors * k_difat_entries + 1 > room) return false;
        int32_t d = h.first_difat;
        for (uint32_t i = 0; i < h.difat_sectors; ++i) {
            unsigned char *at = bytes + size_t(loaded) * 4;
            if (!ole_getblk(r, d, at)) return false;
            d = le32(at + k_difat_entries * 4);
            loaded += k_difat_entries;
        }
    }
    lmr::ole_fat_entries = loaded;
    return true;
}

// Follows the directory chain from its first sector and counts the sectors
// after it.  False: no find.
bool measure_directory(bs *r, int32_t first, int32_t &further) {
    further = 0;
    if (!ole_getblk(r, first, ole_buffer)) return false;
    int32_t c = first;
    for (;;) {
        int32_t n;
        if (!next_sector(r, c, n)) return false;
        if (n == c || n == k_end_of_chain) return true;
        ++further;
        int kind = ole_dir_blk(r, n);
        if (kind == 0) return false;
        if (kind == 3) return true;
        c = n;
        if (further >= k_max_dir_chain) return false;
    }
}

bool load_directory(bs *r, int32_t first, int32_t further) {
    size_t bytes = size_t(further + 1) * k_sector;
    dirlist = static_cast<ole_dirent *>(calloc(1, bytes));
    if (!dirlist) return false;
    lmr::ole_dir_room = uint32_t(bytes / sizeof(ole_dirent));
    if (!ole_getblk(r, first, ole_buffer) || !ole_dir_info(ole_buffer)) return false;
    int32_t c = first;
    for (int32_t i = 0; i < further; ++i) {
        int32_t n;
        if (!next_sector(r, c, n)) return false;
        if (n == k_end_of_chain) break;
        if (!ole_getblk(r, n, ole_buffer) || !ole_dir_info(ole_buffer)) return false;
        c = n;
    }
    return true;
}

// Chooses the suffix and sums the stream sizes in whole mini or full
// sectors.  False: no find.
bool classify(uint32_t mini_cutoff, const char *&suffix, uint64_t &streams) {
    suffix = k_ole;
    streams = 0;
    bool decided = false;
    for (int32_t i = 0; i < dir_count; ++i) {
        dl = &dirlist[i];
        if (dl->name[0] == '@') return false;
        if (dl->type != 2) continue;
        if (!decided) {
            const char *s = check_ole_name(dl->name);
            if (s) {
                suffix = s;
                decided = true;
            }
        }
        // A stream of 2 GiB or more cannot be part of a file this probe
        // would report.
        if (dl->size < 0) return false;
        uint64_t size = uint32_t(dl->size);
        streams += round_up(size, size <= mini_cutoff ? 64 : k_sector);
    }
    return true;
}

// Length estimate when the allocation table cannot be read: the structures
// and streams counted in whole sectors, at least up to the sectors read
// (with the mini-FAT just past them).  0 when it leaves 32 bits.
uint64_t estimate(const header_fields &h, uint64_t streams) {
    uint64_t total = 1024 + uint64_t(k_sector) * uint32_t(h.fat_sectors) +
                     round_up(uint64_t(k_dirent_size) * uint32_t(dir_count), k_sector) +
                     round_up(uint64_t(64) * h.minifat_sectors, k_sector) + streams;
    int64_t bound = h.first_minifat;
    if (bound <= int64_t(highblk) + 4 && highblk > 0) bound = int64_t(highblk) + 5;
    int64_t by_sector = bound * int64_t(k_sector);
    uint64_t len = total;
    if (by_sector > 0 && uint64_t(by_sector) > len) len = uint64_t(by_sector);
    len = round_up(len, k_sector);
    return len > uint64_t(k_max_length) ? 0 : len;
}

// The exact length: the header and every sector up to the last one the
// allocation table marks as used (any entry but free).  False when a FAT
// sector cannot be read, e.g. past the end of the chunk.
bool allocated_length(bs *r, const header_fields &h, uint64_t &len) {
    const auto *list = reinterpret_cast<const unsigned char *>(FAT);
    unsigned char sector[k_sector];
    int64_t last = -1;
    for (int32_t i = 0; i < h.fat_sectors; ++i) {
        if (uint32_t(i) >= lmr::ole_fat_entries) return false;
        int32_t at = le32(list + size_t(i) * 4);
        if (at < 0) return false;
        bs_reset(r);
        bs_skip(r, sector_pos(at));
        if (bs_read(r, sector, k_sector) < k_sector) return false;
        for (uint32_t e = 0; e < k_entries_per_sector; ++e)
            if (le32(sector + 4 * e) != k_free_sector) last = int64_t(i) * k_entries_per_sector + e;
    }
    if (last < 0) return false;
    // The header takes the first sector; sectors are 512 bytes, the only
    // size the header check admits.
    len = uint64_t(k_sector) * uint64_t(last + 2);
    return true;
}

uint64_t probe(bs *r, search_spec_entry *entry, int32_t *found) {
    unsigned char hdr[k_header_fixed];
    if (bs_read(r, hdr, k_header_fixed) < k_header_fixed) return 0;
    if (!valid_ole_header(hdr)) return 0;
    header_fields h;
    h.fat_sectors = le32(hdr + 44);
    h.first_dir = le32(hdr + 48);
    h.mini_cutoff = htoi(hdr + 56, 1);
    h.first_minifat = le32(hdr + 60);
    h.minifat_sectors = htoi(hdr + 64, 1);
    h.first_difat = le32(hdr + 68);
    h.difat_sectors = htoi(hdr + 72, 1);

    if (!load_fat(r, h)) return 0;
    if (h.first_dir < 0) return 0;
    int32_t further = 0;
    if (!measure_directory(r, h.first_dir, further)) return 0;
    if (!load_directory(r, h.first_dir, further)) return 0;

    const char *suffix;
    uint64_t streams;
    if (!classify(h.mini_cutoff, suffix, streams)) return 0;

    uint64_t len = 0;
    if (!allocated_length(r, h, len)) len = estimate(h, streams);
    // Beyond what a signed 32-bit length holds the counts are not real.
    if (len == 0 || len > uint64_t(k_max_length)) return 0;

    entry->suffix = suffix;
    if (lmr::name_requested(entry, suffix)) *found = 1;
    return len;
}

}  // namespace

extern "C" {

int valid_ole_header(const unsigned char *header) {
    if (!header) return 0;
    if (htos(header + 34, 1) != 0 || htoi(header + 36, 1) != 0) return 0;
    if (htoi(header + 40, 1) != 0) return 0;
    if (htos(header + 32, 1) != 6 || htos(header + 30, 1) != 9) return 0;
    int32_t fat_sectors = le32(header + 44);
    if (fat_sectors < 1 || fat_sectors > k_max_fat_sectors) return 0;
    if (htoi(header + 72, 1) > k_max_difat_sectors) return 0;
    return 1;
}

int ole_getblk(bs *reader, int32_t n, unsigned char *buffer) {
    if (!reader || !buffer || n < -1) return 0;
    return readblk(reader, n, buffer);
}

int ole_getFATblk(bs *reader, int32_t n, unsigned char *buffer) {
    if (!reader || !buffer || !FAT) return 0;
    uint32_t index = uint32_t(n) / k_entries_per_sector;
    if (index >= lmr::ole_fat_entries) return 0;  // no FAT sector listed for it
    FATblk = le32(reinterpret_cast<const unsigned char *>(FAT) + size_t(index) * 4);
    if (FATblk == currFATblk) return 1;
    if (FATblk < -1) return 0;
    if (!readblk(reader, FATblk, buffer)) return 0;
    currFATblk = FATblk;
    return 1;
}

int ole_skip_to_oleblk(bs *reader, int32_t n) {
    if (!reader || n < -1) return 0;
    bs_reset(reader);
    bs_skip(reader, sector_pos(n));
    return 1;
}

int ole_dir_blk(bs *reader, int32_t n) {
    if (!reader || n < -1) return 0;
    unsigned char sector[k_sector];
    ole_skip_to_oleblk(reader, n);
    if (bs_read(reader, sector, k_sector) < k_sector) return 0;
    for (uint32_t e = 0; e < k_sector; e += k_dirent_size)
        if (sector[e + 66] == 0) return 3;
    return 1;
}

int ole_dir_info(const unsigned char *sector) {
    if (!sector || !dirlist) return 0;
    for (uint32_t e = 0; e < k_sector; e += k_dirent_size) {
        const unsigned char *ent = sector + e;
        int8_t type = int8_t(ent[66]);
        if (type == 0) return 1;
        if (type < 0) return 0;
        if (dir_count >= k_max_dirents || uint32_t(dir_count) >= lmr::ole_dir_room) return 0;
        dl = &dirlist[dir_count++];
        uint32_t name_len = htos(ent + 64, 1);
        if (name_len < 1 || name_len > 64) return 0;
        // A leading control character (as in "\x05SummaryInformation") is
        // dropped with its UTF-16 high byte.  The name field is 64 bytes.
        uint32_t from = int8_t(ent[0]) > 0x1F ? 0 : 2;
        uint32_t to = from + name_len > 64 ? 64 : from + name_len;
        uint32_t kept = 0;
        int punct = 0;
        for (uint32_t i = from; i < to && kept < sizeof dl->name - 1; ++i) {
            unsigned char c = ent[i];
            if (c == 0 || !printable(c)) continue;
            if (punctuation(c)) ++punct;
            dl->name[kept++] = char(c);
        }
        dl->name[kept] = 0;
        if (punct > 3) return 0;
        if (strstr(dl->name, "Catalog")) return 0;
        dl->type = type;
        dl->depth = 0;
        dl->size = le32(ent + 120);
        dl->start = le32(ent + 116);
        dl->right = le32(ent + 72);
        dl->left = le32(ent + 68);
        dl->child = le32(ent + 76);
        if (type != 2) {
            dl->times[0] = htoi(ent + 100, 1);
            dl->times[1] = htoi(ent + 108, 1);
            dl->times[2] = htoi(ent + 104, 1);
            dl->times[3] = htoi(ent + 112, 1);
        }
    }
    return 1;
}

const char *check_ole_name(const char *name) {
    if (!name) return nullptr;
    if (strstr(name, "WordDocument")) return k_doc;
    if (strstr(name, "Worksheet") || strstr(name, "Book") || strstr(name, "Workbook")) return k_xls;
    if (strstr(name, "Power")) return k_ppt;
    if (strstr(name, "Access") || strstr(name, "AccessObjSiteData")) return k_mbd;
    if (strstr(name, "Visio")) return k_vis;
    if (strstr(name, "Sfx")) return k_sdw;
    return nullptr;
}

uint64_t probe_ole(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                   uint64_t offset, uint64_t limit, int32_t *found) {
    if (!state || !entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    ole_init();
    uint64_t len = probe(in.get(), entry, found);
    release();
    return len;
}

}  // extern "C"
