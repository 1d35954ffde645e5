// Native FLAC: "fLaC", the metadata blocks (STREAMINFO first), then the
// audio frames.  A frame's length is written nowhere: it ends where its
// CRC-16 comes out right and the next frame's header (sync code and CRC-8)
// begins, or, on the last frame, where the samples STREAMINFO counts are
// complete.  The walk keeps the frames it could check: a file cut or
// damaged in the middle comes back up to its last whole frame.  A trailing
// ID3v1 tag belongs to the file.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <array>

namespace {

constexpr uint64_t k_magic = 4;
constexpr int k_max_blocks = 1024;
// Largest frame this walk follows: 65535 samples of 8 channels of 32 bits,
// with room for the headers.
constexpr uint64_t k_max_frame = 65536ull * 8 * 4 + 4096;
constexpr uint32_t k_header_max = 16;

constexpr std::array<uint8_t, 256> crc8_table() {
    std::array<uint8_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint8_t r = uint8_t(i);
        for (int k = 0; k < 8; ++k) r = uint8_t((r & 0x80) ? (r << 1) ^ 0x07 : r << 1);
        t[i] = r;
    }
    return t;
}
constexpr std::array<uint16_t, 256> crc16_table() {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t r = uint16_t(i << 8);
        for (int k = 0; k < 8; ++k) r = uint16_t((r & 0x8000) ? (r << 1) ^ 0x8005 : r << 1);
        t[i] = r;
    }
    return t;
}
constexpr std::array<uint8_t, 256> k_crc8 = crc8_table();
constexpr std::array<uint16_t, 256> k_crc16 = crc16_table();

// What a frame header says that the walk compares or counts.
struct frame_header {
    uint32_t length = 0;  // header bytes, CRC-8 included
    uint32_t samples = 0;
    uint8_t variable = 0;  // blocking strategy bit
    uint8_t rate_code = 0, size_code = 0, channels = 0;
};

// Parses a frame header from `p` (`n` bytes available); false when the
// bytes are not one.
bool parse_frame_header(const unsigned char *p, uint32_t n, frame_header *h) {
    if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return false;
    const unsigned bs = p[2] >> 4, rate = p[2] & 0x0F;
    const unsigned chan = p[3] >> 4, size = (p[3] >> 1) & 7;
    if (bs == 0 || rate == 15 || chan > 10 || size == 3 || (p[3] & 1)) return false;
    // The coded frame or sample number: one to seven bytes in the manner
    // of UTF-8.
    uint32_t at = 4;
    unsigned extra = 0;
    const unsigned char lead = p[at];
    if (lead < 0x80) extra = 0;
    else if ((lead & 0xE0) == 0xC0) extra = 1;
    else if ((lead & 0xF0) == 0xE0) extra = 2;
    else if ((lead & 0xF8) == 0xF0) extra = 3;
    else if ((lead & 0xFC) == 0xF8) extra = 4;
    else if ((lead & 0xFE) == 0xFC) extra = 5;
    else if (lead == 0xFE) extra = 6;
    else return false;
    ++at;
    if (at + extra > n) return false;
    for (unsigned i = 0; i < extra; ++i, ++at)
        if ((p[at] & 0xC0) != 0x80) return false;
    uint32_t samples;
    if (bs == 1) samples = 192;
    else if (bs <= 5) samples = 576u << (bs - 2);
    else if (bs == 6 || bs == 7) {
        const uint32_t w = bs == 6 ? 1 : 2;
        if (at + w > n) return false;
        samples = (w == 1 ? p[at] : (uint32_t(p[at]) << 8 | p[at + 1])) + 1;
        at += w;
    } else samples = 256u << (bs - 8);
    if (rate >= 12) {
        const uint32_t w = rate == 12 ? 1 : 2;
        if (at + w > n) return false;
        at += w;
    }
    if (at + 1 > n) return false;
    uint8_t crc = 0;
    for (uint32_t i = 0; i < at; ++i) crc = k_crc8[crc ^ p[i]];
    if (crc != p[at]) return false;
    h->length = at + 1;
    h->samples = samples;
    h->variable = p[1] & 1;
    h->rate_code = uint8_t(rate);
    h->size_code = uint8_t(size);
    h->channels = uint8_t(chan <= 7 ? chan + 1 : 2);
    return true;
}

// The next frame of the same stream: same blocking strategy, rate, sample
// size and channel count as the first.
bool same_stream(const frame_header &a, const frame_header &b) {
    return a.variable == b.variable && a.rate_code == b.rate_code && a.size_code == b.size_code &&
           a.channels == b.channels;
}

// The buffered bytes of the frame walk, refilled from the reader with a
// look-ahead of one frame header.
struct window {
    unsigned char buf[65536 + k_header_max];
    uint32_t have = 0, at = 0;
    uint64_t base = 0;  // stream position of buf[0]
    bool eof = false;

    // Makes at least `want` bytes from `at` available where the input has
    // them; returns how many there are.
    uint32_t ensure(lmr::probe_reader &in, uint32_t want, uint64_t bound) {
        if (have - at >= want || eof) return have - at;
        memmove(buf, buf + at, have - at);
        base += at;
        have -= at;
        at = 0;
        while (have < sizeof buf && !eof) {
            uint64_t room = bound > base + have ? bound - (base + have) : 0;
            uint32_t n = uint32_t(sizeof buf - have);
            if (room < n) n = uint32_t(room);
            const uint32_t got = n ? in.read(buf + have, n) : 0;
            have += got;
            if (got < n || n == 0) eof = true;
            if (have - at >= want) break;
        }
        return have - at;
    }
};

}  // namespace

uint64_t lmr::deep_flac(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                               int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;

    unsigned char b[38];
    if (!in.read_exact(b, 4) || memcmp(b, "fLaC", 4) != 0) return 0;
    // STREAMINFO comes first and is 34 bytes long.
    if (!in.read_exact(b, 38) || (b[0] & 0x7F) != 0 || (uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]) != 34)
        return 0;
    const unsigned char *si = b + 4;
    const uint32_t min_block = uint32_t(si[0]) << 8 | si[1];
    const uint32_t max_block = uint32_t(si[2]) << 8 | si[3];
    const uint32_t max_frame = uint32_t(si[7]) << 16 | uint32_t(si[8]) << 8 | si[9];
    const uint32_t rate = uint32_t(si[10]) << 12 | uint32_t(si[11]) << 4 | si[12] >> 4;
    const uint64_t total = uint64_t(si[13] & 0x0F) << 32 | uint64_t(si[14]) << 24 | uint64_t(si[15]) << 16 |
                           uint64_t(si[16]) << 8 | si[17];
    if (min_block < 16 || max_block < min_block || rate == 0) return 0;
    bool last = (b[0] & 0x80) != 0;
    for (int blocks = 1; !last; ++blocks) {
        if (blocks >= k_max_blocks || !in.read_exact(b, 4)) return 0;
        if ((b[0] & 0x7F) == 127 || ((b[0] & 0x7F) == 0)) return 0;
        last = (b[0] & 0x80) != 0;
        in.skip(uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]);
        if (in.tell() >= bound) return 0;
    }

    const uint64_t frame_cap = max_frame ? max_frame : k_max_frame;
    static thread_local window w;
    w = window{};
    w.base = in.tell();

    frame_header first, cur;
    if (w.ensure(in, k_header_max, bound) < 6 || !parse_frame_header(w.buf, w.have, &first)) return 0;
    cur = first;
    uint64_t frame_start = w.base, end = 0, samples = 0, frames = 0;
    // Without a count of samples the last frame ends at the first place its
    // CRC comes out right, unless a frame header follows a later one.
    uint64_t last_end = 0;
    uint16_t crc = 0;
    bool complete = false;
    for (;;) {
        if (w.ensure(in, k_header_max + 1, bound) == 0) break;
        crc = uint16_t(crc << 8) ^ k_crc16[((crc >> 8) ^ w.buf[w.at]) & 0xFF];
        ++w.at;
        const uint64_t p = w.base + w.at;
        const uint64_t length = p - frame_start;
        if (length > frame_cap) break;
        if (crc != 0 || length < cur.length + 3) continue;
        // The bytes so far could be the whole frame: it is when the next
        // frame starts here, or when it is the last one.
        const uint64_t after = samples + cur.samples;
        frame_header next;
        const uint32_t ahead = w.have - w.at;
        const bool follows = parse_frame_header(w.buf + w.at, ahead, &next) && same_stream(first, next);
        if (!follows) {
            if (total && after == total) {
                ++frames;
                end = p;
                complete = true;
                break;
            }
            if (!total && last_end == 0) last_end = p;
            continue;
        }
        ++frames;
        samples = after;
        end = p;
        cur = next;
        frame_start = p;
        last_end = 0;
        crc = 0;
    }
    if (!complete && last_end) {
        ++frames;
        end = last_end;
        complete = true;
    }
    if (frames == 0) return 0;

    // A trailing ID3v1 tag.
    if (complete && bound - end >= 128) {
        in.renew();
        in.skip(end);
        unsigned char tag[3];
        if (in.peek_exact(tag, 3) && memcmp(tag, "TAG", 3) == 0) {
            unsigned char whole[128];
            if (in.peek_exact(whole, 128)) end += 128;
        }
    }
    lmr::diag("found a flac file, offset: %llu, file_size: %llu%s", (unsigned long long)offset,
              (unsigned long long)end, complete ? "" : " (cut after its last whole frame)");
    entry->suffix = "flac";
    *found = 1;
    return end;
}
