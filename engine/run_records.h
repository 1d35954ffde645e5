/*
 * run_records.h - the records a run reports: a find, the runs of a find in
 * pieces, and the outcome of the run, as the engine reports them and the
 * object layer keeps them.  Part of the engine's C interface
 * (recovery_engine.h includes it); a header that only passes finds and
 * outcomes on needs no more than this.  Keep this header valid C.
 */
#ifndef LUMAREK_RUN_RECORDS_H
#define LUMAREK_RUN_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LMR_PATH_MAX 260     /* bytes of r_info.path, NUL included       */
#define LMR_SUFFIX_MAX 12    /* bytes of r_info.suffix, NUL included     */

typedef struct r_info {
    uint64_t offset;
    uint64_t length;
    /* The input's path, NUL-terminated; empty when the path is longer than
     * the field holds (inputs may have paths up to PATH_MAX): the host then
     * names the input it passed to the run. */
    char path[LMR_PATH_MAX];
    char suffix[LMR_SUFFIX_MAX];
} r_info;

/* A find made of several byte runs.  A deep scan of free space reads the
 * free runs of a file system as one stream and may find a file that lies
 * in several of them (written around a live file), or one whose indirect
 * blocks it leaves out (ext2/ext3).  Such a find is reported with its runs
 * in file order: r_info.offset is the first run's offset and r_info.length
 * the sum of the runs' lengths.  A find in one piece is reported as always,
 * through recovered_call, with no runs. */
typedef struct r_run {
    uint64_t offset; /* absolute offset in the input */
    uint64_t length;
} r_run;

#define LMR_MAX_RUNS 65536 /* a find of more runs is not reported */

/* Outcome of a run (get_last_run_outcome for the last one in this
 * process).  The C entry points return nothing, so this is how a caller
 * tells "found nothing" from "could not scan at all". */
enum lmr_run_outcome {
    LMR_RUN_NONE = 0,            /* no run yet */
    LMR_RUN_SCANNED = 1,         /* the scan covered every region */
    LMR_RUN_STOPPED = 2,         /* a stop request ended the scan */
    LMR_RUN_CANNOT_OPEN = 3,     /* the input could not be opened */
    LMR_RUN_EMPTY_INPUT = 4,     /* the input has size 0 */
    LMR_RUN_NOTHING_TO_SEARCH = 5, /* no known type in the suffix list */
    LMR_RUN_BAD_PATH = 6,        /* input path too long (or null) */
    LMR_RUN_NO_MEMORY = 7        /* the scan buffer could not be had */
};

#ifdef __cplusplus
}
#endif

#endif /* LUMAREK_RUN_RECORDS_H */
