// PNG: walks the chunks from the signature to the first empty chunk.
//
// In deep mode the walk reads the chunks as a decoder would: the first is
// IHDR, every chunk's type is four letters and its CRC matches, image data
// comes before IEND, and IEND ends the file.  Pictures of any size are
// reported, up to a bound on the bytes read.
#include "../probe_reader.h"

#include <array>

namespace {
constexpr uint64_t k_min_png = 10240;  // smaller pictures are not reported

uint64_t builtin_png(recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
                     uint64_t limit, int32_t *found) {
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char b[16];
    in.skip(8);  // signature
    // First chunk: length, type, width, height.
    if (!in.peek_exact(b, 16)) return 0;
    if (int32_t(htoi(b + 8, 0)) <= 0 || int32_t(htoi(b + 12, 0)) <= 0) return 0;

    for (;;) {
        if (!in.peek_exact(b, 4)) return 0;
        uint32_t len = htoi(b, 0);
        if (len != 0) {
            in.skip(uint64_t(len) + 12);  // length, type, data, CRC
            continue;
        }
        // An empty chunk (normally IEND) ends the file.
        if (!in.peek_exact(b, 12)) return 0;
        uint64_t total = in.tell() + 12;
        if (total >= k_min_png) *found = 1;
        return total;
    }
}

// ---- deep mode ----------------------------------------------------------

// CRC-32 (polynomial 0xEDB88320, as PNG uses it), eight bytes a step.
using crc_tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr crc_tables make_crc_tables() {
    crc_tables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr crc_tables k_crc = make_crc_tables();

// Continues a CRC (kept inverted, as it runs) over `n` bytes.
uint32_t crc_update(uint32_t c, const unsigned char *p, uint64_t n) {
    while (n >= 8) {
        uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        c = k_crc[7][lo & 0xFF] ^ k_crc[6][(lo >> 8) & 0xFF] ^ k_crc[5][(lo >> 16) & 0xFF] ^ k_crc[4][lo >> 24] ^
            k_crc[3][p[4]] ^ k_crc[2][p[5]] ^ k_crc[1][p[6]] ^ k_crc[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n--) c = k_crc[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The CRC of the next `n` bytes of the reader, read in place where the scan
// buffer holds them.  False when fewer than `n` can be read.
bool crc_of_next(lmr::probe_reader &in, uint64_t n, uint32_t *c) {
    unsigned char buf[4096];
    while (n > 0) {
        uint64_t count = 0;
        if (const unsigned char *m = in.in_memory(&count)) {
            uint64_t k = count < n ? count : n;
            *c = crc_update(*c, m, k);
            in.skip(k);
            n -= k;
            continue;
        }
        uint32_t want = n < sizeof buf ? uint32_t(n) : uint32_t(sizeof buf);
        uint32_t got = in.read(buf, want);
        if (got == 0) return false;
        *c = crc_update(*c, buf, got);
        n -= got;
    }
    return true;
}

// How far a deep walk follows one picture.  The chunks' CRCs are checked
// once their walk has reached IEND, so a candidate costs a read of its
// bytes only when its structure is whole, and never more than this.
constexpr uint64_t k_deep_bound = 64ull << 20;

uint64_t deep_png(recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
                  uint64_t limit, int32_t *found) {
    static const unsigned char k_signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    static const unsigned char k_iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = limit < k_deep_bound ? limit : k_deep_bound;
    unsigned char h[8 + 13];
    if (!in.read_exact(h, 8) || memcmp(h, k_signature, 8) != 0) return 0;

    // The chunks' lengths and types, from IHDR to IEND.
    bool image_data = false;
    uint64_t end = 0;
    for (bool first = true; end == 0; first = false) {
        if (!in.peek_exact(h, 8)) return 0;
        const uint32_t len = htoi(h, 0);
        const unsigned char *type = h + 4;
        if (len > 0x7FFFFFFFu) return 0;
        if (!is_letter(type[0]) || !is_letter(type[1]) || !is_letter(type[2]) || !is_letter(type[3])) return 0;
        if (first) {
            // IHDR: 13 bytes, width and height from 1 to 2^31 - 1.
            if (memcmp(type, "IHDR", 4) != 0 || len != 13 || !in.peek_exact(h, 8 + 13)) return 0;
            const uint32_t w = htoi(h + 8, 0), ht = htoi(h + 12, 0);
            if (w == 0 || ht == 0 || w > 0x7FFFFFFFu || ht > 0x7FFFFFFFu) return 0;
        }
        if (memcmp(type, "IDAT", 4) == 0) image_data = true;
        if (memcmp(type, "IEND", 4) == 0) {
            if (!image_data || !in.peek_exact(h, 12) || memcmp(h, k_iend, 12) != 0) return 0;
            end = in.tell() + 12;
        } else {
            in.skip(12 + uint64_t(len));
        }
        if (in.tell() > bound) return 0;
    }

    // Every chunk's CRC, over its type and data.
    in.renew();
    in.skip(8);
    while (in.tell() < end) {
        if (!in.read_exact(h, 4)) return 0;
        uint32_t c = 0xFFFFFFFFu;
        unsigned char stored[4];
        if (!crc_of_next(in, 4 + uint64_t(htoi(h, 0)), &c) || !in.read_exact(stored, 4)) return 0;
        if ((c ^ 0xFFFFFFFFu) != htoi(stored, 0)) return 0;
    }
    *found = 1;
    return end;
}

}  // namespace

extern "C" uint64_t probe_png(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    if (lmr::deep_mode()) return deep_png(state, data, available, offset, limit, found);
    return builtin_png(state, data, available, offset, limit, found);
}
