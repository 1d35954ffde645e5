// The free-space stream scan of a deep scan: a candidate in a file
// system's free space is probed through a view that joins the free runs,
// and one whose indirect block was not seen yet waits until the whole free
// space has been read.
#include "scan_driver.h"
#include "free_space_view.h"

#include <algorithm>
#include <vector>

namespace lmr {

namespace {
constexpr size_t k_deferred_max = 1u << 18;  // candidates waiting in one scan
}  // namespace

// Probes the candidate at logical offset `logical` of the joined free space
// as the start of a file; the window's bytes from it are `data` (`avail` of
// them).  Reports a find with the runs it occupies; *span is the stream
// bytes the find takes from the candidate.
int32_t probe_in_view(scan_run &run, search_spec_entry *entry, scan_input *input, uint64_t logical,
                      const unsigned char *data, uint64_t avail, uint64_t *len, uint64_t *span,
                      std::vector<r_run> *taken) {
    lmr::file_view file(*run.free_view, lmr::input_fd(input->file), logical, lmr::free_space_layout);
    if (run.window_base != UINT64_MAX) file.set_window(run.buffer, run.window_base, run.window_bytes);
    // The window's bytes serve the probe only as far as they are the file's.
    const uint64_t head = file.contiguous_head(avail);
    int32_t found = 0;
    lmr::set_probing_view(&file);
    *len = probe_file(&run.state, entry, data, head > INT32_MAX ? INT32_MAX : int32_t(head), logical, file.limit(),
                      &found);
    lmr::set_probing_view(nullptr);
    // A file that needed blocks past its 12th, whose indirect block was not
    // noted yet: probed again at the end.
    std::vector<r_run> runs;
    if (found) runs = file.runs(*len);
    if (file.wants_more() && (!found || *len > file.direct_bytes()) && run.deferred.size() < k_deferred_max) {
        run.deferred.push_back({logical, entry, file.wanted_first(), std::move(runs)});
        return 0;
    }
    if (!found) return 0;
    if (runs.empty()) return 0;
    lmr::report_find_runs(&run.state, entry, runs.data(), int32_t(runs.size()));
    *span = file.stream_span(*len);
    if (taken) *taken = std::move(runs);
    return 1;
}

// Notes the blocks of the window (`got` bytes from physical `base`) that
// look like indirect blocks.
void note_indirect_blocks(const scan_run &run, uint64_t base, uint64_t got) {
    const uint32_t bs = lmr::free_space_layout.block_size;
    uint64_t first = (base + bs - 1) / bs * bs - base;
    for (uint64_t at = first; at + bs <= got; at += bs)
        lmr::indirect_blocks.consider(run.buffer + at, bs, (base + at) / bs, lmr::free_space_layout.blocks);
}

// The deferred candidates, now that every indirect block is noted.  False
// when a stop ended it.
bool probe_deferred(scan_run &run, scan_input *input, const lmr::free_space_view &view) {
    run.free_view = &view;
    run.window_base = UINT64_MAX;
    std::vector<unsigned char> head;
    for (lmr::deferred_candidate &d : run.deferred) {
        if (run.flagged() && wait_while_paused(run)) {
            run.clear_stop();
            run.free_view = nullptr;
            return false;
        }
        // No indirect block starts with the number looked for: the file
        // goes on in the stream, as it was taken the first time.
        if (lmr::indirect_blocks.lookup(d.wanted).empty()) {
            if (!d.runs.empty()) lmr::report_find_runs(&run.state, d.entry, d.runs.data(), int32_t(d.runs.size()));
            continue;
        }
        // The candidate's first blocks, read through the view.
        lmr::file_view file(view, lmr::input_fd(input->file), d.logical, lmr::free_space_layout);
        uint64_t want = std::min<uint64_t>(file.limit(), file.direct_bytes());
        head.resize(want);
        uint64_t got = 0;
        while (got < want) {
            uint64_t physical = 0, n = 0;
            if (!file.locate(got, &physical, &n)) break;
            n = std::min(n, want - got);
            uint64_t bad = 0;
            const uint64_t r = read_input_range(input->file, physical, head.data() + got, n, &bad);
            got += r;
            if (r < n) break;
        }
        uint64_t len = 0, span = 0;
        probe_in_view(run, d.entry, input, d.logical, head.data(), got, &len, &span);
    }
    run.free_view = nullptr;
    return true;
}

}  // namespace lmr
