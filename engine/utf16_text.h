// UTF-16LE text as the file systems and partition tables store names, to
// UTF-8.
#pragma once

#include "free_runs.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace lmr {

// Up to `units` code units at `le`; with `stop_at_nul` the text ends at the
// first 0.  A surrogate without its partner becomes `unpaired`.
inline std::string utf16le_to_utf8(const unsigned char *le, size_t units, bool stop_at_nul, uint32_t unpaired) {
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = le16(le + 2 * i);
        if (c == 0 && stop_at_nul) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const uint32_t low = le16(le + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c < 0xE000) c = unpaired;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace lmr
