// gzip: one member, a header, a deflate stream and an 8-byte trailer with
// the CRC-32 and the size of the inflated data.  Deflate data says nowhere
// how long it is: the stream is inflated to find where it ends, and the
// member is taken only when the trailer agrees with what came out.  A
// member whose inflated start is a tar header is a "tar.gz".
#include "../../file_types.h"
#include "../probe_reader.h"

#include <zlib.h>

#include <cstring>

namespace {

constexpr uint32_t k_in_step = 16384;
constexpr uint32_t k_out_step = 65536;
// The most a member may inflate to before the walk gives up on it: real
// archives stay well below, a crafted one cannot hold the scan longer.
constexpr uint64_t k_max_output = 4ull << 30;
constexpr uint32_t k_max_field = 65536;  // a name or comment longer than this is no header

constexpr unsigned char FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16;

// Skips a zero-terminated field; false when it does not end in time.
bool skip_field(lmr::probe_reader &in) {
    unsigned char b[256];
    uint32_t seen = 0;
    while (seen < k_max_field) {
        uint32_t got = in.peek(b, sizeof b);
        if (got == 0) return false;
        const void *z = memchr(b, 0, got);
        if (z) {
            in.skip(uint64_t(static_cast<const unsigned char *>(z) - b) + 1);
            return true;
        }
        in.skip(got);
        seen += got;
    }
    return false;
}

// A ustar (or old GNU tar) header block: its magic and its checksum.
bool tar_header(const unsigned char *b) {
    if (memcmp(b + 257, "ustar", 5) != 0) return false;
    uint32_t sum = 0, stored = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : b[i];
    int i = 148;
    while (i < 156 && b[i] == ' ') ++i;
    for (; i < 156 && b[i] >= '0' && b[i] <= '7'; ++i) stored = stored * 8 + uint32_t(b[i] - '0');
    return sum == stored;
}

// Whether `name` is one of the entry's requested names ("gz" is part of
// "tar.gz", so a plain search for the text would not do).
bool requested(const search_spec_entry *entry, const char *name) {
    const size_t n = strlen(name);
    for (const char *p = entry->requested; (p = strstr(p, name)) != nullptr; p += n) {
        bool starts = p == entry->requested || p[-1] == ',';
        bool ends = p[n] == '\0' || p[n] == ',';
        if (starts && ends) return true;
    }
    return false;
}

struct inflater {
    z_stream z{};
    bool ok = false;
    inflater() { ok = inflateInit2(&z, -15) == Z_OK; }
    ~inflater() {
        if (ok) inflateEnd(&z);
    }
};

}  // namespace

uint64_t lmr::deep_gz(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                      uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char h[10];
    if (!in.read_exact(h, sizeof h)) return 0;
    if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0)) return 0;
    const unsigned char flags = h[3];
    if (flags & FEXTRA) {
        unsigned char x[2];
        if (!in.read_exact(x, 2)) return 0;
        in.skip(htos(x, 1));
    }
    if ((flags & FNAME) && !skip_field(in)) return 0;
    if ((flags & FCOMMENT) && !skip_field(in)) return 0;
    if (flags & FHCRC) in.skip(2);
    if (in.tell() >= limit) return 0;

    inflater inf;
    if (!inf.ok) return 0;
    unsigned char src[k_in_step];
    unsigned char out[k_out_step];
    unsigned char first_block[512];
    uint32_t first_have = 0;
    uLong crc = crc32(0, nullptr, 0);
    uint64_t total = 0;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        uint32_t got = in.peek(src, k_in_step);
        if (got == 0) return 0;  // the stream runs past the chunk
        inf.z.next_in = src;
        inf.z.avail_in = got;
        do {
            inf.z.next_out = out;
            inf.z.avail_out = k_out_step;
            rc = inflate(&inf.z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) return 0;  // not deflate data, or damaged
            const uint32_t made = k_out_step - inf.z.avail_out;
            crc = crc32(crc, out, made);
            if (first_have < sizeof first_block) {
                uint32_t take = made < sizeof first_block - first_have ? made : uint32_t(sizeof first_block - first_have);
                memcpy(first_block + first_have, out, take);
                first_have += take;
            }
            total += made;
            if (total > k_max_output) return 0;
            if (made == 0 && rc == Z_OK && inf.z.avail_in > 0) break;  // wants more input to go on
        } while (rc != Z_STREAM_END && inf.z.avail_in > 0);
        in.skip(got - inf.z.avail_in);
        if (lmr::stop_requested()) return 0;
    }
    unsigned char t[8];
    if (!in.read_exact(t, 8)) return 0;
    if (htoi(t, 1) != uint32_t(crc) || htoi(t + 4, 1) != uint32_t(total)) return 0;

    entry->suffix = first_have == sizeof first_block && tar_header(first_block) ? "tar.gz" : "gz";
    if (requested(entry, entry->suffix)) *found = 1;
    return in.tell();
}
