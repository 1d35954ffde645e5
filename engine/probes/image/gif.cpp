// GIF: walks the blocks after the screen descriptor up to the trailer.
#include "../probe_reader.h"

#include <cstring>

namespace {

uint64_t colour_table_bytes(unsigned char packed) { return 3ull << ((packed & 7) + 1); }

// Skips a sequence of data sub-blocks up to and including its terminator.
bool skip_sub_blocks(lmr::probe_reader &in) {
    // Sub-blocks in the scan buffer are stepped over in place.
    uint64_t span = 0;
    if (const unsigned char *mem = in.in_memory(&span)) {
        uint64_t at = 0;
        while (at < span) {
            unsigned char n = mem[at];
            if (n == 0) {
                in.skip(at + 1);
                return true;
            }
            at += 1 + uint64_t(n);
        }
        in.skip(at);  // the next size byte lies beyond the buffer
    }
    unsigned char size;
    for (;;) {
        if (!in.read_exact(&size, 1)) return false;
        if (size == 0) return true;
        in.skip(size);
    }
}

}  // namespace

extern "C" uint64_t probe_gif(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char b[10];
    if (!in.read_exact(b, 6)) return 0;
    if (memcmp(b, "GIF87a", 6) != 0 && memcmp(b, "GIF89a", 6) != 0) return 0;
    if (!in.read_exact(b, 7)) return 0;  // logical screen descriptor
    if (b[4] & 0x80) in.skip(colour_table_bytes(b[4]));

    for (;;) {
        if (!in.peek_exact(b, 1)) return 0;
        switch (b[0]) {
        case 0x3B:  // trailer
            in.skip(1);
            *found = 1;
            return in.tell();
        case 0x2C:  // image descriptor, optional local colour table, LZW data
            if (!in.read_exact(b, 10)) return 0;
            if (b[9] & 0x80) in.skip(colour_table_bytes(b[9]));
            in.skip(1);  // LZW minimum code size
            if (!skip_sub_blocks(in)) return 0;
            break;
        case 0x21:  // extension: introducer, label and its fixed first block
            if (!in.peek_exact(b, 2)) return 0;
            switch (b[1]) {
            case 0xF9: in.skip(7); break;   // graphic control
            case 0xFE: in.skip(2); break;   // comment
            case 0x01: in.skip(15); break;  // plain text
            case 0xFF: in.skip(14); break;  // application
            default: return 0;
            }
            if (!skip_sub_blocks(in)) return 0;
            break;
        default:
            return 0;
        }
    }
}
