// PNG: walks the chunks from the signature to the first empty chunk.
#include "../probe_reader.h"

namespace {
constexpr uint64_t k_min_png = 10240;  // smaller pictures are not reported
}

extern "C" uint64_t probe_png(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
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
