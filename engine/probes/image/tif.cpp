// TIFF and the camera RAW files built on it (DNG, CR2, NEF, ARW, ORF, RW2,
// PEF).  Nothing in a TIFF says how long it is: the file ends where the
// furthest structure that one of its directories points at ends.  The walk
// reads every directory it can reach (the IFD chain, SubIFDs, the Exif,
// GPS and interoperability directories, a maker note's own directory) and
// takes the end of each table, each value stored outside its entry, each
// strip, tile and embedded JPEG.  A pointer that leaves the chunk means the
// file is not whole here: nothing is found.
//
// The name comes from the header (ORF's and RW2's own magic numbers, "CR"
// at byte 8 of a CR2), else from the DNGVersion or Make tags; plain "tif"
// otherwise.
#include "../../file_types.h"
#include "../probe_reader.h"

#include <cstring>

namespace {

constexpr int k_max_dirs = 64;              // directories followed in one file
constexpr uint32_t k_max_entries = 1024;    // entries of one directory
constexpr uint64_t k_max_values = 1u << 22; // array values read in one file
constexpr uint32_t k_batch = 256;           // array values read at a time

uint32_t type_size(uint16_t type) {
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;   // BYTE ASCII SBYTE UNDEFINED
    case 3: case 8: return 2;                   // SHORT SSHORT
    case 4: case 9: case 11: case 13: return 4; // LONG SLONG FLOAT IFD
    case 5: case 10: case 12: return 8;         // RATIONAL SRATIONAL DOUBLE
    case 16: case 17: case 18: return 8;        // LONG8 SLONG8 IFD8 (BigTIFF types, seen in DNG)
    default: return 0;
    }
}

// One tag's place: its type and count, and where its value lies (the entry
// itself for values of 4 bytes or less).
struct tag_value {
    uint16_t type = 0;
    uint32_t count = 0;
    uint64_t at = 0;   // absolute position of the value
    bool present = false;
};

struct dir_ref {
    uint64_t at;    // absolute position of the directory
    uint64_t base;  // what the directory's offsets are relative to
    bool little;
    int kind;       // 0 main, 1 maker note
};

class tiff_walk {
public:
    tiff_walk(lmr::probe_reader &in, const unsigned char *data, uint64_t limit)
        : in_(in), data_(data), limit_(limit) {}

    // Bytes at absolute position `pos` of the candidate.
    bool read_at(uint64_t pos, void *dst, uint32_t n) {
        if (pos > limit_ || n > limit_ - pos) return false;
        if (pos + n <= in_.head() && lmr::readable_bytes(data_ + pos, n) == n) {
            memcpy(dst, data_ + pos, n);
            return true;
        }
        if (pos < in_.tell()) in_.renew();
        in_.skip(pos - in_.tell());
        return in_.peek_exact(dst, n);
    }

    // Notes that the file reaches at least to `end`; false when that lies
    // beyond the chunk.
    bool reach(uint64_t end) {
        if (end > limit_) {
            beyond_ = true;
            return false;
        }
        if (end > end_) end_ = end;
        return true;
    }

    uint64_t value(const unsigned char *p, uint16_t type, bool little) {
        switch (type_size(type)) {
        case 1: return p[0];
        case 2: return htos(p, little);
        case 8: return htoll(p, little);
        default: return htoi(p, little);
        }
    }

    // The i-th value of an array tag (SHORT, LONG or LONG8).
    bool array_value(const tag_value &t, uint32_t i, bool little, uint64_t *out) {
        uint32_t sz = type_size(t.type);
        if (sz != 2 && sz != 4 && sz != 8) return false;
        unsigned char b[8];
        if (!read_at(t.at + uint64_t(i) * sz, b, sz)) return false;
        *out = value(b, t.type, little);
        return true;
    }

    // Ends of the pieces an offsets/counts pair describes (strips, tiles).
    bool pieces(const tag_value &offs, const tag_value &counts, uint64_t base, bool little) {
        if (!offs.present || !counts.present) return true;
        uint32_t n = offs.count < counts.count ? offs.count : counts.count;
        if (values_ + n > k_max_values) return false;
        values_ += n;
        uint64_t o[k_batch], c[k_batch];
        for (uint32_t i = 0; i < n; i += k_batch) {
            uint32_t m = n - i < k_batch ? n - i : k_batch;
            if (!batch(offs, i, m, little, o) || !batch(counts, i, m, little, c)) return false;
            for (uint32_t k = 0; k < m; ++k) {
                if (c[k] == 0) continue;
                if (o[k] > limit_ || c[k] > limit_) return reach(UINT64_MAX);
                if (!reach(base + o[k] + c[k])) return false;
            }
        }
        return true;
    }

    bool batch(const tag_value &t, uint32_t first, uint32_t m, bool little, uint64_t *out) {
        uint32_t sz = type_size(t.type);
        if (sz != 2 && sz != 4 && sz != 8) return false;
        unsigned char b[k_batch * 8];
        if (!read_at(t.at + uint64_t(first) * sz, b, m * sz)) return false;
        for (uint32_t k = 0; k < m; ++k) out[k] = value(b + k * sz, t.type, little);
        return true;
    }

    // Queues a directory; a directory already seen is not read again, so
    // a loop of pointers ends.
    void follow(uint64_t at, uint64_t base, bool little, int kind) {
        if (at < 8 || at > limit_ || ndirs_ >= k_max_dirs) return;
        for (int i = 0; i < ndirs_; ++i)
            if (dirs_[i].at == at) return;
        dirs_[ndirs_++] = {at, base, little, kind};
    }

    // Reads one directory; false when a main directory is malformed.
    bool directory(const dir_ref &d) {
        unsigned char b[12];
        if (!read_at(d.at, b, 2)) return false;
        const uint32_t count = htos(b, d.little);
        if (count == 0 || count > k_max_entries) return false;
        const uint64_t table_end = d.at + 2 + uint64_t(count) * 12 + 4;
        if (table_end > limit_) return false;

        // A maker's directory is taken only when all of it reads as one:
        // known types, values inside the chunk.  Otherwise it is some
        // other layout and left alone.
        if (d.kind == 1) {
            for (uint32_t i = 0; i < count; ++i) {
                if (!read_at(d.at + 2 + uint64_t(i) * 12, b, 12)) return false;
                const uint32_t sz = type_size(htos(b + 2, d.little));
                const uint64_t bytes = uint64_t(htoi(b + 4, d.little)) * sz;
                if (sz == 0) return false;
                if (bytes > 4 && (bytes > limit_ || d.base + htoi(b + 8, d.little) > limit_ - bytes)) return false;
            }
        }

        tag_value strip_off, strip_len, tile_off, tile_len, jpeg_off, jpeg_len, maker, preview_off, preview_len;
        uint16_t prev_tag = 0;
        uint32_t unordered = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t e = d.at + 2 + uint64_t(i) * 12;
            if (!read_at(e, b, 12)) return false;
            const uint16_t tag = htos(b, d.little);
            const uint16_t type = htos(b + 2, d.little);
            const uint32_t n = htoi(b + 4, d.little);
            const uint32_t sz = type_size(type);
            if (sz == 0) {
                if (d.kind == 0) return false;
                continue;
            }
            if (i > 0 && tag <= prev_tag) ++unordered;
            prev_tag = tag;
            tag_value v;
            v.type = type;
            v.count = n;
            v.present = true;
            const uint64_t bytes = uint64_t(n) * sz;
            if (bytes <= 4) {
                v.at = e + 8;
            } else {
                v.at = d.base + htoi(b + 8, d.little);
                if (!reach(v.at + bytes)) return false;
            }
            if (d.kind == 0) {
                switch (tag) {
                case 271: make(v); break;
                case 273: strip_off = v; break;
                case 279: strip_len = v; break;
                case 324: tile_off = v; break;
                case 325: tile_len = v; break;
                case 513: jpeg_off = v; break;
                case 514: jpeg_len = v; break;
                case 330:  // SubIFDs
                    for (uint32_t k = 0; k < n && k < 16; ++k) {
                        uint64_t at;
                        if (array_value(v, k, d.little, &at)) follow(d.base + at, d.base, d.little, 0);
                    }
                    break;
                case 34665: case 34853: case 40965: {  // Exif, GPS, interoperability
                    uint64_t at;
                    if (array_value(v, 0, d.little, &at)) follow(d.base + at, d.base, d.little, 0);
                    break;
                }
                case 37500: maker = v; break;
                case 50706: dng_ = true; break;
                default: break;
                }
            } else {
                switch (tag) {
                case 0x0011: {  // a preview directory (Nikon)
                    uint64_t at;
                    if (array_value(v, 0, d.little, &at)) follow(d.base + at, d.base, d.little, 0);
                    break;
                }
                case 0x0003: preview_len = v; break;  // preview image length and start (Pentax)
                case 0x0004: preview_off = v; break;
                default: break;
                }
            }
        }
        // A main directory in random bytes would need every entry's type to
        // be valid; directories are also sorted by tag, give or take a
        // writer's slip.
        if (d.kind == 0 && unordered > count / 4) return false;
        if (!reach(table_end)) return false;
        if (strip_off.present && strip_len.present) have_data_ = true;
        if (tile_off.present && tile_len.present) have_data_ = true;
        if (jpeg_off.present && jpeg_len.present) have_data_ = true;
        if (!pieces(strip_off, strip_len, d.base, d.little) || !pieces(tile_off, tile_len, d.base, d.little) ||
            !pieces(jpeg_off, jpeg_len, d.base, d.little) || !pieces(preview_off, preview_len, d.base, d.little))
            return false;
        if (maker.present && maker.count >= 14) maker_note(maker, d.little);

        // The next directory of the chain (IFD1 holds the Exif thumbnail;
        // a CR2 chains four).
        if (d.kind == 0 && d.base == 0) {
            unsigned char nx[4];
            if (!read_at(table_end - 4, nx, 4)) return false;
            uint32_t next = htoi(nx, d.little);
            if (next) follow(next, 0, d.little, 0);
        }
        return true;
    }

    // A maker note that is laid out as a directory: its own values, and
    // the previews its entries point at.
    void maker_note(const tag_value &v, bool little) {
        unsigned char h[18];
        if (!read_at(v.at, h, sizeof h)) return;
        if (memcmp(h, "Nikon\0", 6) == 0) {
            // A TIFF header of its own at byte 10; offsets count from it.
            const uint64_t base = v.at + 10;
            bool le = h[10] == 'I' && h[11] == 'I';
            if (!le && !(h[10] == 'M' && h[11] == 'M')) return;
            follow(base + htoi(h + 14, le), base, le, 1);
        } else if (memcmp(h, "AOC\0", 4) == 0) {
            bool le = h[4] == 'I' && h[5] == 'I';
            follow(v.at + 6, 0, h[4] == 'M' ? false : le ? true : little, 1);
        } else if (memcmp(h, "SONY DSC ", 9) == 0 || memcmp(h, "Panasonic\0", 10) == 0) {
            follow(v.at + 12, 0, little, 1);
        } else if (make_ == 'C') {
            follow(v.at, 0, little, 1);  // Canon: a bare directory
        }
    }

    void make(const tag_value &v) {
        char m[10] = {};
        uint32_t n = v.count < sizeof m - 1 ? v.count : uint32_t(sizeof m - 1);
        if (!read_at(v.at, m, n)) return;
        if (strncmp(m, "Canon", 5) == 0) make_ = 'C';
        else if (strncmp(m, "NIKON", 5) == 0) make_ = 'N';
        else if (strncmp(m, "SONY", 4) == 0) make_ = 'S';
        else if (strncmp(m, "PENTAX", 6) == 0 || strncmp(m, "RICOH", 5) == 0) make_ = 'P';
    }

    bool run(uint64_t first_dir, bool little) {
        follow(first_dir, 0, little, 0);
        if (ndirs_ == 0) return false;
        for (int i = 0; i < ndirs_; ++i) {
            // The first directory must be sound; a broken one further on
            // (most often in a maker's area) ends the walk there.
            if (!directory(dirs_[i])) {
                if (i == 0 || dirs_[i].kind == 0) return false;
            }
            // A sound directory that points past the chunk: the file is
            // not whole here.
            if (beyond_) return false;
        }
        return have_data_;
    }

    uint64_t end() const { return end_; }
    bool dng() const { return dng_; }
    char maker() const { return make_; }

private:
    lmr::probe_reader &in_;
    const unsigned char *data_;
    uint64_t limit_;
    uint64_t end_ = 8;
    uint64_t values_ = 0;
    dir_ref dirs_[k_max_dirs];
    int ndirs_ = 0;
    bool have_data_ = false;
    bool beyond_ = false;
    bool dng_ = false;
    char make_ = 0;
};

}  // namespace

uint64_t lmr::deep_tif(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char h[10];
    if (!in.peek_exact(h, sizeof h)) return 0;
    const bool little = h[0] == 'I' && h[1] == 'I';
    if (!little && !(h[0] == 'M' && h[1] == 'M')) return 0;
    const uint16_t magic = htos(h + 2, little);
    const char *suffix = "tif";
    if (magic == 42) {
        if (little && h[8] == 'C' && h[9] == 'R') suffix = "cr2";
    } else if (little && (magic == 0x4F52 || magic == 0x5352)) {
        suffix = "orf";
    } else if (!little && magic == 0x4F52) {  // "MMOR"
        suffix = "orf";
    } else if (little && magic == 0x55) {
        suffix = "rw2";
    } else {
        return 0;
    }
    const uint64_t first = htoi(h + 4, little);
    if (first < 8 || first >= limit) return 0;

    tiff_walk walk(in, data, limit);
    if (!walk.run(first, little)) return 0;
    if (strcmp(suffix, "tif") == 0) {
        if (walk.dng()) suffix = "dng";
        else if (walk.maker() == 'N') suffix = "nef";
        else if (walk.maker() == 'S') suffix = "arw";
        else if (walk.maker() == 'P') suffix = "pef";
    }
    entry->suffix = suffix;
    if (lmr::name_requested(entry, suffix)) *found = 1;
    return walk.end();
}
