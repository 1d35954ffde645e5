// MP3 with a leading ID3 tag (version 2.3): the file runs to its trailing
// ID3v1 tag, found by its "TAG" letters within the type's size limit, or,
// when another such MP3 begins before that tag, up to where it begins.
#include "../probe_reader.h"

namespace {
constexpr uint64_t k_id3v1_size = 128;  // "TAG" and 125 bytes of fields
}

extern "C" uint64_t probe_mp3(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    // Where the next MP3 of this kind begins, if one does within the bound:
    // a file without a trailing tag must not run on into it and take its
    // tag (the two would come back as one file, and the second be skipped).
    in.skip(4);  // "ID3" and the major version
    int32_t next_hit = 0;
    uint64_t next = bs_search(in.get(), entry->header.value, entry->header.len, entry->max_len,
                              entry->header.table, entry->case_sen, &next_hit);
    in.renew();
    in.skip(4);

    int32_t hit = 0;
    uint64_t dist = bs_search(in.get(), entry->footer.value, entry->footer.len, entry->max_len,
                              entry->footer.table, entry->case_sen, &hit);
    if (next_hit) {
        uint64_t next_start = next - uint64_t(entry->header.len);  // from offset 4
        if (!hit || next_start < dist - uint64_t(entry->footer.len)) {
            if (!hit) return 0;  // no tag at all: as before, not a file we can bound
            // The file ends where the next one begins.
            *found = 1;
            return 4 + next_start;
        }
    }
    if (!hit) return 0;

    // The tag's fields follow its three letters; keep them, as far as the
    // chunk holds them.
    uint64_t tag_start = 4 + dist - uint64_t(entry->footer.len);
    uint64_t end = tag_start + k_id3v1_size;
    if (end > limit) end = limit;
    *found = 1;
    return end;
}
