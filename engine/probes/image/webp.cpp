// WebP: a RIFF form of type "WEBP".  The RIFF size gives the length; the
// chunks inside must fill it exactly, the first being the picture (VP8,
// VP8L) or the extended header (VP8X) that announces animation, alpha and
// metadata chunks.  A file whose chunks do not add up is not taken.
#include "../../file_types.h"
#include "../probe_reader.h"

#include <cstring>

namespace {

constexpr uint64_t k_riff_header = 12;  // "RIFF", size, "WEBP"
constexpr uint64_t k_chunk_header = 8;  // fourcc, size

bool fourcc_char(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' '; }

bool is(const unsigned char *t, const char *name) { return memcmp(t, name, 4) == 0; }

// The first bytes of an image chunk's payload as its decoder expects them.
bool image_payload_ok(const unsigned char *type, const unsigned char *p, uint32_t have) {
    if (is(type, "VP8 ")) return have >= 6 && (p[0] & 1) == 0 && p[3] == 0x9D && p[4] == 0x01 && p[5] == 0x2A;
    if (is(type, "VP8L")) return have >= 1 && p[0] == 0x2F;
    return true;
}

}  // namespace

uint64_t lmr::deep_webp(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                        uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char h[k_riff_header];
    if (!in.read_exact(h, sizeof h)) return 0;
    if (memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WEBP", 4) != 0) return 0;
    const uint64_t end = uint64_t(htoi(h + 4, 1)) + 8;
    if (end < k_riff_header + k_chunk_header + 1 || end > limit) return 0;  // cut short: not whole

    bool first = true, image = false, extended = false;
    // Every chunk takes at least 8 bytes of a bounded span: the walk ends.
    while (in.tell() < end) {
        unsigned char c[k_chunk_header + 6];
        if (end - in.tell() < k_chunk_header || !in.peek_exact(c, k_chunk_header)) return 0;
        for (int i = 0; i < 4; ++i)
            if (!fourcc_char(c[i])) return 0;
        const uint64_t size = htoi(c + 4, 1);
        const uint64_t next = in.tell() + k_chunk_header + size + (size & 1);
        // The padding byte of a last chunk of odd size is sometimes left out.
        if (next > end && !(next == end + 1 && (size & 1))) return 0;
        uint32_t have = in.peek(c, sizeof c) - uint32_t(k_chunk_header);
        if (first) {
            if (is(c, "VP8X")) {
                if (size < 10) return 0;
                extended = true;
            } else if (is(c, "VP8 ") || is(c, "VP8L")) {
                if (!image_payload_ok(c, c + k_chunk_header, have)) return 0;
                image = true;
            } else {
                return 0;
            }
            first = false;
        } else if (!extended) {
            return 0;  // a simple file holds its picture chunk alone
        } else if (is(c, "VP8 ") || is(c, "VP8L")) {
            if (!image_payload_ok(c, c + k_chunk_header, have)) return 0;
            image = true;
        } else if (is(c, "ANMF")) {
            image = true;
        }
        if (next >= end) break;
        in.skip(next - in.tell());
    }
    if (!image) return 0;
    entry->suffix = "webp";
    if (lmr::name_requested(entry, "webp")) *found = 1;
    return end;
}
