// The parts of the scan driver, and what they share: the window and the
// reads of the input (scan_window.cpp), the signature index and the block
// tests (signature_index.h), the block loop over the regions of the input
// (block_loop.cpp), the free-space stream scan of a deep scan
// (free_space_scan.cpp), and the whole-chunk search (whole_chunk_search.cpp).
#pragma once

#include "engine_internal.h"
#include "scan_run.h"

#include <cstdint>
#include <vector>

namespace lmr {

class free_space_view;

// The window: its size for an input of `input_size` bytes, and the mapping.
uint64_t window_size_for(uint64_t input_size);
unsigned char *alloc_scan_buffer(uint64_t size);
void free_scan_buffer(unsigned char *p, uint64_t size);

// Opens the run's input and scans it; 0 when a scan took place.
int scan_input_file(scan_run &run);
// Scans the open input region by region, in the signature or text mode.
int scan_stream(scan_run &run, scan_input *input);
// The whole chunk searched for each entry in turn (search_chunk).
int search_whole_chunk(scan_run &run, scan_input *input, chunk *c);

// Sleeps one millisecond at a time while paused; true when a stop arrived.
bool wait_while_paused(const scan_run &run);

// The free-space stream scan: a candidate probed in the joined free space
// (1 when it was reported, with the byte runs the find takes in `taken`
// where asked for), the window's indirect blocks noted, and the candidates
// deferred until every indirect block is known (false when a stop ended
// them).
int32_t probe_in_view(scan_run &run, search_spec_entry *entry, scan_input *input, uint64_t logical,
                      const unsigned char *data, uint64_t avail, uint64_t *len, uint64_t *span,
                      std::vector<r_run> *taken = nullptr);
void note_indirect_blocks(const scan_run &run, uint64_t base, uint64_t got);
bool probe_deferred(scan_run &run, scan_input *input, const free_space_view &view);

// The run `state` belongs to; a state that belongs to none (a caller of
// the C interface that made its own) runs in a record made for the call
// over the process-wide settings, whose outcome is published at its end.
template <typename Work>
int with_run(recovery_state *state, Work work) {
    if (scan_run *run = lmr::run_of(state)) return work(*run);
    scan_run run = scan_run::from_globals();
    run.state = *state;
    int result;
    {
        lmr::active_run active(run);
        result = work(run);
    }
    lmr::set_run_outcome(run.outcome, run.err);
    return result;
}

}  // namespace lmr
