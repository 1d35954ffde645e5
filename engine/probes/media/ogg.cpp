// Ogg streams: a walk over the pages, each checked against its CRC.  The
// first page opens a logical stream whose codec names the file (Vorbis:
// ogg, Opus: opus, FLAC: oga); the pages of every stream that opened at the
// start are followed by their serial numbers, and the file ends with the
// page that closes the last of them.  A page of a stream that never opened
// here, or anything that is not a valid page, ends the walk; a walk that
// never met the closing page keeps the pages it checked (a cut file comes
// back as far as it is whole), once the codec headers are complete.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <array>

namespace {

constexpr uint32_t k_page_head = 27;
constexpr uint32_t k_max_page = k_page_head + 255 + 255 * 255;
constexpr int k_max_streams = 16;
constexpr uint64_t k_max_pages = 1u << 22;
// The codec's header packets take the first pages; fewer is no file.
constexpr uint64_t k_min_pages = 3;

constexpr std::array<uint32_t, 256> crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[i] = r;
    }
    return t;
}
constexpr std::array<uint32_t, 256> k_crc = crc_table();

uint32_t crc_update(uint32_t crc, const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ k_crc[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

uint32_t le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The suffix a stream's first packet names, or null for a codec this walk
// does not report.
const char *codec_suffix(const unsigned char *packet, uint32_t n) {
    if (n >= 7 && memcmp(packet, "\x01vorbis", 7) == 0) return "ogg";
    if (n >= 8 && memcmp(packet, "OpusHead", 8) == 0) return "opus";
    if (n >= 5 && memcmp(packet, "\x7F" "FLAC", 5) == 0) return "oga";
    return nullptr;
}

struct streams {
    uint32_t serial[k_max_streams];
    bool ended[k_max_streams];
    int count = 0;

    int find(uint32_t s) const {
        for (int i = 0; i < count; ++i)
            if (serial[i] == s) return i;
        return -1;
    }
    bool all_ended() const {
        for (int i = 0; i < count; ++i)
            if (!ended[i]) return false;
        return count > 0;
    }
};

// Reads one page at the reader's position into `page` and checks it;
// returns its size, or 0 when no valid page stands there.
uint32_t read_page(lmr::probe_reader &in, unsigned char *page, uint64_t room) {
    if (room < k_page_head) return 0;
    if (!in.peek_exact(page, k_page_head)) return 0;
    if (memcmp(page, "OggS", 4) != 0 || page[4] != 0) return 0;
    const uint32_t segs = page[26];
    if (!in.peek_exact(page, k_page_head + segs)) return 0;
    uint32_t body = 0;
    for (uint32_t i = 0; i < segs; ++i) body += page[k_page_head + i];
    const uint32_t size = k_page_head + segs + body;
    if (size > room || !in.peek_exact(page, size)) return 0;
    const uint32_t stored = le32(page + 22);
    static const unsigned char zero[4] = {0, 0, 0, 0};
    uint32_t crc = crc_update(0, page, 22);
    crc = crc_update(crc, zero, 4);
    crc = crc_update(crc, page + 26, size - 26);
    return crc == stored ? size : 0;
}

}  // namespace

uint64_t lmr::deep_ogg(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;

    // One page at most 65307 bytes: the buffer's size is the format's, never
    // a field's.
    static thread_local unsigned char page[k_max_page];
    streams s;
    const char *suffix = nullptr;
    uint64_t pages = 0, end = 0;
    bool closed = false, opening = true;
    while (pages < k_max_pages) {
        const uint32_t size = read_page(in, page, bound - in.tell());
        if (size == 0) break;
        const unsigned char flags = page[5];
        const uint32_t serial = le32(page + 14);
        int at = s.find(serial);
        if (flags & 0x02) {
            // Streams open together at the start; a stream opening later is
            // the next chained file's.
            if (!opening || at >= 0 || s.count == k_max_streams) break;
            if (pages == 0) {
                const uint32_t segs = page[26];
                suffix = codec_suffix(page + k_page_head + segs, size - k_page_head - segs);
                if (!suffix) return 0;
            }
            at = s.count++;
            s.serial[at] = serial;
            s.ended[at] = false;
        } else {
            if (pages == 0 || at < 0 || s.ended[at]) break;
            opening = false;
        }
        ++pages;
        in.skip(size);
        end = in.tell();
        if (flags & 0x04) {
            s.ended[at] = true;
            if (s.all_ended()) {
                closed = true;
                break;
            }
        }
    }
    if (!suffix || pages < k_min_pages) return 0;
    entry->suffix = suffix;
    if (!lmr::name_requested(entry, suffix)) return 0;
    lmr::diag("found a %s file, offset: %llu, file_size: %llu%s", suffix, (unsigned long long)offset,
              (unsigned long long)end, closed ? "" : " (no end-of-stream page)");
    *found = 1;
    return end;
}
