// ASF (WMV/WMA): the header object, then the file-properties object, whose
// file-size field gives the length.
#include "../probe_reader.h"

namespace {
constexpr uint64_t k_object_size_at = 16;  // from the file-properties object's start
constexpr uint64_t k_file_size_at = 40;
}

extern "C" uint64_t probe_wmv(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char b[8];
    in.skip(16);  // header object identifier
    if (!in.read_exact(b, 8) || htoll(b, 1) == 0) return 0;  // header object size
    if (!in.read_exact(b, 4) || htoi(b, 1) == 0) return 0;   // number of header objects
    if (!in.read_exact(b, 2) || b[0] != 1) return 0;         // reserved bytes

    int32_t hit = 0;
    bs_search(in.get(), entry->footer.value, entry->footer.len, entry->max_len, entry->footer.table,
              entry->case_sen, &hit);
    if (!hit) return 0;
    const uint64_t props = in.tell();

    in.skip(k_object_size_at);
    if (!in.peek_exact(b, 8)) return 0;
    const uint64_t object_size = htoll(b, 1);
    in.skip(k_file_size_at - k_object_size_at);
    if (!in.peek_exact(b, 8)) return 0;
    const uint64_t file_size = htoll(b, 1);

    // A file cannot end inside its own file-properties fields (a zero size
    // is what broadcast-mode writers leave), and it cannot run past what the
    // chunk holds from here.
    if (file_size < props + k_file_size_at + 8) return 0;
    lmr::diag("header size: %llu, file_size: %llu", (unsigned long long)object_size,
              (unsigned long long)file_size);
    *found = 1;
    return file_size > limit ? limit : file_size;
}
