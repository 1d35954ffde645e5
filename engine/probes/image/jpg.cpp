// JPEG: walks the marker segments from start-of-image to the first scan,
// then looks for the end-of-image marker.  A picture whose end lies in
// sectors that could not be read ends where they begin.
#include "../probe_reader.h"

extern "C" uint64_t probe_jpg(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char b[4];
    in.skip(2);  // FF D8
    // The first segment must be APP0 (JFIF) or APP1 (Exif).
    if (!in.peek_exact(b, 2) || (b[1] != 0xE0 && b[1] != 0xE1)) return 0;

    bool quant = false, huff = false;
    for (;;) {
        if (!in.peek_exact(b, 4)) return 0;
        if (b[0] != 0xFF) break;  // entropy-coded data of the scan
        if (b[1] == 0xFF) {       // fill byte
            in.skip(1);
            continue;
        }
        if (b[1] == 0xDB) quant = true;
        if (b[1] == 0xC4) huff = true;
        // APP1 with an Exif thumbnail is skipped whole, so the thumbnail's own
        // end-of-image marker is never met.
        in.skip(2 + uint64_t(htos(b + 2, 0)));
    }
    if (!quant || !huff) return 0;

    if (!entry->footer.value || entry->footer.len <= 0) return 0;
    uint64_t p = in.tell();
    int32_t hit = 0;
    uint64_t dist = bs_search(in.get(), entry->footer.value, entry->footer.len, entry->max_len,
                              entry->footer.table, entry->case_sen, &hit);
    if (!hit) {
        // The search stopped at sectors the scan could not read: the end
        // lies there or beyond.  The picture is reported up to them, cut,
        // so that what follows them is scanned.
        uint64_t at = in.tell();
        if (!in.unreadable_at(at)) return 0;
        lmr::diag("[jpg] end unreadable: cut at %llu bytes", (unsigned long long)at);
        *found = 1;
        return at;
    }
    *found = 1;
    return p + dist;
}
