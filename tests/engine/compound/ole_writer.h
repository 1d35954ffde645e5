// Builds small compound documents in memory: a header, one FAT sector
// (sector 0) and a directory chain in sectors 1..k.  Stream data is not
// written; the probe never reads it.
#pragma once

#include "support/test_support.h"

#include <string>
#include <vector>

namespace lmrtest {

struct OleEntry {
    std::string name;      // ASCII; written as UTF-16 with a terminator
    uint8_t type = 2;      // 1 storage, 2 stream, 5 root
    uint32_t size = 0;
    int name_len = -1;     // bytes; -1: from the name
};

struct OleDoc {
    std::vector<OleEntry> entries;  // after the root entry
    Bytes bytes;
    uint32_t dir_sectors = 0;

    void put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
    }
    void put16(size_t at, uint32_t v) {
        bytes[at] = uint8_t(v);
        bytes[at + 1] = uint8_t(v >> 8);
    }
    static size_t sector(uint32_t n) { return (size_t(n) + 1) * 512; }
    // FAT entry of sector n (the FAT is sector 0).
    void set_next(uint32_t n, uint32_t next) { put32(sector(0) + 4 * n, next); }
};

inline OleDoc make_ole(const std::vector<OleEntry> &entries) {
    OleDoc d;
    d.entries = entries;
    std::vector<OleEntry> all;
    OleEntry root;
    root.name = "Root Entry";
    root.type = 5;
    all.push_back(root);
    all.insert(all.end(), entries.begin(), entries.end());
    d.dir_sectors = uint32_t((all.size() + 3) / 4);
    d.bytes.assign(512 * (2 + d.dir_sectors), 0);

    static const unsigned char magic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    for (int i = 0; i < 8; ++i) d.bytes[i] = magic[i];
    d.put16(24, 0x3E);
    d.put16(26, 3);
    d.put16(28, 0xFFFE);
    d.put16(30, 9);
    d.put16(32, 6);
    d.put32(44, 1);            // FAT sectors
    d.put32(48, 1);            // first directory sector
    d.put32(56, 4096);         // mini-stream cutoff
    d.put32(60, 0xFFFFFFFE);   // no mini-FAT
    d.put32(68, 0xFFFFFFFE);   // no DIFAT
    d.put32(76, 0);            // FAT sector list: sector 0
    for (int i = 1; i < 109; ++i) d.put32(76 + 4 * i, 0xFFFFFFFF);

    for (uint32_t n = 0; n < 128; ++n) d.set_next(n, 0xFFFFFFFF);
    d.set_next(0, 0xFFFFFFFD);
    for (uint32_t s = 1; s <= d.dir_sectors; ++s) d.set_next(s, s == d.dir_sectors ? 0xFFFFFFFE : s + 1);

    for (size_t i = 0; i < all.size(); ++i) {
        size_t at = OleDoc::sector(1) + 128 * i;
        const OleEntry &e = all[i];
        size_t chars = e.name.size() < 31 ? e.name.size() : 31;
        for (size_t c = 0; c < chars; ++c) d.bytes[at + 2 * c] = uint8_t(e.name[c]);
        d.put16(at + 64, e.name_len >= 0 ? uint32_t(e.name_len) : uint32_t(2 * (chars + 1)));
        d.bytes[at + 66] = e.type;
        d.put32(at + 68, 0xFFFFFFFF);
        d.put32(at + 72, 0xFFFFFFFF);
        d.put32(at + 76, 0xFFFFFFFF);
        d.put32(at + 116, e.type == 2 ? 3 : 0xFFFFFFFE);
        d.put32(at + 120, e.size);
    }
    return d;
}

}  // namespace lmrtest
