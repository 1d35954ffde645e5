// The record of one run of the engine: everything a scan reads or keeps
// from its start to its end, in one place, passed from the entry point to
// the scan driver, the dispatch and the probes.
//
// The run's recovery_state is part of the record, so a probe reaches the
// run from the state it already receives (run_of).  The exported C
// interface is a thin facade over it: start_recovery2 makes the record
// from the process-wide callbacks, the deep flag and the flag words, and
// publishes the outcome for get_last_run_outcome when the run ends.  A
// state that belongs to no run (a probe called directly) is served by a
// record made the same way from the globals at the time of the call.
#pragma once

#include "engine_internal.h"

#include <cstdint>
#include <vector>

namespace lmr {

class free_space_view;

// A candidate of a block-mapped ext volume whose indirect block was not
// among those noted when it was probed: probed again once the whole free
// space has been walked.
struct deferred_candidate {
    uint64_t logical;
    search_spec_entry *entry;
    uint64_t wanted;          // the first block number of the indirect block looked for
    std::vector<r_run> runs;  // the find taken the file on in the stream (none: no find)
};

struct scan_run {
    recovery_state state{};

    // Callbacks, with the context they are called with.
    void *context = nullptr;
    recovered_fn recovered = nullptr;
    progress_fn progress = nullptr;
    proceed_fn proceed = nullptr;
    recovered_runs_fn recovered_runs = nullptr;

    // Pause and stop: words written by a controlling thread, polled by the
    // scan (atomic words); null: the record's own.  A stop is the stop word
    // at 2 or 15; the scan puts it back to 0 when it honours it.
    int32_t *pause_word = nullptr;
    int32_t *stop_word = nullptr;
    int32_t own_pause = 0, own_stop = 0;

    bool deep = false;
    // Where the scan goes: the free space of the file system only (else
    // the whole input), or a plain image without one, in 512-byte blocks.
    bool free_space_only = false;
    bool plain_image = false;
    // The block size the scan steps by, from the file system (0: 512).
    uint32_t block_size = 0;

    // The search table: the configured entries, in table order.
    search_spec_entry *types = nullptr;

    // The scan window.
    unsigned char *buffer = nullptr;
    uint64_t buffer_size = 0;
    // The physical offset and length of the bytes the window holds
    // (UINT64_MAX: none).
    uint64_t window_base = UINT64_MAX, window_bytes = 0;

    // Deep scan of a file system's free space: the free runs as one stream
    // (null otherwise), and the run the walk is in.
    const free_space_view *free_view = nullptr;
    size_t free_view_extent = 0;
    std::vector<deferred_candidate> deferred;

    // The outcome.
    int outcome = LMR_RUN_NONE;
    int err = 0;
    uint64_t unreadable_sectors = 0;

    // A record over the process-wide callbacks, deep flag, flag words and
    // search table as they are now.
    static scan_run from_globals();

    int32_t *pause_at() { return pause_word ? pause_word : &own_pause; }
    int32_t *stop_at() { return stop_word ? stop_word : &own_stop; }
    const int32_t *pause_at() const { return pause_word ? pause_word : &own_pause; }
    const int32_t *stop_at() const { return stop_word ? stop_word : &own_stop; }

    void request_stop() { store_flag(stop_at(), 2); }
    void request_pause(bool on) { store_flag(pause_at(), on ? 1 : 0); }
    bool paused() const { return load_flag(pause_at()) != 0; }
    bool stop_asked() const {
        int32_t v = load_flag(stop_at());
        return v == 2 || v == 15;
    }
    // Either flag word set: the block loop's one quick test.
    bool flagged() const { return (load_flag(pause_at()) | load_flag(stop_at())) != 0; }
    void clear_stop() { store_flag(stop_at(), 0); }
    uint32_t step() const { return block_size ? block_size : 512; }

    void set_outcome(int o, int e = 0) {
        outcome = o;
        err = e;
    }
};

// update_proceed to the run's callbacks.
void proceed_to(const scan_run &run, uint64_t processed, uint64_t total);

// The same for the block loop, with the common case (same hundredth)
// decided inline.
inline void proceed_block(const scan_run &run, uint64_t processed, uint64_t total) {
    if (!same_progress.holds(processed, total)) report_progress(run.progress, run.context, processed, total);
    if (run.proceed) run.proceed(run.context, processed, total);
}

// One run of the engine on `dev_file` for the types of `suffixs` with the
// settings of `run` (its search table: search_spec when it names none).
// A stop requested on the record before the call is kept for the run, and
// the stop word is clear when it returns.  The outcome is the record's; the
// process-wide one (get_last_run_outcome) is the facade's to publish.
LMR_API void run_recovery(scan_run &run, const char *dev_file, const char *suffixs, const char *fs_type,
                          uint64_t total_bytes);

// The run `state` belongs to, or null when it belongs to none.
scan_run *run_of(const recovery_state *state);

// Makes `run` the one run_of finds for its state for the life of the
// object (one run at a time, as the engine's search table is one).
class active_run {
public:
    explicit active_run(scan_run &run);
    ~active_run();
    active_run(const active_run &) = delete;
    active_run &operator=(const active_run &) = delete;

private:
    scan_run *before_;
};

}  // namespace lmr
