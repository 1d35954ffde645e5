/*
 * run_handle.h - runs of the engine with a record of their own.
 *
 * The named C interface (recovery_engine.h) drives one run at a time through
 * process-wide globals.  A recovery_run is a host's own handle on runs: its
 * callbacks, its settings, its pause and stop words and what its last run
 * found out belong to it alone, so that two handles can run at once on two
 * threads.  Nothing process-wide is read or changed by a run of a handle
 * except where said.  Keep this header valid C.
 */
#ifndef LUMAREK_RUN_HANDLE_H
#define LUMAREK_RUN_HANDLE_H

#include "recovery_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct recovery_run recovery_run;

/* A handle with no callbacks, the built-in rules, the free space of the
 * file system only, every partition; null without memory. */
LMR_API recovery_run *recovery_run_new(void);
/* Not while a run of it is under way. */
LMR_API void recovery_run_free(recovery_run *run);

/* Before a run: the callbacks and their context (any may be null). */
LMR_API void recovery_run_set_callbacks(recovery_run *run, void *context,
                                        recovered_fn recovered,
                                        progress_fn progress,
                                        proceed_fn proceed,
                                        recovered_runs_fn recovered_runs);
/* Before a run: deep scan (non-zero) or the built-in rules; the whole
 * input in 512-byte blocks (non-zero) or the file system's free space;
 * the partition of a partitioned disk to scan (0: all of it). */
LMR_API void recovery_run_set_options(recovery_run *run, int deep,
                                      int whole_input, int32_t partition);

/* A run, as general_file_start does one, on the calling thread; it returns
 * when the run is over.  A stop asked of the handle (or of every run)
 * before the start is kept for this run. */
LMR_API void start_recovery_run(recovery_run *run, const char *dev_file,
                                const char *suffixs, const char *fs_type,
                                uint64_t total_bytes);
/* The same on a descriptor, as general_file_start_fd: `fd` is registered
 * for `display_path` (process-wide, so the finds can be read afterwards). */
LMR_API void start_recovery_run_fd(recovery_run *run, int fd,
                                   const char *display_path,
                                   const char *suffixs, const char *fs_type,
                                   uint64_t total_bytes);

/* Any thread, at any time. */
LMR_API void pause_recovery_run(recovery_run *run);
LMR_API void resume_recovery_run(recovery_run *run);
LMR_API void stop_recovery_run(recovery_run *run);
/* Takes back a stop asked of the handle that no run has met. */
LMR_API void withdraw_recovery_run_stop(recovery_run *run);
/* Stops every run in the process: the runs of every handle and the run of
 * the named C interface (stop_recovery).  A stop that reaches a handle
 * before its run starts is kept for that run.  Safe in a signal handler. */
LMR_API void stop_every_recovery(void);

/* What the handle's last run found out (enum lmr_run_outcome; the errno of
 * a failed open; 512-byte sectors it could not read; whether the input
 * shrank, with its size then in *size; the block size it stepped by). */
LMR_API int recovery_run_outcome(const recovery_run *run);
LMR_API int recovery_run_errno(const recovery_run *run);
LMR_API uint64_t recovery_run_unreadable_sectors(const recovery_run *run);
LMR_API int recovery_run_input_shrank(const recovery_run *run, uint64_t *size);
LMR_API uint32_t recovery_run_block_size(const recovery_run *run);
/* Makes the handle's last run the process's last run: what the
 * get_last_run_* functions and _block_size tell. */
LMR_API void publish_recovery_run(const recovery_run *run);

#ifdef __cplusplus
}
#endif

#endif /* LUMAREK_RUN_HANDLE_H */
