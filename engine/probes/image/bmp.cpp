// BMP: the file header carries the file's size; only plausibility checks of
// the information header are made.  A deep scan also takes a picture stored
// top down (a negative height).
#include "../../file_types.h"
#include "../probe_reader.h"

namespace {

uint64_t bmp(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
             uint64_t offset, uint64_t limit, int32_t *found, bool top_down) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char b[38];  // file header and the start of the information header
    if (!in.peek_exact(b, 38)) return 0;
    uint32_t file_size = htoi(b + 2, 1);
    uint32_t info_size = htoi(b + 14, 1);
    int32_t width = int32_t(htoi(b + 18, 1));
    int32_t height = int32_t(htoi(b + 22, 1));  // negative: top-down
    if (height < 0 && height > -2001 && top_down) height = -height;

    if (info_size < 1 || info_size > 1000) return 0;
    if (height < 1 || height > 2000) return 0;
    if (width <= 0) return 0;
    // A size field that does not even cover the headers is no bitmap.
    if (uint64_t(file_size) < 14 + uint64_t(info_size)) return 0;

    in.skip(file_size);
    *found = 1;
    return file_size;
}

}  // namespace

extern "C" uint64_t probe_bmp(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    return bmp(state, entry, data, available, offset, limit, found, false);
}

uint64_t lmr::deep_bmp(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    return bmp(state, entry, data, available, offset, limit, found, true);
}
