// MPEG-4 audio (iTunes-style .m4a and .m4b audio books): ISO media whose
// major brand is "M4A " or "M4B ".  The file is the run of top-level boxes
// from "ftyp" that holds both the movie ("moov") and its data ("mdat").
#include "iso_boxes.h"
#include "../../file_types.h"

namespace {

constexpr uint64_t k_max_boxes = 1u << 16;

bool audio_box(const lmr::iso_box &b) {
    static const char *const known[] = {"moov", "mdat", "free", "skip", "wide", "uuid", "meta", "udta",
                                        "pdin", "moof", "mfra", "sidx", "styp", "prft", "emsg", "bloc"};
    for (const char *k : known)
        if (memcmp(b.type, k, 4) == 0) return true;
    return false;
}

}  // namespace

uint64_t lmr::deep_m4a(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;

    unsigned char brand[4];
    if (lmr::read_brands(in, brand, 1) != 1) return 0;
    if (memcmp(brand, "M4A ", 4) != 0 && memcmp(brand, "M4B ", 4) != 0) return 0;

    bool moov = false, mdat = false;
    uint64_t end = 0;
    for (uint64_t boxes = 0; boxes < k_max_boxes; ++boxes) {
        lmr::iso_box b;
        if (!lmr::peek_iso_box(in, &b)) break;
        if (lmr::box_is(b, "ftyp")) {
            if (boxes > 0) break;  // the next file's
        } else if (!audio_box(b)) {
            break;
        }
        // A box that runs to the end of the file, or further than the
        // input holds, ends the walk before it.
        if (b.size == 0 || b.size > bound - b.at) break;
        moov = moov || lmr::box_is(b, "moov");
        mdat = mdat || lmr::box_is(b, "mdat");
        in.skip(b.size);
        end = in.tell();
    }
    if (!moov || !mdat) return 0;
    entry->suffix = "m4a";
    if (!lmr::name_requested(entry, "m4a")) return 0;
    lmr::diag("found a m4a file, offset: %llu, file_size: %llu", (unsigned long long)offset,
              (unsigned long long)end);
    *found = 1;
    return end;
}
