// tar (ustar and GNU): 512-byte header blocks, each followed by its
// member's data rounded up to whole blocks; the archive ends with two
// blocks of zeros, which tar pads with more zeros to a whole record of
// 20 blocks.  Every header is checked by its checksum, and the walk goes
// from header to header by the members' sizes, so it ends where the
// archive's own structure does.  An archive whose end blocks were lost
// ends after its last whole member.
#include "../../file_types.h"
#include "../probe_reader.h"
#include "../../scan_run.h"

#include <cstring>

namespace {

constexpr uint32_t k_block = 512;
constexpr uint64_t k_record = 20 * k_block;  // tar's default record: the end is padded to it

bool all_zero(const unsigned char *b) {
    for (uint32_t i = 0; i < k_block; ++i)
        if (b[i]) return false;
    return true;
}

// An octal field (leading blanks, digits, then a blank or NUL), or false.
bool octal(const unsigned char *f, int n, uint64_t *value) {
    int i = 0;
    while (i < n && f[i] == ' ') ++i;
    uint64_t v = 0;
    int digits = 0;
    for (; i < n && f[i] >= '0' && f[i] <= '7'; ++i, ++digits) {
        if (v >> 60) return false;
        v = v * 8 + uint64_t(f[i] - '0');
    }
    if (i < n && f[i] != ' ' && f[i] != 0) return false;
    *value = v;
    return digits > 0;
}

// The size field: octal, or GNU's base-256 form (high bit of the first byte
// set) for members of 8 GiB and more.
bool member_size(const unsigned char *h, uint64_t *size) {
    const unsigned char *f = h + 124;
    if (f[0] & 0x80) {
        if (f[0] != 0x80) return false;  // negative, or more than 64 bits
        uint64_t v = 0;
        for (int i = 1; i < 12; ++i) {
            if (v >> 56) return false;
            v = (v << 8) | f[i];
        }
        *size = v;
        return true;
    }
    return octal(f, 12, size);
}

// A header block: the checksum over the block with its own field taken as
// blanks, and a member that has a name.
bool header_block(const unsigned char *h) {
    uint64_t stored = 0;
    if (!octal(h + 148, 8, &stored)) return false;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < k_block; ++i) sum += (i >= 148 && i < 156) ? ' ' : h[i];
    return sum == stored && h[0] != 0;
}

// Members whose size field does not count data blocks: links, devices,
// directories and FIFOs.
bool has_no_data(unsigned char type) { return type >= '1' && type <= '6'; }

}  // namespace

uint64_t lmr::deep_tar(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;
    lmr::probe_reader in(state, data, available, offset, bound);
    if (!in) return 0;

    unsigned char h[k_block];
    if (!in.peek_exact(h, k_block)) return 0;
    // The first member's header: the ustar magic stands at byte 257.
    if (memcmp(h + 257, "ustar", 5) != 0 || !header_block(h)) return 0;

    uint64_t pos = 0;         // the block being read
    uint64_t whole = 0;       // the end of the last whole member
    uint64_t members = 0;
    bool ended = false;
    while (pos + k_block <= bound) {
        if (!in.peek_exact(h, k_block)) break;
        if (all_zero(h)) {
            // The end: two blocks of zeros.  One alone is not an end.
            in.skip(k_block);
            unsigned char next[k_block];
            if (in.peek_exact(next, k_block) && all_zero(next)) {
                ended = true;
                pos += 2 * k_block;
                in.skip(k_block);
            }
            break;
        }
        if (!header_block(h)) break;
        uint64_t size = 0;
        if (!member_size(h, &size)) break;
        if (has_no_data(h[156])) size = 0;
        const uint64_t blocks = size / k_block + (size % k_block != 0);
        if (blocks > (bound - pos) / k_block) break;  // runs past the chunk: not whole
        const uint64_t next = pos + k_block + blocks * k_block;
        if (next > bound) break;
        pos = next;
        whole = pos;
        ++members;
        in.skip(k_block + blocks * k_block);
        if (const lmr::scan_run *run = lmr::run_of(state); run && run->stop_asked()) return 0;
    }
    if (members == 0) return 0;
    uint64_t length = whole;
    if (ended) {
        // The zeros that pad the end to a whole record belong to the
        // archive; taken only while they are zeros.
        length = pos;
        unsigned char z[k_block];
        while (length % k_record != 0 && length + k_block <= bound && in.peek_exact(z, k_block) && all_zero(z)) {
            length += k_block;
            in.skip(k_block);
        }
    }
    entry->suffix = "tar";
    if (name_requested(entry, "tar")) *found = 1;
    return length;
}
