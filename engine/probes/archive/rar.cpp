// RAR archives of format 1.5 to 4.x: the marker block, the archive header,
// then either a walk over the file headers to the end-of-archive block or a
// search for the end by its run of zero bytes.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <cstring>

namespace {

constexpr unsigned char k_archive_header = 0x73;
constexpr unsigned char k_file_header = 0x74;
constexpr unsigned char k_end_block = 0x7B;
constexpr uint16_t k_large_file = 0x100;
constexpr uint32_t k_standard_archive_header = 13;
constexpr uint32_t k_lookahead = 500;
constexpr uint32_t k_block_peek = 50;
constexpr uint32_t k_block_min = 7;  // CRC, type, flags, header size
constexpr uint32_t k_end_block_size = 7;

// Moves the reader to an absolute position, backwards too.
void seek_to(bs *r, uint64_t pos) {
    bs_reset(r);
    bs_skip(r, pos);
}

// Walks file headers to the end-of-archive block.  `available` bounds each
// file header and its packed data.
uint64_t block_walk(bs *r, uint64_t available, int32_t *found) {
    unsigned char b[k_block_peek];
    for (;;) {
        uint32_t got = bs_peek(r, b, k_block_peek);
        if (got >= k_block_min && b[2] == k_end_block) {
            // The end block needs only its own 7 bytes, so an archive that
            // ends just before the end of the chunk is still whole.
            bs_skip(r, k_end_block_size);
            *found = 1;
            return bs_tell(r);
        }
        if (got < k_block_peek || b[2] != k_file_header) return 0;
        uint64_t h = htos(b + 5, 1);
        uint16_t flags = htos(b + 3, 1);
        uint64_t packed = htoi(b + 7, 1);
        if (flags & k_large_file) packed |= uint64_t(htoi(b + 32, 1)) << 32;
        uint64_t unpacked = htoi(b + 11, 1);
        if (h == 0 || packed >= 0x80000000u || unpacked >= 0x80000000u) return 0;
        if (h > available || packed > available || h + packed > available) return 0;
        bs_skip(r, h + packed);
    }
}

uint64_t walk(bs *r, search_spec_entry *entry, uint64_t available, int32_t *found) {
    unsigned char b[k_lookahead];
    if (bs_peek(r, b, 7) < 7) return 0;
    bs_skip(r, htos(b + 5, 1));

    if (bs_peek(r, b, 11) < 11) return 0;
    if (b[2] != k_archive_header) return 0;
    uint32_t archive_header = htos(b + 5, 1);
    bs_skip(r, archive_header);

    // Look ahead for the first file header.  An archive shorter than the
    // look-ahead that ends the input is judged on the bytes there are.
    uint32_t got = bs_peek(r, b, k_lookahead);
    if (got < k_block_min) return 0;
    if (b[2] != k_file_header) {
        const void *t = memchr(b, k_file_header, got);
        if (t) {
            uint64_t i = uint64_t(static_cast<const unsigned char *>(t) - b);
            uint64_t here = bs_tell(r);
            // Put that byte at the type position of the next block.
            if (i >= 2) bs_skip(r, i - 2);
            else seek_to(r, here + i >= 2 ? here + i - 2 : 0);
        }
        if (archive_header == k_standard_archive_header) {
            int32_t hit = 0;
            uint64_t start = bs_tell(r);
            uint64_t n = bs_search(r, entry->footer.value, entry->footer.len, entry->max_len,
                                   entry->footer.table, entry->case_sen, &hit);
            if (!hit) return 0;
            *found = 1;
            return start + n;
        }
    }
    return block_walk(r, available, found);
}

}  // namespace

extern "C" uint64_t probe_rar(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!state || !entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    // The built-in rules take a member only as far as the scan window holds
    // bytes.
    return walk(in.get(), entry, in.head(), found);
}

// The deep walk reads on to the end of what may be read, so an archive that
// runs past the window (or, in free space read as one stream, past a file's
// first blocks) is still walked.
uint64_t lmr::deep_rar(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    if (!state || !entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    return walk(in.get(), entry, in.limit(), found);
}
