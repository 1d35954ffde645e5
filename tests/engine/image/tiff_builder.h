// Builds TIFF files by hand: directories, values stored outside their
// entries, and data blocks, in either byte order.  The camera RAW tests
// lay out CR2, NEF, DNG, ORF, RW2, PEF and ARW files with it after their
// published structure, since no packaged tool writes them.
#pragma once

#include "support/test_support.h"

#include <cstring>
#include <string>
#include <vector>

namespace lmrtest {

class TiffBuilder {
public:
    enum : uint16_t { BYTE = 1, ASCII = 2, SHORT = 3, LONG = 4, UNDEFINED = 7 };
    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        Bytes value;  // raw bytes in the file's byte order
    };

    // `magic` is 42 for TIFF; ORF and RW2 have their own.
    explicit TiffBuilder(bool little, uint16_t magic = 42, size_t header = 8) : little_(little) {
        // header 0: a bare directory area (a maker note's).
        out_.resize(header, 0);
        if (header < 4) return;
        out_[0] = out_[1] = little ? 'I' : 'M';
        put16(2, magic);
    }

    Bytes u16(uint16_t v) const {
        Bytes b(2);
        b[little_ ? 0 : 1] = uint8_t(v);
        b[little_ ? 1 : 0] = uint8_t(v >> 8);
        return b;
    }
    Bytes u32(uint32_t v) const {
        Bytes b(4);
        for (int i = 0; i < 4; ++i) b[little_ ? i : 3 - i] = uint8_t(v >> (8 * i));
        return b;
    }
    Entry long_entry(uint16_t tag, uint32_t v) const { return {tag, LONG, 1, u32(v)}; }
    Entry short_entry(uint16_t tag, uint16_t v) const { return {tag, SHORT, 1, u16(v)}; }
    Entry ascii(uint16_t tag, const std::string &s) const {
        Bytes b(s.begin(), s.end());
        b.push_back(0);
        return {tag, ASCII, uint32_t(b.size()), b};
    }
    Entry undefined(uint16_t tag, const Bytes &b) const { return {tag, UNDEFINED, uint32_t(b.size()), b}; }

    // Appends bytes at an even offset; returns where they are.
    uint32_t blob(const Bytes &b) {
        if (out_.size() & 1) out_.push_back(0);
        uint32_t at = uint32_t(out_.size());
        out_.insert(out_.end(), b.begin(), b.end());
        return at;
    }

    // Appends a directory (entries sorted by the caller) and its values;
    // `base` is what its offsets count from.  Returns its offset.
    uint32_t directory(const std::vector<Entry> &entries, uint32_t base = 0) {
        if (out_.size() & 1) out_.push_back(0);
        const uint32_t at = uint32_t(out_.size());
        const size_t table = 2 + entries.size() * 12 + 4;
        out_.resize(out_.size() + table, 0);
        put16(at, uint16_t(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry &e = entries[i];
            const size_t p = at + 2 + i * 12;
            put16(p, e.tag);
            put16(p + 2, e.type);
            put32(p + 4, e.count);
            if (e.value.size() <= 4) {
                memcpy(&out_[p + 8], e.value.data(), e.value.size());
            } else {
                uint32_t v = blob(e.value);
                put32(p + 8, v - base);
            }
        }
        return at;
    }

    void chain(uint32_t from_dir, uint32_t to_dir) {
        put32(from_dir + 2 + size_t(get16(from_dir)) * 12, to_dir);
    }
    void first(uint32_t dir, size_t at = 4) { put32(at, dir); }
    Bytes &bytes() { return out_; }
    size_t size() const { return out_.size(); }
    void put16(size_t at, uint16_t v) { Bytes b = u16(v); memcpy(&out_[at], b.data(), 2); }
    void put32(size_t at, uint32_t v) { Bytes b = u32(v); memcpy(&out_[at], b.data(), 4); }

private:
    uint16_t get16(size_t at) const {
        return little_ ? uint16_t(out_[at] | out_[at + 1] << 8) : uint16_t(out_[at] << 8 | out_[at + 1]);
    }
    bool little_;
    Bytes out_;
};

}  // namespace lmrtest
