// RIFF containers: AVI and WAVE, told apart by the form type; the length is
// the RIFF size field plus its 8-byte chunk header.  In a deep scan a WebP
// goes to its own walk.
#include "../../file_types.h"
#include "../probe_reader.h"

extern "C" uint64_t probe_riff(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                               int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char h[16];
    if (!in.peek_exact(h, sizeof h)) return 0;
    const uint32_t size = htoi(h + 4, 1);
    if (size == 0) return 0;

    if (memcmp(h + 8, "AVI", 3) == 0) {
        if (memcmp(h + 12, "LIST", 4) != 0) return 0;
        entry->suffix = "avi";
    } else if (memcmp(h + 8, "WAVE", 4) == 0) {
        entry->suffix = "wav";
    } else {
        return 0;
    }

    // The size field is the file's word: never claim more than the chunk
    // holds from here.
    uint64_t length = uint64_t(size) + 8;
    if (length > limit) length = limit;
    if (lmr::name_requested(entry, entry->suffix)) *found = 1;
    return length;
}

uint64_t lmr::deep_riff(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                        uint64_t offset, uint64_t limit, int32_t *found) {
    if (available >= 12 && memcmp(data + 8, "WEBP", 4) == 0)
        return deep_webp(state, entry, data, available, offset, limit, found);
    if (available < 12) {
        // The form type lies beyond the bytes in memory: read it.
        lmr::probe_reader in(state, data, available, offset, limit);
        unsigned char h[12];
        if (in && in.peek_exact(h, sizeof h) && memcmp(h + 8, "WEBP", 4) == 0)
            return deep_webp(state, entry, data, available, offset, limit, found);
    }
    return probe_riff(state, entry, data, available, offset, limit, found);
}
