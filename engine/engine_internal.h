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
// The processed counts that give the hundredth of a percent reported last
// (for `total`): progress there needs no new report.
struct progress_range {
    uint64_t total = 0, lo = 1, hi = 0, value = ~0ull;
    bool holds(uint64_t processed, uint64_t t) const { return t == total && processed >= lo && processed < hi; }
};

// update_progress to the given callback: a report when the hundredth of a
// percent changed from `last` (hundredths), which then holds the new one;
// `same` keeps the processed counts that give it.
void report_progress(progress_range &same, uint64_t &last, progress_fn progress, void *context, uint64_t processed,
                     uint64_t total);

// Reports a find made of `count` runs in file order: one run goes the way
// of find_file, several go to recovered_runs_call.
void report_find_runs(recovery_state *state, search_spec_entry *entry, const r_run *runs, int32_t count);
// The scanned input's size as the system gives it now; -1 when unknown.
int64_t input_size_now(int fd);

// Puts the run's input path into a find record: whole when it fits the
// field, else an empty text (the host knows the path it passed in).
void fill_find_path(r_info *info, const recovery_state *state);

// The outcome get_last_run_outcome reports (a run publishes its own when it
// ends).
void set_run_outcome(int outcome, int err = 0);

// Opens an input strictly for reading: a stream over a duplicate of the
// descriptor registered for `path` when there is one, else the path itself.
FILE *open_input(const char *path);
// A read-only stdio stream over `cookie` served by the three functions
// (fopencookie); null with errno when it cannot be made.
FILE *open_read_only_stream(void *cookie, cookie_read_function_t *read, cookie_seek_function_t *seek,
                            cookie_close_function_t *close);
// The descriptor to read an open input with, by pread.
int input_fd(FILE *file);

// How many of the `n` bytes from `p` can be served before an unreadable
// sector of the scan window of the run on this thread (all of them when p
// is not in the window, or no run is under way here).
uint64_t readable_bytes(const unsigned char *p, uint64_t n);

}  // namespace lmr
