#include "recovery/embeddedpreview.h"

#include <cstring>

namespace lmr {

namespace {

// Bytes looked at and segments stepped over, for the whole search: a file
// made of start-of-image markers cannot make it look at each byte more than
// a few times.
struct budget {
    size_t left;
    bool spend(size_t n) {
        if (n > left) {
            left = 0;
            return false;
        }
        left -= n;
        return true;
    }
};

size_t be16(const uint8_t *p) { return size_t(p[0]) << 8 | p[1]; }

enum class walk { ended, broken, ran_out };

// Walks a JPEG from its start-of-image marker at `start` within the first
// `limit` bytes of `data`.  On `ended`, *end is just past its end-of-image
// marker and *viewable says whether its frame is one common decoders read.
walk walk_jpeg(const uint8_t *data, size_t limit, size_t start, budget &b, size_t *end, bool *viewable) {
    *viewable = false;
    if (start > limit || limit - start < 4 || data[start] != 0xFF || data[start + 1] != 0xD8) return walk::broken;
    bool frame = false;
    size_t p = start + 2;
    for (;;) {
        if (!b.spend(1)) return walk::ran_out;
        if (limit - p < 2) return walk::ran_out;
        if (data[p] != 0xFF) return walk::broken;
        // Fill bytes before a marker.
        while (p + 1 < limit && data[p + 1] == 0xFF) ++p;
        if (limit - p < 2) return walk::ran_out;
        const uint8_t m = data[p + 1];
        if (m == 0xD9) {
            *end = p + 2;
            *viewable = frame;
            return frame ? walk::ended : walk::broken;
        }
        if (m == 0x00 || m == 0xD8) return walk::broken;
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
            p += 2;
            continue;
        }
        if (limit - p < 4) return walk::ran_out;
        const size_t len = be16(data + p + 2);
        if (len < 2) return walk::broken;
        // A segment running past the end: a later image may still be whole.
        if (limit - p - 2 < len) return walk::broken;
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
            // One frame per image; lossless, hierarchical and arithmetic
            // frames are beyond the decoders a viewer has.
            if (frame) return walk::broken;
            if (m != 0xC0 && m != 0xC1 && m != 0xC2) return walk::broken;
            frame = true;
        }
        p += 2 + len;
        if (m != 0xDA) continue;
        if (!frame) return walk::broken;
        // Entropy-coded data: up to the next marker that is neither a
        // stuffed 0xFF nor a restart marker.
        for (;;) {
            const void *ff = std::memchr(data + p, 0xFF, limit - p);
            const size_t at = ff ? size_t(static_cast<const uint8_t *>(ff) - data) : limit;
            if (!b.spend(at - p + 1)) return walk::ran_out;
            if (at + 1 >= limit) return walk::ran_out;
            const uint8_t next = data[at + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                p = at + (next == 0xFF ? 1 : 2);
                continue;
            }
            p = at;
            break;
        }
    }
}

bool viewable_at(const uint8_t *data, size_t size, size_t offset, size_t length, budget &b, size_t *walked) {
    if (offset > size || length > size - offset || length < 4) return false;
    size_t end = 0;
    bool viewable = false;
    if (walk_jpeg(data, offset + length, offset, b, &end, &viewable) != walk::ended || !viewable) return false;
    *walked = end - offset;
    return true;
}

// ---- TIFF directories ------------------------------------------------------

struct tiff {
    const uint8_t *data;
    size_t size;
    bool little;

    bool has(size_t at, size_t n) const { return at <= size && n <= size - at; }
    uint32_t u16(size_t at) const {
        const uint8_t *p = data + at;
        return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 : uint32_t(p[0]) << 8 | p[1];
    }
    uint32_t u32(size_t at) const {
        const uint8_t *p = data + at;
        return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                      : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    }
};

constexpr int k_max_directories = 64;
constexpr uint32_t k_max_entries = 1024;
constexpr int k_max_candidates = 64;

struct candidates {
    embedded_jpeg at[k_max_candidates];
    int count = 0;
    void add(size_t offset, size_t length) {
        if (count < k_max_candidates && length > 0) at[count++] = {offset, length};
    }
};

// Follows IFD0, the chain after it, SubIFDs and the Exif IFD, and notes
// where each points at JPEG data.
void walk_directories(const tiff &t, size_t first, candidates &out) {
    size_t queue[k_max_directories];
    int queued = 0, done = 0;
    auto push = [&](size_t at) {
        if (at < 8 || !t.has(at, 2)) return;
        for (int i = 0; i < queued; ++i)
            if (queue[i] == at) return;  // a loop, or a directory named twice
        if (queued < k_max_directories) queue[queued++] = at;
    };
    push(first);
    while (done < queued) {
        const size_t ifd = queue[done++];
        const uint32_t entries = t.u16(ifd);
        if (entries == 0 || entries > k_max_entries || !t.has(ifd + 2, size_t(entries) * 12 + 4)) continue;
        size_t jif = 0, jif_len = 0, strip = 0, strip_len = 0;
        uint32_t compression = 0, strips = 0, strip_counts = 0;
        for (uint32_t e = 0; e < entries; ++e) {
            const size_t at = ifd + 2 + size_t(e) * 12;
            const uint32_t tag = t.u16(at), type = t.u16(at + 2), count = t.u32(at + 4);
            // A single SHORT or LONG sits in the entry itself.
            const uint32_t value = type == 3 ? t.u16(at + 8) : t.u32(at + 8);
            const bool scalar = count == 1 && (type == 3 || type == 4 || type == 13);
            switch (tag) {
            case 0x0103:
                if (scalar) compression = value;
                break;
            case 0x0111:
                strips = count;
                if (scalar) strip = value;
                break;
            case 0x0117:
                strip_counts = count;
                if (scalar) strip_len = value;
                break;
            case 0x0201:
                if (scalar) jif = value;
                break;
            case 0x0202:
                if (scalar) jif_len = value;
                break;
            case 0x002E:  // a RW2's JpgFromRaw: the JPEG is the entry's value
                if (type == 7 && count > 4) out.add(t.u32(at + 8), count);
                break;
            case 0x8769:  // the Exif IFD
                if (scalar) push(value);
                break;
            case 0x014A:  // SubIFDs: one offset in the entry, more in a list
                if (type != 4 && type != 13) break;
                if (count == 1) {
                    push(value);
                } else if (count <= k_max_directories && t.has(value, size_t(count) * 4)) {
                    for (uint32_t i = 0; i < count; ++i) push(t.u32(size_t(value) + size_t(i) * 4));
                }
                break;
            default:
                break;
            }
        }
        if (jif && jif_len) out.add(jif, jif_len);
        if ((compression == 6 || compression == 7) && strips == 1 && strip_counts == 1 && strip_len)
            out.add(strip, strip_len);
        push(t.u32(ifd + 2 + size_t(entries) * 12));
    }
}

bool tiff_header(const uint8_t *data, size_t size, tiff *t, size_t *first) {
    if (size < 8) return false;
    if (data[0] == 'I' && data[1] == 'I')
        t->little = true;
    else if (data[0] == 'M' && data[1] == 'M')
        t->little = false;
    else
        return false;
    t->data = data;
    t->size = size;
    // TIFF's 42; a RW2's 0x55; an ORF's "RO" or "RS".
    const uint32_t magic = t->u16(2);
    if (magic != 42 && magic != 0x55 && magic != 0x4F52 && magic != 0x5352 && magic != 0x524F && magic != 0x5253)
        return false;
    *first = t->u32(4);
    return true;
}

}  // namespace

bool is_viewable_jpeg(const uint8_t *data, size_t size, size_t offset, size_t length) {
    if (!data) return false;
    budget b{2 * size + 64};
    size_t walked = 0;
    return viewable_at(data, size, offset, length, b, &walked);
}

embedded_jpeg find_embedded_jpeg(const uint8_t *data, size_t size) {
    embedded_jpeg best;
    if (!data || size < 8) return best;
    budget b{4 * size + 4096};

    tiff t{};
    size_t first = 0;
    if (tiff_header(data, size, &t, &first)) {
        candidates found;
        walk_directories(t, first, found);
        for (int i = 0; i < found.count; ++i) {
            size_t walked = 0;
            if (viewable_at(data, size, found.at[i].offset, found.at[i].length, b, &walked) && walked > best.length)
                best = {found.at[i].offset, walked};
        }
        if (best.length) return best;
    }

    // No directory names one: every start-of-image marker in the bytes.
    size_t p = 0;
    while (p + 3 <= size && b.left) {
        const void *hit = std::memchr(data + p, 0xFF, size - p);
        if (!hit) break;
        const size_t at = size_t(static_cast<const uint8_t *>(hit) - data);
        b.spend(at - p + 1);
        if (at + 3 > size) break;
        if (data[at + 1] != 0xD8 || data[at + 2] != 0xFF) {
            p = at + 1;
            continue;
        }
        size_t end = 0;
        bool viewable = false;
        const walk w = walk_jpeg(data, size, at, b, &end, &viewable);
        if (w == walk::ended) {
            if (viewable && end - at > best.length) best = {at, end - at};
            p = end;
        } else if (w == walk::ran_out) {
            // Nothing after it ends either, or the budget is spent.
            break;
        } else {
            p = at + 2;
        }
    }
    return best;
}

}  // namespace lmr
