// JPEG: walks the marker segments from start-of-image to the first scan,
// then looks for the end-of-image marker.  A picture whose end lies in
// sectors that could not be read ends where they begin.
//
// In deep mode the picture is read to its end by its own structure: any
// segment may follow start-of-image, the segments up to the first scan
// must describe a frame, and after each scan the entropy-coded data runs
// to the next marker, which must be one a picture may hold there; the
// end-of-image marker that ends the last scan ends the picture.  Segments
// are skipped whole, so a thumbnail inside one (an Exif APP1 holding a
// JPEG) never ends it.  A picture whose multi-picture index (APP2 "MPF")
// names further pictures after it runs to the end of the last of them, and
// a motion photo whose XMP declares a clip after it runs to the clip's end.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <vector>

namespace {

uint64_t builtin_jpg(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                     uint64_t offset, uint64_t limit, int32_t *found) {
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char b[4];
    in.skip(2);  // FF D8
    // The first segment must be APP0 (JFIF) or APP1 (Exif).
    if (!in.peek_exact(b, 2) || (b[1] != 0xE0 && b[1] != 0xE1)) return 0;

    bool quant = false, huff = false;
    for (;;) {
        if (!in.peek_exact(b, 4)) return 0;
        if (b[0] != 0xFF) break;  // entropy-coded data of the scan
        if (b[1] == 0xFF) {       // fill byte
            in.skip(1);
            continue;
        }
        if (b[1] == 0xDB) quant = true;
        if (b[1] == 0xC4) huff = true;
        // APP1 with an Exif thumbnail is skipped whole, so the thumbnail's own
        // end-of-image marker is never met.
        in.skip(2 + uint64_t(htos(b + 2, 0)));
    }
    if (!quant || !huff) return 0;

    if (!entry->footer.value || entry->footer.len <= 0) return 0;
    uint64_t p = in.tell();
    int32_t hit = 0;
    uint64_t dist = bs_search(in.get(), entry->footer.value, entry->footer.len, entry->max_len,
                              entry->footer.table, entry->case_sen, &hit);
    if (!hit) {
        // The search stopped at sectors the scan could not read: the end
        // lies there or beyond.  The picture is reported up to them, cut,
        // so that what follows them is scanned.
        uint64_t at = in.tell();
        if (!in.unreadable_at(at)) return 0;
        lmr::diag("[jpg] end unreadable: cut at %llu bytes", (unsigned long long)at);
        *found = 1;
        return at;
    }
    *found = 1;
    return p + dist;
}

// ---- deep mode ----------------------------------------------------------

// How far a deep walk follows one picture.  Entropy-coded data ends at its
// next marker, so a walk through other data stops within a few hundred
// bytes; only a run of zeros (free space) takes it this far.
constexpr uint64_t k_deep_bound = 64ull << 20;
// Bytes of an APP2 segment read for its multi-picture index.
constexpr uint32_t k_mpf_read = 4096;
// Pictures an index may name.
constexpr uint32_t k_mpf_max_pictures = 64;

enum : unsigned char {
    k_sof0 = 0xC0, k_dht = 0xC4, k_dac = 0xCC, k_rst0 = 0xD0, k_rst7 = 0xD7, k_soi = 0xD8, k_eoi = 0xD9,
    k_sos = 0xDA, k_dqt = 0xDB, k_dnl = 0xDC, k_dri = 0xDD, k_app0 = 0xE0, k_app2 = 0xE2, k_app15 = 0xEF,
    k_com = 0xFE,
};

bool is_sof(unsigned char m) { return m >= k_sof0 && m <= 0xCF && m != k_dht && m != 0xC8 && m != k_dac; }
bool is_app(unsigned char m) { return m >= k_app0 && m <= k_app15; }
// Segments that may stand anywhere among the tables: before the first scan
// and between scans.
bool is_table(unsigned char m) {
    return m == k_dht || m == k_dac || m == k_dqt || m == k_dri || m == k_com || is_app(m);
}

void move_to(lmr::probe_reader &in, uint64_t at) {
    if (at < in.tell()) in.renew();
    in.skip(at - in.tell());
}

bool peek_at(lmr::probe_reader &in, uint64_t at, unsigned char *dst, uint32_t n) {
    move_to(in, at);
    return in.peek_exact(dst, n);
}

// The pictures a multi-picture index names after the one it stands in:
// where the first of them starts and where the last ends (both 0 when there
// are none).  `seg` holds the first `n` bytes of an APP2 segment, from its
// marker at `seg_at`; offsets in the index count from the byte after "MPF\0".
struct picture_span {
    uint64_t start = 0, end = 0;
};

picture_span mpf_pictures(const unsigned char *seg, uint32_t n, uint64_t seg_at) {
    picture_span span;
    if (n < 16 || memcmp(seg + 4, "MPF\0", 4) != 0) return span;
    const unsigned char *t = seg + 8;
    const uint32_t tn = n - 8;
    int little;
    if (memcmp(t, "II*\0", 4) == 0) little = 1;
    else if (memcmp(t, "MM\0*", 4) == 0) little = 0;
    else return span;
    const uint32_t ifd = htoi(t + 4, little);
    if (ifd < 8 || ifd > tn - 2) return span;
    const uint32_t count = htos(t + ifd, little);
    uint32_t entries_at = 0, entries_len = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t e = uint64_t(ifd) + 2 + uint64_t(i) * 12;
        if (e + 12 > tn) return span;
        if (htos(t + e, little) == 0xB002) {  // the picture entries: 16 bytes each
            entries_len = htoi(t + e + 4, little);
            entries_at = htoi(t + e + 8, little);
            break;
        }
    }
    if (entries_len < 32 || entries_len % 16 || entries_len / 16 > k_mpf_max_pictures) return span;
    if (entries_at > tn || entries_len > tn - entries_at) return span;
    for (uint32_t k = 1; k < entries_len / 16; ++k) {  // the first is the picture itself
        const unsigned char *e = t + entries_at + k * 16;
        const uint64_t size = htoi(e + 4, little), at = htoi(e + 8, little);
        if (size < 4 || at == 0) continue;
        const uint64_t start = seg_at + 8 + at;
        if (span.start == 0 || start < span.start) span.start = start;
        if (start + size > span.end) span.end = start + size;
    }
    return span;
}

// ---- motion photos ------------------------------------------------------

// A motion photo carries its clip after the picture; its XMP (an APP1
// segment) says how many bytes follow the end-of-image marker, either as
// the clip's length counted from the file's end (MicroVideoOffset) or as
// the container items after the picture (Item:Length, Item:Padding).
struct appended_clip {
    uint64_t tail = 0;   // bytes after the picture's end-of-image marker
    uint64_t video = 0;  // of which the clip, last
};

constexpr char k_xmp_id[] = "http://ns.adobe.com/xap/1.0/";

// The decimal value of the attribute `name` at or after `from` in
// [text, text + n) ("name=\"123\""), before `stop` when given.
bool attribute(const char *text, size_t n, size_t from, size_t stop, const char *name, uint64_t *out) {
    const size_t len = strlen(name);
    for (size_t i = from; i + len + 2 <= stop && i + len + 2 <= n; ++i) {
        if (memcmp(text + i, name, len) != 0 || text[i + len] != '=' || text[i + len + 1] != '"') continue;
        uint64_t v = 0;
        size_t k = i + len + 2, digits = 0;
        for (; k < n && text[k] >= '0' && text[k] <= '9' && digits < 12; ++k, ++digits) v = v * 10 + uint64_t(text[k] - '0');
        if (digits == 0 || k >= n || text[k] != '"') return false;
        *out = v;
        return true;
    }
    return false;
}

size_t find_text(const char *text, size_t n, size_t from, const char *what) {
    const size_t len = strlen(what);
    for (size_t i = from; i + len <= n; ++i)
        if (memcmp(text + i, what, len) == 0) return i;
    return n;
}

// The clip an XMP packet declares; tail 0 when it declares none.
appended_clip xmp_clip(const char *x, size_t n) {
    appended_clip clip;
    uint64_t v = 0;
    if (attribute(x, n, 0, n, "GCamera:MicroVideoOffset", &v) && v > 0) {
        clip.tail = clip.video = v;
        return clip;
    }
    // Container items in order; the first is the picture itself.
    size_t at = 0;
    int item = 0;
    uint64_t tail = 0, last = 0;
    for (;;) {
        at = find_text(x, n, at, "<Container:Item");
        if (at >= n || item >= 16) break;
        size_t end = find_text(x, n, at + 1, ">");
        uint64_t len = 0, pad = 0;
        attribute(x, n, at, end, "Item:Padding", &pad);
        if (item > 0) {
            if (!attribute(x, n, at, end, "Item:Length", &len)) return {};
            last = len;
        }
        tail += len + pad;
        ++item;
        at = end;
    }
    if (item > 1 && last > 0) {
        clip.tail = tail;
        clip.video = last;
    }
    return clip;
}

// Whether [at, end) holds an ISO media file exactly: "ftyp" first, then
// top-level boxes that end where it ends.
bool iso_media_fills(lmr::probe_reader &in, uint64_t at, uint64_t end) {
    constexpr int k_max_boxes = 4096;
    unsigned char b[16];
    in.renew();
    in.skip(at);
    for (int n = 0; n < k_max_boxes && at < end; ++n) {
        if (end - at < 8 || !in.peek_exact(b, 8)) return false;
        if (n == 0 && memcmp(b + 4, "ftyp", 4) != 0) return false;
        for (int i = 4; i < 8; ++i)
            if (b[i] < 0x20 || b[i] > 0x7E) return false;
        uint64_t size = htoi(b, 0);
        if (size == 0) return true;  // the last box runs to the end
        if (size == 1) {
            if (end - at < 16 || !in.peek_exact(b, 16)) return false;
            size = htoll(b + 8, 0);
            if (size < 16) return false;
        } else if (size < 8) {
            return false;
        }
        if (size > end - at) return false;
        at += size;
        in.skip(size);
    }
    return at == end;
}

// Where a motion photo ends whose picture ends at `eoi_end`: after its
// clip, when the clip is there and fills its place exactly, within
// `bound`; else 0.
uint64_t motion_photo_end(lmr::probe_reader &in, const appended_clip &clip, uint64_t eoi_end, uint64_t bound) {
    if (clip.tail == 0 || clip.video > clip.tail || clip.tail > bound || eoi_end > bound - clip.tail) return 0;
    const uint64_t end = eoi_end + clip.tail;
    return iso_media_fills(in, end - clip.video, end) ? end : 0;
}

// The next marker of entropy-coded data from `from`: fill bytes, stuffed
// zeros and restart markers are passed.  Returns the marker's second byte
// and its position in *at (that of its FF), or -1 when the data ends
// first (within `bound`).
int next_marker(lmr::probe_reader &in, uint64_t from, uint64_t bound, uint64_t *at) {
    unsigned char buf[4096];
    uint64_t p = from;
    bool after_ff = false;
    move_to(in, p);
    while (p < bound) {
        uint64_t n = 0;
        const unsigned char *m = in.in_memory(&n);
        const bool in_place = m != nullptr;
        if (in_place) {
            if (n > bound - p) n = bound - p;
        } else {
            uint64_t want = bound - p < sizeof buf ? bound - p : sizeof buf;
            n = in.read(buf, uint32_t(want));
            if (n == 0) return -1;
            m = buf;
        }
        uint64_t i = 0;
        while (i < n) {
            if (after_ff) {
                const unsigned char c = m[i++];
                if (c == 0xFF) continue;  // fill byte: the marker follows
                after_ff = false;
                if (c == 0x00 || (c >= k_rst0 && c <= k_rst7)) continue;
                *at = p + i - 2;
                return c;
            }
            const void *ff = memchr(m + i, 0xFF, size_t(n - i));
            if (!ff) break;
            i = uint64_t(static_cast<const unsigned char *>(ff) - m) + 1;
            after_ff = true;
        }
        p += n;
        if (in_place) in.skip(n);
    }
    return -1;
}

uint64_t walk_deep(recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
                  uint64_t limit, int32_t *found) {
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = limit < k_deep_bound ? limit : k_deep_bound;
    unsigned char b[10];
    if (!in.read_exact(b, 2) || b[0] != 0xFF || b[1] != k_soi) return 0;

    bool frame = false, quant = false, huff = false, arith = false, scanning = false;
    picture_span more;  // pictures a multi-picture index names
    appended_clip clip; // a motion photo's clip
    uint64_t p = 2;     // the next marker's FF
    for (;;) {
        // A marker: FF, fill bytes, then its code.
        if (!peek_at(in, p, b, 2)) break;
        if (b[0] != 0xFF) return 0;
        if (b[1] == 0xFF) {
            if (++p >= bound) break;
            continue;
        }
        const unsigned char m = b[1];
        if (m == k_eoi) {
            if (!scanning) return 0;  // tables alone, no picture
            uint64_t end = p + 2;
            if (more.start >= end && more.end <= bound) {
                // The pictures the index names follow this one: the first
                // must start where it says and the last end there.
                unsigned char e[2];
                if (peek_at(in, more.start, e, 2) && e[0] == 0xFF && e[1] == k_soi &&
                    peek_at(in, more.end - 2, e, 2) && e[0] == 0xFF && e[1] == k_eoi)
                    end = more.end;
            }
            if (uint64_t clip_end = motion_photo_end(in, clip, p + 2, bound)) end = clip_end > end ? clip_end : end;
            *found = 1;
            return end;
        }
        const bool allowed =
            is_table(m) || m == k_sos || (!scanning && is_sof(m) && !frame) || (scanning && m == k_dnl);
        if (!allowed) return 0;
        if (!peek_at(in, p, b, 4)) break;
        const uint32_t len = htos(b + 2, 0);
        if (len < 2) return 0;
        if (is_sof(m)) {
            // Precision, height, width, components, and 3 bytes per component.
            if (!peek_at(in, p, b, 10)) break;
            const unsigned precision = b[4], components = b[9];
            if (precision < 2 || precision > 16 || htos(b + 7, 0) == 0 || components < 1 || components > 4 ||
                len != 8 + 3 * components)
                return 0;
            frame = true;
            arith = m >= 0xC9;
        } else if (m == k_dqt) {
            quant = true;
        } else if (m == k_dht) {
            huff = true;
        } else if (m == 0xE1 && len > sizeof k_xmp_id + 2 && clip.tail == 0) {
            // XMP: a motion photo's clip.  The segment is read whole (at
            // most 64 KiB by its length field).
            std::vector<char> x(len - 2);
            if (peek_at(in, p + 4, reinterpret_cast<unsigned char *>(x.data()), uint32_t(x.size())) &&
                memcmp(x.data(), k_xmp_id, sizeof k_xmp_id) == 0)
                clip = xmp_clip(x.data(), x.size());
        } else if (m == k_app2 && len > 8) {
            unsigned char seg[k_mpf_read];
            const uint32_t want = len + 2 < k_mpf_read ? len + 2 : k_mpf_read;
            if (peek_at(in, p, seg, want)) {
                picture_span s = mpf_pictures(seg, want, p);
                if (s.end > more.end) more = s;
            }
        }
        const uint64_t next = p + 2 + len;
        if (next > bound) break;
        if (m != k_sos) {
            p = next;
            continue;
        }
        // Start of scan: components from 1 to 4, 2 bytes each; the frame
        // and its tables come first.
        if (!peek_at(in, p, b, 5)) break;
        if (b[4] < 1 || b[4] > 4 || len != 6 + 2 * uint32_t(b[4])) return 0;
        if (!frame || !quant || !(huff || arith)) return 0;
        scanning = true;
        int code = next_marker(in, next, bound, &p);
        if (code < 0) break;
    }
    // The walk could not go on: the picture ran past the chunk or the bound,
    // or into sectors the scan could not read.  In the last case it is
    // reported up to them, cut, so that what follows them is scanned.
    if (!scanning) return 0;
    uint64_t at = in.tell();
    if (!in.unreadable_at(at)) return 0;
    lmr::diag("[jpg] end unreadable: cut at %llu bytes", (unsigned long long)at);
    *found = 1;
    return at;
}

}  // namespace

extern "C" uint64_t probe_jpg(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    return builtin_jpg(state, entry, data, available, offset, limit, found);
}

uint64_t lmr::deep_jpg(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                      uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    return walk_deep(state, data, available, offset, limit, found);
}
