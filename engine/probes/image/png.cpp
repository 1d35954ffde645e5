// PNG: walks the chunks from the signature to the first empty chunk.
//
// In deep mode the walk reads the chunks as a decoder would: the first is
// IHDR, every chunk's type is four letters and its CRC matches, image data
// comes before IEND, and IEND ends the file.  Pictures of any size are
// reported, up to a bound on the bytes read.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// Continues a CRC (kept inverted, as it runs) over `n` bytes, eight at a
// step.
uint32_t crc_by_table(uint32_t c, const unsigned char *p, uint64_t n) {
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

#if defined(__x86_64__)
// The same with carry-less multiplication, for runs of 64 bytes and more:
// four 128-bit lanes are folded forward over 64 bytes at a time, then into
// one, then reduced to 32 bits (Barrett).  The constants are powers of x
// modulo the polynomial, bit-reflected as the CRC runs: x^(512+32) and
// x^(512-32) fold by 64 bytes, x^(128+32) and x^(128-32) by 16, x^64 folds
// 64 bits into 32; then the polynomial and its quotient for the reduction.
// Returns how many bytes it took (a multiple of 16); the table goes on.
#define LMR_CLMUL __attribute__((target("pclmul,sse2")))

LMR_CLMUL inline __m128i load16(const unsigned char *q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
}

// a.lo * k.lo ^ a.hi * k.hi ^ b: one lane moved forward onto `b`.
LMR_CLMUL inline __m128i fold(__m128i a, __m128i k, __m128i b) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), b);
}

LMR_CLMUL uint64_t crc_folded(uint32_t *crc, const unsigned char *p, uint64_t n) {
    if (n < 64) return 0;
    const uint64_t taken = n & ~uint64_t(15);
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);
    __m128i x1 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(int(*crc)));
    __m128i x2 = load16(p + 16), x3 = load16(p + 32), x4 = load16(p + 48);
    uint64_t i = 64;
    for (; i + 64 <= taken; i += 64) {
        x1 = fold(x1, k1k2, load16(p + i));
        x2 = fold(x2, k1k2, load16(p + i + 16));
        x3 = fold(x3, k1k2, load16(p + i + 32));
        x4 = fold(x4, k1k2, load16(p + i + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; i < taken; i += 16) x1 = fold(x1, k3k4, load16(p + i));
    // 128 bits to 64, then to 32 and the reduction.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    *crc = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(_mm_xor_si128(x1, t), 4)));
    return taken;
}

const bool k_have_clmul = __builtin_cpu_supports("pclmul");
#endif

uint32_t crc_update(uint32_t c, const unsigned char *p, uint64_t n) {
#if defined(__x86_64__)
    if (k_have_clmul) {
        uint64_t done = crc_folded(&c, p, n);
        p += done;
        n -= done;
    }
#endif
    return crc_by_table(c, p, n);
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

uint64_t walk_deep(recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
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
    return builtin_png(state, data, available, offset, limit, found);
}

uint64_t lmr::deep_png(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                      uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    return walk_deep(state, data, available, offset, limit, found);
}
