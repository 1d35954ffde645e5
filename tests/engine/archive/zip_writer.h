// Writes small stored ZIP archives in memory for the archive tests.
#pragma once

#include "support/test_support.h"

#include <string>
#include <vector>

namespace lmrtest {

struct ZipMember {
    std::string name;
    std::string data;
    std::string central_name;  // empty: same as name
};

struct ZipOptions {
    bool descriptors = false;       // sizes in the local headers, then "PK 07 08"
    bool zero_local_sizes = false;  // streamed: sizes only in the descriptors
    bool descriptor_signature = true;  // false: descriptors of 12 bytes, without "PK 07 08"
    bool descriptor64 = false;         // 64-bit sizes in the descriptors, a ZIP64 extra field in the local headers
    std::string comment;
    std::string before_directory;  // bytes between the last member and the directory
    bool zip64_end = false;        // ZIP64 end record and locator; the end record escapes its fields
    bool zip64_plain = false;      // ... or keeps them (as zip does writing to a pipe)
};

inline void put16(Bytes &b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void put32(Bytes &b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
inline void append(Bytes &b, const std::string &s) { b.insert(b.end(), s.begin(), s.end()); }

inline Bytes make_zip(const std::vector<ZipMember> &members, const ZipOptions &opt = {}) {
    Bytes out, central;
    for (const ZipMember &m : members) {
        uint32_t at = uint32_t(out.size());
        uint32_t size = uint32_t(m.data.size());
        uint32_t local_size = opt.zero_local_sizes ? 0 : size;
        uint16_t flags = opt.descriptors ? 8 : 0;
        append(out, std::string("PK\x03\x04", 4));
        put16(out, 10);
        put16(out, flags);
        put16(out, 0);  // stored
        put32(out, 0);  // time, date
        put32(out, 0);  // CRC (not checked by the probe)
        put32(out, local_size);
        put32(out, local_size);
        put16(out, uint32_t(m.name.size()));
        put16(out, opt.descriptor64 ? 20 : 0);
        append(out, m.name);
        if (opt.descriptor64) {
            put16(out, 1), put16(out, 16);
            put32(out, 0), put32(out, 0), put32(out, 0), put32(out, 0);
        }
        append(out, m.data);
        if (opt.descriptors) {
            if (opt.descriptor_signature) append(out, std::string("PK\x07\x08", 4));
            put32(out, 0);
            put32(out, size);
            if (opt.descriptor64) put32(out, 0);
            put32(out, size);
            if (opt.descriptor64) put32(out, 0);
        }
        const std::string &cname = m.central_name.empty() ? m.name : m.central_name;
        append(central, std::string("PK\x01\x02", 4));
        put16(central, 20);
        put16(central, 10);
        put16(central, flags);
        put16(central, 0);
        put32(central, 0);
        put32(central, 0);
        put32(central, size);
        put32(central, size);
        put16(central, uint32_t(cname.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, at);
        append(central, cname);
    }
    append(out, opt.before_directory);
    uint32_t cd_at = uint32_t(out.size());
    out.insert(out.end(), central.begin(), central.end());
    uint32_t count = uint32_t(members.size()), cd_size = uint32_t(central.size());
    if (opt.zip64_end) {
        uint32_t rec_at = uint32_t(out.size());
        append(out, std::string("PK\x06\x06", 4));
        put32(out, 44), put32(out, 0);  // size of the rest of the record
        put16(out, 45), put16(out, 45);
        put32(out, 0), put32(out, 0);
        put32(out, count), put32(out, 0);
        put32(out, count), put32(out, 0);
        put32(out, cd_size), put32(out, 0);
        put32(out, cd_at), put32(out, 0);
        append(out, std::string("PK\x06\x07", 4));
        put32(out, 0);
        put32(out, rec_at), put32(out, 0);
        put32(out, 1);
        if (!opt.zip64_plain) {
            count = 0xFFFF;
            cd_size = cd_at = 0xFFFFFFFFu;
        }
    }
    append(out, std::string("PK\x05\x06", 4));
    put16(out, 0);
    put16(out, 0);
    put16(out, count);
    put16(out, count);
    put32(out, cd_size);
    put32(out, cd_at);
    put16(out, uint32_t(opt.comment.size()));
    append(out, opt.comment);
    return out;
}

}  // namespace lmrtest
