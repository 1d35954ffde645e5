/*
 * find_record.h - the records of a find, as the engine reports them and the
 * object layer keeps them.  Part of the engine's C interface
 * (recovery_engine.h includes it); a header that only passes finds on needs
 * no more than this.  Keep this header valid C.
 */
#ifndef LUMAREK_FIND_RECORD_H
#define LUMAREK_FIND_RECORD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LMR_PATH_MAX 260     /* bytes of r_info.path, NUL included       */
#define LMR_SUFFIX_MAX 12    /* bytes of r_info.suffix, NUL included     */

typedef struct r_info {
    uint64_t offset;
    uint64_t length;
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

#ifdef __cplusplus
}
#endif

#endif /* LUMAREK_FIND_RECORD_H */
