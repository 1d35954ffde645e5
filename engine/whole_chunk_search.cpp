// The whole-chunk search: each configured entry in turn, its header
// searched for anywhere in the chunk, window by window.
#include "scan_driver.h"
#include "signature_index.h"

#include <cstdlib>
#include <cstring>

namespace lmr {

// The whole chunk searched for each entry in turn, window by window.
int search_whole_chunk(scan_run &run, scan_input *input, chunk *c) {
    recovery_state *state = &run.state;
    lmr::diag("NUM_BUILT IN IS %d", state->spec_count);
    // A buffer of its own: this search may run beside nothing else, and the
    // driver's window may be smaller than 50 MiB.
    auto *buf = static_cast<unsigned char *>(malloc(LMR_SCAN_BUFFER_SIZE));
    if (!buf) return 1;
    int result = 1;
    const int count = state->spec_count;
    for (int e = 0; e < count && result; ++e) {
        search_spec_entry *entry = &run.types[e];
        if (!searched(*entry, run.deep)) continue;
        const lmr::scan_rule &rule = lmr::scan_rule_of(entry->type_key);
        const uint64_t hlen = uint64_t(entry->header.len > 0 ? entry->header.len : 0);
        uint64_t covered = 0;  // bytes of the chunk taken into windows
        uint64_t kept = 0;     // unexamined tail carried to the next window
        while (covered < c->length && result) {
            uint64_t want = c->length - covered;
            if (want > LMR_SCAN_BUFFER_SIZE - kept) want = LMR_SCAN_BUFFER_SIZE - kept;
            uint64_t bad = 0;
            uint64_t got = read_input_range(input->file, c->offset + covered, buf + kept, want, &bad);
            run.unreadable_sectors += bad;
            const uint64_t win_base = c->offset + covered - kept;  // absolute offset of buf[0]
            const uint64_t have = kept + got;
            uint64_t pos = 0;
            while (pos < have) {
                if (wait_while_paused(run)) {
                    run.clear_stop();
                    result = 0;
                    break;
                }
                uint64_t cand;
                uint64_t hit_at;  // where the header was seen
                if (rule.text_run) {
                    uint64_t abs = win_base + pos;
                    cand = adjust_bs(abs, 512) - win_base;
                    hit_at = cand;
                } else {
                    const unsigned char *hit = bm_search_skipn(entry->header.value, entry->header.len, buf + pos,
                                                               int64_t(have - pos), entry->header.table,
                                                               entry->case_sen, 0, entry->header.len - 1);
                    if (!hit) break;
                    cand = uint64_t(hit - buf);
                    hit_at = cand;
                    if (rule.header_at) {
                        if (cand < rule.header_at) {
                            pos = cand + 1;
                            continue;
                        }
                        cand -= rule.header_at;
                    }
                }
                if (cand >= have) break;
                int32_t found = 0;
                uint64_t avail = have - cand;
                uint64_t left = c->length - (win_base + cand - c->offset);
                uint64_t len = probe_file(state, entry, buf + cand, avail > INT32_MAX ? INT32_MAX : int32_t(avail),
                                          win_base + cand, left, &found);
                if (found) find_file(state, entry, len, win_base + cand);
                uint64_t next = cand + (len ? len : 1);
                // Never resume at or before the header just seen: a
                // candidate may start before its header (mp4: 4 bytes before
                // its "ftyp"), and resuming
                // one byte after the candidate would meet it again forever.
                if (next <= hit_at) next = hit_at + 1;
                if (next < cand || next > have) next = have;
                pos = next;
            }
            covered += want;
            lmr::proceed_to(run, c->offset + (uint64_t(e) * c->length + covered) / uint64_t(count), input->size);
            if (got < want) break;
            kept = have - pos < hlen ? have - pos : (hlen ? hlen - 1 : 0);
            if (kept > have) kept = 0;
            memmove(buf, buf + have - kept, size_t(kept));
        }
    }
    free(buf);
    return result;
}

}  // namespace lmr

using namespace lmr;

extern "C" {

int search_chunk(recovery_state *state, scan_input *input, chunk *c) {
    if (!state || !input || !c || !input->file) return 1;
    return with_run(state, [input, c](scan_run &run) { return search_whole_chunk(run, input, c); });
}

}  // extern "C"
