// The record of one run of the engine: everything a scan reads or keeps
// from its start to its end, in one place, passed from the entry point to
// the scan driver, the dispatch and the probes.  Two runs on two threads
// with two records share nothing that either changes.
//
// The run's recovery_state is part of the record, so a probe reaches the
// run from the state it already receives (run_of); the byte reader, which
// is handed no state, reaches the run of its thread (running_here).  The
// exported C interface is a thin facade over it: start_recovery2 makes the
// record from the process-wide callbacks, the deep flag, the flag words and
// the search table, and publishes what the run found out (outcome, block
// size, unreadable sectors, a shrink) for the get_last_run_* functions when
// it ends.  A state that belongs to no run (a probe called directly) is
// served by a record made the same way from the globals at the time of the
// call.
#pragma once

#include "engine_internal.h"
#include "free_space_view.h"
#include "volume_notes.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace lmr {

// A candidate of a block-mapped ext volume whose indirect block was not
// among those noted when it was probed: probed again once the whole free
// space has been walked.
struct deferred_candidate {
    uint64_t logical;
    search_spec_entry *entry;
    uint64_t wanted;          // the first block number of the indirect block looked for
    std::vector<r_run> runs;  // the find taken the file on in the stream (none: no find)
};

// A run's own table of configured types, and the copies of names its
// entries own (released with the table).
struct LMR_API search_table {
    search_spec_entry entries[LMR_MAX_SPECS];
    char *names[LMR_MAX_SPECS];
    search_table();
    ~search_table();
    search_table(const search_table &) = delete;
    search_table &operator=(const search_table &) = delete;
};

// The unreadable sectors of the scan window in memory.  A probe's reader
// serves the window's bytes but stops before these, as a read of the device
// would: a search or a walk never runs through them into the next file.
// The scan driver sets them for each window; they hold until the next.
struct window_marks {
    const unsigned char *window = nullptr;
    std::vector<std::pair<uint64_t, uint64_t>> runs;  // [from, to) offsets into the window, ascending
    bool any = false;

    void reset(const unsigned char *w) {
        window = w;
        runs.clear();
        any = false;
    }
    void mark(uint64_t at, uint64_t len);  // a run at this offset of the window
    // How many of the `n` bytes from `p` can be served before an unreadable
    // sector (all of them when p is not in the window).
    uint64_t readable(const unsigned char *p, uint64_t n) const;
};

// Watches the scanned input for shrinking during the scan: a file
// truncated, a card pulled.
struct input_watch {
    // A look at the input's size is a system call, which costs as much as
    // the probe of a small find: a find that ends within this many bytes of
    // the end the last look was for is judged by that look.
    static constexpr uint64_t k_look_every = 256u << 10;

    int fd = -1;          // the scanned input, while a scan runs
    uint64_t size = 0;    // its size when the scan began, or when last found shorter
    bool shrank = false;
    uint64_t shrunk_to = 0;
    uint64_t looked_for = 0;  // the end the size was last looked at for

    // Starts watching descriptor `fd` (-1 ends the watch).
    void start(int fd);
    // Whether the input still reaches byte `end`.  The first time it is
    // found shorter than when the scan began, a warning is written and the
    // new end remembered.  `now`: look at the size whatever the last look.
    bool reaches(uint64_t end, bool now = false);
};

struct LMR_API scan_run {
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
    // Stops of every run in the process (stop_every_recovery): how many
    // were asked, and how many of them this run's owner has met.  Null: the
    // run answers to its stop word alone.
    const uint32_t *every_stop = nullptr;
    uint32_t *every_stop_met = nullptr;

    bool deep = false;
    // Where the scan goes: the free space of the file system only (else
    // the whole input), or a plain image without one, in 512-byte blocks.
    bool free_space_only = false;
    bool plain_image = false;
    // The block size the scan steps by, from the file system (0: 512).
    uint32_t block_size = 0;

    // The partition of a partitioned disk the scan covers (0: all).
    int32_t partition = 0;

    // The search table: the configured entries, in table order, and the
    // name copies they own.  The run's own table unless the caller brings
    // one (the C interface's search_spec).
    search_spec_entry *types = nullptr;
    char **type_names = nullptr;
    std::unique_ptr<search_table> own_types;

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
    // What the free-space reader learnt of the volume's layout of files,
    // and the indirect blocks noted in its free space.
    block_map_volume layout;
    indirect_index indirect;
    // The file a candidate of the joined free space would be, while it is
    // probed: its reader reads the file's bytes wherever they lie.
    file_view *probing_view = nullptr;

    window_marks unreadable;
    input_watch watch;

    // Progress: the last hundredth of a percent reported, and the processed
    // counts that give it.
    uint64_t last_progress = 0;
    progress_range same_progress;

    // The outcome.
    int outcome = LMR_RUN_NONE;
    int err = 0;
    uint64_t unreadable_sectors = 0;

    // A record over the process-wide callbacks, deep flag, flag words,
    // progress and search table as they are now.
    static scan_run from_globals();
    // Makes what the run found out the C interface's: the outcome and its
    // errno, the block size, unreadable sectors, a shrink; publish() also
    // the progress, which update_progress goes on from.
    void publish_outcome() const;
    void publish() const;

    int32_t *pause_at() { return pause_word ? pause_word : &own_pause; }
    int32_t *stop_at() { return stop_word ? stop_word : &own_stop; }
    const int32_t *pause_at() const { return pause_word ? pause_word : &own_pause; }
    const int32_t *stop_at() const { return stop_word ? stop_word : &own_stop; }

    void request_stop() { store_flag(stop_at(), 2); }
    void request_pause(bool on) { store_flag(pause_at(), on ? 1 : 0); }
    bool paused() const { return load_flag(pause_at()) != 0; }
    bool stopped_with_every_run() const {
        return every_stop && __atomic_load_n(every_stop, __ATOMIC_RELAXED) != *every_stop_met;
    }
    bool stop_asked() const {
        int32_t v = load_flag(stop_at());
        return v == 2 || v == 15 || stopped_with_every_run();
    }
    // Either flag word set: the block loop's one quick test.
    bool flagged() const { return (load_flag(pause_at()) | load_flag(stop_at())) != 0 || stopped_with_every_run(); }
    void clear_stop() {
        store_flag(stop_at(), 0);
        if (every_stop) *every_stop_met = __atomic_load_n(every_stop, __ATOMIC_RELAXED);
    }
    uint32_t step() const { return block_size ? block_size : 512; }

    void set_outcome(int o, int e = 0) {
        outcome = o;
        err = e;
    }
};

// update_proceed to the run's callbacks.
void proceed_to(scan_run &run, uint64_t processed, uint64_t total);

// The same for the block loop, with the common case (same hundredth)
// decided inline.
inline void proceed_block(scan_run &run, uint64_t processed, uint64_t total) {
    if (!run.same_progress.holds(processed, total))
        report_progress(run.same_progress, run.last_progress, run.progress, run.context, processed, total);
    if (run.proceed) run.proceed(run.context, processed, total);
}

// One run of the engine on `dev_file` for the types of `suffixs` with the
// settings of `run` (its search table: one of its own when it names none).
// A stop requested on the record before the call is kept for the run, and
// the stop word is clear when it returns.  The outcome is the record's; the
// process-wide one (get_last_run_outcome) is the facade's to publish.
LMR_API void run_recovery(scan_run &run, const char *dev_file, const char *suffixs, const char *fs_type,
                          uint64_t total_bytes);

// The run `state` belongs to, or null when it belongs to none.
scan_run *run_of(const recovery_state *state);
// The run under way on the calling thread, or null.
scan_run *running_here();

// Points `run` at the C interface's search table (search_spec).
void use_process_table(scan_run &run);

// Makes `run` the run of the calling thread (run_of finds it for its
// state) for the life of the object.
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
