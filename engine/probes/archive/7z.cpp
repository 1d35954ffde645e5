// 7z: a 32-byte start header gives where the archive's header lies (its
// offset after the start header, its size and its CRC); the archive ends
// with that header.  Both CRCs are checked, the second over the header's
// bytes as read, so a damaged or cut archive is not taken.
#include "../../file_types.h"
#include "../probe_reader.h"

#include <zlib.h>

#include <cstring>

namespace {

constexpr uint32_t k_start_header = 32;
constexpr unsigned char k_magic[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

}  // namespace

uint64_t lmr::deep_7z(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                      uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char h[k_start_header];
    if (!in.read_exact(h, sizeof h)) return 0;
    if (memcmp(h, k_magic, sizeof k_magic) != 0 || h[6] != 0) return 0;
    if (crc32(0, h + 12, 20) != htoi(h + 8, 1)) return 0;
    const uint64_t next_offset = htoll(h + 12, 1);
    const uint64_t next_size = htoll(h + 20, 1);
    const uint32_t next_crc = htoi(h + 28, 1);
    if (next_offset > limit || next_size > limit) return 0;
    const uint64_t length = k_start_header + next_offset + next_size;
    if (length > limit) return 0;  // cut short
    if (next_size == 0) {
        // An empty archive: nothing follows the start header.
        if (next_offset != 0 || next_crc != 0) return 0;
    } else {
        in.skip(next_offset);
        unsigned char b[4096];
        uLong crc = crc32(0, nullptr, 0);
        uint64_t left = next_size;
        bool first = true;
        while (left > 0) {
            uint32_t want = left < sizeof b ? uint32_t(left) : uint32_t(sizeof b);
            if (!in.read_exact(b, want)) return 0;
            // A header (0x01) or a packed header (0x17).
            if (first && b[0] != 0x01 && b[0] != 0x17) return 0;
            first = false;
            crc = crc32(crc, b, want);
            left -= want;
        }
        if (uint32_t(crc) != next_crc) return 0;
    }
    entry->suffix = "7z";
    *found = 1;
    return length;
}
