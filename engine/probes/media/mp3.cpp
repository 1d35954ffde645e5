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

    in.skip(4);  // "ID3" and the major version
    int32_t hit = 0;
    uint64_t dist = bs_search(in.get(), entry->footer.value, entry->footer.len, entry->max_len,
                              entry->footer.table, entry->case_sen, &hit);
    if (!hit) return 0;
    const uint64_t tag_rel = dist - uint64_t(entry->footer.len);  // from offset 4

    // A file without a trailing tag must not run on into the next MP3 and
    // take its tag (the two would come back as one, and the second be
    // skipped): if another such MP3 begins before the tag, the file ends
    // where it begins.  Only the bytes before the tag are searched.
    in.renew();
    in.skip(4);
    int32_t next_hit = 0;
    uint64_t next = bs_search(in.get(), entry->header.value, entry->header.len, tag_rel,
                              entry->header.table, entry->case_sen, &next_hit);
    if (next_hit) {
        uint64_t next_rel = next - uint64_t(entry->header.len);
        if (next_rel < tag_rel) {
            *found = 1;
            return 4 + next_rel;
        }
    }

    // The tag's fields follow its three letters; keep them, as far as the
    // chunk holds them.
    uint64_t tag_start = 4 + tag_rel;
    uint64_t end = tag_start + k_id3v1_size;
    if (end > limit) end = limit;
    *found = 1;
    return end;
}
