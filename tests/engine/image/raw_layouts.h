// Camera RAW files laid out by hand after their published structure (no
// packaged tool writes them): each a TIFF whose last block is reached only
// through the structure its name depends on.
#pragma once

#include "tiff_builder.h"

#include <gtest/gtest.h>

namespace lmrtest {

inline void add_bytes(Bytes &to, const Bytes &b) { to.insert(to.end(), b.begin(), b.end()); }

// Random bytes standing for compressed picture data.
inline Bytes payload(size_t n, uint32_t seed) { return random_bytes(n, seed); }

// ---- camera RAW layouts ---------------------------------------------------

// CR2: "CR" at byte 8, four chained directories (IFD0 with a JPEG preview
// as its strip, IFD1 with the thumbnail, IFD2, IFD3 with the raw data), and
// a Canon maker note whose own directory points at the last bytes.
inline Bytes make_cr2() {
    TiffBuilder t(true, 42, 16);
    t.bytes()[8] = 'C';
    t.bytes()[9] = 'R';
    t.bytes()[10] = 2;
    uint32_t preview = t.blob(payload(3000, 1));
    uint32_t thumb = t.blob(payload(800, 2));
    uint32_t raw = t.blob(payload(9000, 3));
    uint32_t maker = t.directory({t.undefined(0x0001, payload(40, 4)), t.undefined(0x0002, payload(12, 5))});
    Bytes maker_bytes(t.bytes().begin() + maker, t.bytes().end());
    uint32_t exif = t.directory({t.long_entry(33434, 1), t.undefined(37500, maker_bytes)});
    // The maker note, copied into the Exif directory's value area, points
    // at a block placed last.
    uint32_t tail = t.blob(payload(500, 6));
    // Point the copied maker note's second value at the tail.
    uint32_t copy = 0;
    for (size_t i = exif; i + maker_bytes.size() <= t.size(); ++i)
        if (memcmp(&t.bytes()[i], maker_bytes.data(), maker_bytes.size()) == 0 && i != maker) copy = uint32_t(i);
    EXPECT_NE(copy, 0u);
    t.put32(copy + 2 + 12 + 8, tail);
    t.put32(copy + 2 + 12 + 4, 500);
    uint32_t ifd0 = t.directory({t.long_entry(256, 64), t.long_entry(257, 48), t.ascii(271, "Canon"),
                                 t.long_entry(273, preview), t.long_entry(279, 3000), t.long_entry(34665, exif)});
    uint32_t ifd1 = t.directory({t.long_entry(513, thumb), t.long_entry(514, 800)});
    uint32_t ifd2 = t.directory({t.long_entry(256, 8), t.long_entry(273, preview), t.long_entry(279, 100)});
    uint32_t ifd3 = t.directory({t.short_entry(259, 6), t.long_entry(273, raw), t.long_entry(279, 9000)});
    t.first(ifd0);
    t.chain(ifd0, ifd1);
    t.chain(ifd1, ifd2);
    t.chain(ifd2, ifd3);
    return t.bytes();
}

// NEF (big-endian): the raw data in a SubIFD, and the preview JPEG
// reached only through the maker note's own TIFF header and its preview
// directory (tag 0x11), whose offsets count from that header.
inline Bytes make_nef() {
    TiffBuilder t(false);
    uint32_t thumb = t.blob(payload(700, 11));
    uint32_t raw = t.blob(payload(12000, 12));
    uint32_t sub = t.directory({t.long_entry(254, 0), t.long_entry(273, raw), t.long_entry(279, 12000)});
    // The maker note: "Nikon\0", version, then a TIFF header of its own.
    TiffBuilder m(false);
    uint32_t preview_at = 0;
    {
        uint32_t pdir = m.directory({t.long_entry(0x201, 0), t.long_entry(0x202, 4000)});
        uint32_t mdir = m.directory({t.undefined(0x0001, {0, 2, 1, 0}), t.long_entry(0x0011, pdir)});
        m.first(mdir);
        preview_at = pdir;
    }
    Bytes note = {'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0};
    add_bytes(note, m.bytes());
    uint32_t exif = t.directory({t.long_entry(33434, 1), t.undefined(37500, note)});
    uint32_t ifd0 = t.directory({t.long_entry(254, 1), t.long_entry(256, 160), t.ascii(271, "NIKON CORPORATION"),
                                 t.long_entry(330, sub), t.long_entry(513, thumb), t.long_entry(514, 700),
                                 t.long_entry(34665, exif)});
    t.first(ifd0);
    // Where the note landed, its header, and the preview placed last.
    size_t at = 0;
    for (size_t i = 0; i + note.size() <= t.size(); ++i)
        if (memcmp(&t.bytes()[i], note.data(), note.size()) == 0) at = i;
    const uint32_t base = uint32_t(at + 10);
    uint32_t preview = t.blob(payload(4000, 13));
    t.put32(base + preview_at + 2 + 8, preview - base);
    return t.bytes();
}

// DNG: DNGVersion, the raw picture in tiles of a SubIFD.
inline Bytes make_dng() {
    TiffBuilder t(true);
    uint32_t tiles[4];
    for (int i = 0; i < 4; ++i) tiles[i] = t.blob(payload(2500 + size_t(i) * 10, 20 + uint32_t(i)));
    Bytes offs, lens;
    for (int i = 0; i < 4; ++i) {
        add_bytes(offs, t.u32(tiles[i]));
        add_bytes(lens, t.u32(2500 + uint32_t(i) * 10));
    }
    uint32_t sub = t.directory({t.long_entry(254, 0), {324, TiffBuilder::LONG, 4, offs}, {325, TiffBuilder::LONG, 4, lens}});
    uint32_t strip = t.blob(payload(900, 25));
    uint32_t ifd0 = t.directory({t.long_entry(254, 1), t.long_entry(273, strip), t.long_entry(279, 900),
                                 t.long_entry(330, sub), {50706, TiffBuilder::BYTE, 4, {1, 4, 0, 0}}});
    t.first(ifd0);
    return t.bytes();
}

// A plain layout of one strip under another header or Make.
inline Bytes make_strips(bool little, uint16_t magic, const std::string &make, size_t data) {
    TiffBuilder t(little, magic);
    uint32_t strip = t.blob(payload(data, 30));
    std::vector<TiffBuilder::Entry> e = {t.long_entry(256, 100), t.long_entry(257, 10)};
    if (!make.empty()) e.push_back(t.ascii(271, make));
    e.push_back(t.long_entry(273, strip));
    e.push_back(t.long_entry(279, uint32_t(data)));
    t.first(t.directory(e));
    return t.bytes();
}

// PEF: Pentax's maker note ("AOC\0" and a byte order) gives the preview's
// length and start (tags 3 and 4); the preview lies last.
inline Bytes make_pef() {
    TiffBuilder t(false);
    uint32_t strip = t.blob(payload(5000, 40));
    Bytes note = {'A', 'O', 'C', 0, 'M', 'M'};
    TiffBuilder m(false, 42, 0);
    m.directory({t.long_entry(0x0003, 3000), t.long_entry(0x0004, 0)});
    add_bytes(note, m.bytes());
    uint32_t exif = t.directory({t.long_entry(33434, 1), t.undefined(37500, note)});
    uint32_t ifd0 = t.directory({t.long_entry(256, 100), t.ascii(271, "PENTAX Corporation"), t.long_entry(273, strip),
                                 t.long_entry(279, 5000), t.long_entry(34665, exif)});
    t.first(ifd0);
    size_t at = 0;
    for (size_t i = 0; i + note.size() <= t.size(); ++i)
        if (memcmp(&t.bytes()[i], note.data(), note.size()) == 0) at = i;
    uint32_t preview = t.blob(payload(3000, 41));
    t.put32(at + 6 + 2 + 12 + 8, preview);
    return t.bytes();
}

struct Raw {
    const char *suffix;
    Bytes file;
};

inline std::vector<Raw> raws() {
    return {{"cr2", make_cr2()},
            {"nef", make_nef()},
            {"dng", make_dng()},
            {"orf", make_strips(true, 0x4F52, "OLYMPUS", 7000)},
            {"rw2", make_strips(true, 0x55, "Panasonic", 6000)},
            {"arw", make_strips(true, 42, "SONY", 6500)},
            {"pef", make_pef()}};
}

}  // namespace lmrtest
