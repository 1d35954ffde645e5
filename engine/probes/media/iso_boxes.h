// The top-level box walk that the still-picture and audio files of the ISO
// base media format share: from "ftyp" over the boxes of the types the
// caller accepts, up to the first box of another type, a second "ftyp" (the
// next file's), or a box the input cannot hold whole.
#pragma once

#include "../probe_reader.h"

namespace lmr {

struct iso_box {
    uint64_t at = 0;    // stream position of the box's first byte
    uint64_t size = 0;  // 0: the box runs to the end of the file
    uint32_t head = 0;  // 8, or 16 with the 64-bit size
    char type[5] = {};
};

// Reads the box header at the reader's position; false when none stands
// there (fewer bytes, or a size smaller than the header).
inline bool peek_iso_box(probe_reader &in, iso_box *b) {
    unsigned char h[16];
    if (!in.peek_exact(h, 8)) return false;
    b->at = in.tell();
    memcpy(b->type, h + 4, 4);
    const uint32_t size32 = htoi(h, 0);
    b->head = 8;
    b->size = size32;
    if (size32 == 1) {
        if (!in.peek_exact(h, 16)) return false;
        b->size = htoll(h + 8, 0);
        b->head = 16;
        if (b->size < 16) return false;
    } else if (size32 != 0 && size32 < 8) {
        return false;
    }
    return true;
}

inline bool box_is(const iso_box &b, const char *type) { return memcmp(b.type, type, 4) == 0; }

// The major brand and up to `max` compatible brands of the "ftyp" box at
// the reader's position (4 bytes each into `brands`, the major first);
// returns how many brands were read, 0 when there is no "ftyp" box.
inline int read_brands(probe_reader &in, unsigned char *brands, int max) {
    iso_box b;
    if (!peek_iso_box(in, &b) || !box_is(b, "ftyp") || b.head != 8 || b.size < 16) return 0;
    unsigned char f[8 + 8 + 4 * 16];
    const uint64_t whole = b.size < sizeof f ? b.size : sizeof f;
    if (!in.peek_exact(f, uint32_t(whole))) return 0;
    int n = 0;
    memcpy(brands, f + 8, 4);
    ++n;
    for (uint64_t at = 16; at + 4 <= whole && n < max; at += 4, ++n) memcpy(brands + 4 * n, f + at, 4);
    return n;
}

inline bool has_brand(const unsigned char *brands, int n, const char *brand) {
    for (int i = 0; i < n; ++i)
        if (memcmp(brands + 4 * i, brand, 4) == 0) return true;
    return false;
}

}  // namespace lmr
