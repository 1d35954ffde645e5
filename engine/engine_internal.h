// Internal helpers shared by the engine's units; not part of the C interface.
#pragma once

#include "recovery_engine.h"

#include <cstdarg>

namespace lmr {

// One diagnostic line: the text, a newline, then a flush (spaced out while
// a scan gathers them).
void diag(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Starts or ends gathering diagnostic lines for a scan; either way, what
// waits is flushed.
void diag_gather(bool on);
// Flushes the gathered lines now.
void diag_flush();
// Sends the lines to `out` (null: standard output) from now on.
void diag_redirect(FILE *out);

inline int32_t load_flag(const int32_t *word) { return __atomic_load_n(word, __ATOMIC_RELAXED); }
inline void store_flag(int32_t *word, int32_t v) { __atomic_store_n(word, v, __ATOMIC_RELAXED); }
// True during a deep scan (see deep_scan).
inline bool deep_mode() { return load_flag(&deep_scan) != 0; }

// A stop request is signal_caught equal to 2 (stop_recovery) or 15.
inline bool stop_requested() {
    int32_t v = load_flag(&signal_caught);
    return v == 2 || v == 15;
}

// The processed counts that give the hundredth of a percent reported last
// (for `total`): progress there needs no new report.
struct progress_range {
    uint64_t total = 0, lo = 1, hi = 0, value = ~0ull;
    bool holds(uint64_t processed, uint64_t t) const { return t == total && processed >= lo && processed < hi; }
};
extern progress_range same_progress;

// update_proceed for the block loop: the same reports, with the common case
// (same hundredth) decided inline.
inline void proceed_block(uint64_t processed, uint64_t total) {
    if (!same_progress.holds(processed, total)) update_progress(processed, total);
    if (proceed_call) proceed_call(obj, processed, total);
}

// Reports a find made of `count` runs in file order: one run goes the way
// of find_file, several go to recovered_runs_call.
void report_find_runs(recovery_state *state, search_spec_entry *entry, const r_run *runs, int32_t count);

// Outcome bookkeeping of the current run.
void set_run_outcome(int outcome, int err = 0);
void add_unreadable_sectors(uint64_t n);

// Opens an input strictly for reading: a stream over a duplicate of the
// descriptor registered for `path` when there is one, else the path itself.
FILE *open_input(const char *path);
// A read-only stdio stream over `cookie` served by the three functions
// (fopencookie); null with errno when it cannot be made.
FILE *open_read_only_stream(void *cookie, cookie_read_function_t *read, cookie_seek_function_t *seek,
                            cookie_close_function_t *close);
// The descriptor to read an open input with, by pread.
int input_fd(FILE *file);

// read_input_range into the scan window at `window_offset`, noting the
// sectors it reads as zeros as unreadable runs of the window.
uint64_t read_window_range(FILE *file, uint64_t offset, unsigned char *window, uint64_t window_offset,
                           uint64_t want, uint64_t *bad_sectors);

// The unreadable sectors of the scan window in memory.  A probe's reader
// serves the window's bytes but stops before these, as a read of the device
// would: a search or a walk never runs through them into the next file.
// The scan driver sets them for each window; they hold until the next.
void unreadable_window(const unsigned char *window);  // forget the runs; null: no window
void unreadable_run(uint64_t at, uint64_t len);      // a run at this offset of the window
extern bool window_has_unreadable;
uint64_t readable_in_window(const unsigned char *p, uint64_t n);
// How many of the `n` bytes from `p` can be served before an unreadable
// sector of the scan window (all of them when p is not in the window).
inline uint64_t readable_bytes(const unsigned char *p, uint64_t n) {
    return window_has_unreadable ? readable_in_window(p, n) : n;
}

}  // namespace lmr
