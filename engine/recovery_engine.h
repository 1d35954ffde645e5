/*
 * recovery_engine.h - the carving engine's exported C interface.
 *
 * Everything here has C linkage and a fixed layout: the object layer (and
 * anything else that links lumarek-general) copies r_info records whole and
 * reads the process-wide globals by name.  Keep this header valid C.
 */
#ifndef LUMAREK_RECOVERY_ENGINE_H
#define LUMAREK_RECOVERY_ENGINE_H

#include <stdint.h>
#include <stdio.h>

#include "run_records.h"

#if defined(__GNUC__)
#define LMR_API __attribute__((visibility("default")))
#else
#define LMR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Records of a run and of a find                                      */
/* ------------------------------------------------------------------ */

#define LMR_SUFFIX_LIST_MAX 1024
#define LMR_MAX_SPECS 50
#define LMR_MAX_MARKERS 5
#define LMR_SCAN_BUFFER_SIZE 52428800u /* one scan window: 50 MiB */

typedef struct recovery_state {
    uint32_t mode;
    char *InputFile;
    int32_t spec_count;
    int32_t fs_type; /* 0 unknown, 1 FAT, 2 ext, 3 sdcardfs */
    uint64_t total_bytes;
} recovery_state;

/* r_info and r_run, the records of a find: run_records.h. */

/* ------------------------------------------------------------------ */
/* Callback registry and run-control flags                             */
/* ------------------------------------------------------------------ */

typedef void (*recovered_fn)(void *context, r_info *info);
typedef void (*progress_fn)(void *context, float percent);
typedef void (*proceed_fn)(void *context, unsigned long long processed,
                           unsigned long long total);

/* Called instead of recovered_call for a find of several runs (with the
 * same context); the runs are valid during the call only.  A host that
 * registers none is not told of such finds. */
typedef void (*recovered_runs_fn)(void *context, r_info *info,
                                  const r_run *runs, int32_t count);

LMR_API extern void *obj;
LMR_API extern recovered_fn recovered_call;
LMR_API extern progress_fn progress_call;
LMR_API extern proceed_fn proceed_call;

/* signal_pause and signal_caught are written by a controlling thread and
 * polled by the scan; they are only ever accessed as atomic words. */
LMR_API extern int32_t signal_pause;
LMR_API extern int32_t signal_caught;
LMR_API extern int32_t skip_exist;
LMR_API extern int32_t is_formated;
/* Deep scan: with a non-zero value the probes find each file's exact end
 * from its own structure where the built-in rules miss or estimate it.
 * 0 (the default) keeps every result as the built-in rules give it.  Set
 * before a run; read as an atomic word. */
LMR_API extern int32_t deep_scan;
LMR_API extern char wildcard;
LMR_API extern uint32_t _block_size;
LMR_API extern int32_t verbose;

/* ------------------------------------------------------------------ */
/* Signature table and search configuration                            */
/* ------------------------------------------------------------------ */

typedef struct builtin_type {
    int32_t type_key;
    const char *name;
    const unsigned char *header;
    int32_t header_len;
    const unsigned char *footer; /* null when the type has none */
    int32_t footer_len;
    uint64_t max_len;
    int32_t case_sen; /* 1: exact bytes, 0: ASCII letters fold case */
} builtin_type;

#define LMR_BUILTIN_COUNT 23
#define LMR_ALIAS_COUNT 40

typedef struct search_pattern {
    unsigned char *value;
    int32_t len;
    int32_t table[256];
} search_pattern;

typedef struct search_spec_entry {
    const char *suffix;                    /* reported suffix */
    char requested[LMR_SUFFIX_LIST_MAX];   /* comma-joined requested names */
    int32_t type_key;
    uint64_t max_len;
    search_pattern header;
    search_pattern footer;
    search_pattern markers[LMR_MAX_MARKERS];
    int32_t num_markers;
    int32_t case_sen;
} search_spec_entry;

LMR_API extern search_spec_entry search_spec[LMR_MAX_SPECS];
LMR_API extern const builtin_type builtin_types[LMR_BUILTIN_COUNT];

LMR_API void set_search_suffix(recovery_state *state, const char *suffixs);
LMR_API void set_search(recovery_state *state, const char *name);
LMR_API void set_search_def(recovery_state *state, const char *name);
LMR_API int init_builtin(recovery_state *state, int32_t key, const char *name,
                         const unsigned char *header,
                         const unsigned char *footer, int32_t header_len,
                         int32_t footer_len, uint64_t max_len,
                         int32_t case_sen);
LMR_API void add_marker(recovery_state *state, int index,
                        const unsigned char *pattern, int32_t len);
LMR_API builtin_type getInfo(int index);

LMR_API void init_bm_table(const unsigned char *pattern, int32_t *table,
                           int32_t len, int32_t case_sen, int32_t direction);
LMR_API const unsigned char *bm_search_skipn(const unsigned char *pattern,
                                             int32_t n,
                                             const unsigned char *data,
                                             int64_t m, const int32_t *table,
                                             int32_t case_sen,
                                             int32_t direction, int64_t start);
LMR_API int memwildcardcmp(const unsigned char *pattern,
                           const unsigned char *data, int64_t n,
                           int32_t case_sen);
LMR_API int charactersMatch(unsigned char p, unsigned char d,
                            int32_t case_sen);

/* ------------------------------------------------------------------ */
/* Run entry points and control                                        */
/* ------------------------------------------------------------------ */

LMR_API void start_recovery(const char *dev_file, const char *suffixs,
                            const char *fs_type);
LMR_API void start_recovery2(const char *dev_file, const char *suffixs,
                             const char *fs_type, uint64_t total_bytes);
LMR_API void general_file_start(const char *dev_file, const char *suffixs,
                                const char *fs_type, uint64_t total_bytes);

LMR_API void pause_recovery(void);
LMR_API void resume_recovery(void);
LMR_API void stop_recovery(void);
LMR_API void general_file_pause(void);
LMR_API void general_file_resume(void);
LMR_API void general_file_stop(void);

LMR_API void set_callbacks(void *context, recovered_fn recovered,
                           progress_fn progress, proceed_fn proceed);
LMR_API void recovered_callback(r_info *info);
LMR_API extern recovered_runs_fn recovered_runs_call;
/* Registers the callback of finds of several runs (null: none). */
LMR_API void set_runs_callback(recovered_runs_fn recovered_runs);

LMR_API void progress_callback(float percent);
LMR_API void proceed_callback(uint64_t processed, uint64_t total);
LMR_API void find_file(recovery_state *state, search_spec_entry *entry,
                       uint64_t length, uint64_t offset);
/* Reports a find made of `count` byte runs in file order, as a probe of the
 * run of `state` finds it: one run goes the way of find_file, several to
 * the run's callback of finds in pieces. */
LMR_API void find_file_runs(recovery_state *state, search_spec_entry *entry,
                            const r_run *runs, int32_t count);
LMR_API void update_proceed(uint64_t processed, uint64_t total);
LMR_API void update_progress(uint64_t processed, uint64_t total);

LMR_API recovery_state *init_state(recovery_state *state, const char *dev_file);
LMR_API void free_state(recovery_state *state);
LMR_API void set_fs_type(recovery_state *state, const char *name);
LMR_API uint32_t *set_mode(uint32_t *word, uint32_t bits);
LMR_API uint32_t get_mode(const uint32_t *word, uint32_t bits);

/* Outcome of the last run started in this process (enum lmr_run_outcome,
 * in run_records.h). */
LMR_API int get_last_run_outcome(void);
/* errno of the failed open when the outcome is LMR_RUN_CANNOT_OPEN. */
LMR_API int get_last_run_errno(void);
/* 512-byte sectors that could not be read during the last run. */
LMR_API uint64_t get_last_run_unreadable_sectors(void);
/* 1 when the input shrank during the last run (a file truncated, a card
 * pulled), with its size as last seen in *size; finds reaching past that
 * end were not reported.  0 otherwise. */
LMR_API int get_last_run_input_shrank(uint64_t *size);

/* Diagnostics go to standard output unless a host redirects them. */
LMR_API void set_diagnostic_output(FILE *out);

/* ------------------------------------------------------------------ */
/* Inputs read through a descriptor                                    */
/* ------------------------------------------------------------------ */

/* From now on every open of `path` by the engine (the scan, the file-system
 * readers, the probes' readers, the export and read services) reads a
 * duplicate of `fd` with positional reads instead of opening the path: for
 * a device this process may not open itself but was handed a read-only
 * descriptor of.  The engine keeps a duplicate of its own; the caller still
 * owns `fd`.  Registering a path again replaces its descriptor.  Only
 * regular files and block devices open for reading are taken.  Returns 0,
 * or -1 with errno. */
LMR_API int register_input_descriptor(const char *path, int fd);
/* Forgets the descriptor of `path` (null: of every path); streams already
 * open on it keep reading theirs. */
LMR_API void forget_input_descriptor(const char *path);
/* 1 when a descriptor is registered for `path`. */
LMR_API int has_input_descriptor(const char *path);
/* general_file_start on a descriptor: registers `fd` for `display_path`,
 * the path every find reports, then scans.  The registration stays, so the
 * finds can be read and exported afterwards.  A descriptor that cannot be
 * read ends the run as LMR_RUN_CANNOT_OPEN with its errno. */
LMR_API void general_file_start_fd(int fd, const char *display_path,
                                   const char *suffixs, const char *fs_type,
                                   uint64_t total_bytes);

/* ------------------------------------------------------------------ */
/* File services on a byte range of an input                           */
/* ------------------------------------------------------------------ */

LMR_API int seek_aligned(FILE *file, uint64_t offset);
LMR_API int general_file_export(const char *src, uint64_t offset,
                                uint64_t length, const char *dst);
LMR_API int general_file_read(const char *src, uint64_t offset, int32_t length,
                              void *buffer);
/* The same services for a find of several runs: the runs' bytes one after
 * the other, as the file's bytes.  general_file_export_runs returns what
 * general_file_export returns (0 done, 1 the input could not be read, 2 the
 * destination could not be made, 3 writing failed; nothing stays behind on
 * 3); general_file_read_runs reads `length` bytes from byte `offset` of the
 * assembled file and returns how many it delivered. */
LMR_API int general_file_export_runs(const char *src, const r_run *runs,
                                     int32_t count, const char *dst);
LMR_API int general_file_read_runs(const char *src, const r_run *runs,
                                   int32_t count, uint64_t offset,
                                   int32_t length, void *buffer);
/* Exports a find (its runs, in file order; one run for a find in one
 * range) into the folder `dir` under `name`, never replacing or following
 * anything there.  The bytes go into a new temporary file that no existing
 * name can stand in for (anonymous where the file system allows, else
 * created exclusively and never through a link); when complete it gets the
 * first free name of `name`, "STEM (1).EXT", "STEM (2).EXT", ... by calls
 * that fail rather than replace.  The name used goes into `written`
 * (`written_size` bytes with the NUL; may be null).  With `sha256` (32
 * bytes), the SHA-256 of the bytes is taken as they are copied.  The input
 * is read with positional reads of exactly the runs' bytes.  Returns 0
 * done, 1 the input could not be read, 2 no file could be made or named in
 * `dir` (or `name` is not a plain name), 3 writing failed; errno tells why.
 * Nothing stays behind on failure. */
LMR_API int general_file_export_into(const char *src, const r_run *runs,
                                     int32_t count, const char *dir,
                                     const char *name, char *written,
                                     size_t written_size,
                                     unsigned char *sha256);
/* Removes the named temporary files of the exports under way.  Safe in a
 * signal handler, for a program about to end in the middle of an export. */
LMR_API void general_file_export_abandon(void);
/* Non-zero: exports use a named temporary file even where the file system
 * has anonymous ones, as on file systems without them (for tests).  Returns
 * the previous setting. */
LMR_API int set_export_named_temp(int on);

/* ------------------------------------------------------------------ */
/* Scan driver                                                         */
/* ------------------------------------------------------------------ */

typedef struct chunk {
    uint64_t offset;
    uint64_t length;
    struct chunk *next;
} chunk;

typedef struct chunk_list {
    chunk *head;
    chunk *tail;
} chunk_list;

typedef struct scan_input {
    char *path;
    uint64_t size;
    FILE *file;
} scan_input;

LMR_API int process_file(recovery_state *state);
LMR_API uint64_t find_file_size(FILE *file);
LMR_API int search_stream(recovery_state *state, scan_input *input);
LMR_API int search_chunk(recovery_state *state, scan_input *input, chunk *c);
LMR_API int search_chunk2(recovery_state *state, scan_input *input, chunk *c);
LMR_API int search_chunk3(recovery_state *state, scan_input *input, chunk *c);

/* Reads `want` bytes of the input at absolute `offset` into `buffer`.
 * A read error does not cost the rest of the range: the failed part is
 * re-read sector by sector, unreadable 512-byte sectors read as zeros and
 * are counted in *bad_sectors.  Returns the bytes delivered (short only at
 * the end of the input). */
LMR_API uint64_t read_input_range(FILE *file, uint64_t offset,
                                  unsigned char *buffer, uint64_t want,
                                  uint64_t *bad_sectors);

/* The positional read under read_input_range (default: pread).  A host or a
 * test may put its own in front, e.g. to simulate failing sectors; it
 * returns the bytes read, 0 at the end, -1 with errno on an error.  Returns
 * the function it replaces (null: pread). */
typedef int64_t (*input_pread_fn)(int fd, void *buffer, uint64_t count,
                                  uint64_t offset);
LMR_API input_pread_fn set_input_pread(input_pread_fn fn);

/* ------------------------------------------------------------------ */
/* Free-space chunk lists                                              */
/* ------------------------------------------------------------------ */

LMR_API chunk_list *add_chunk(chunk_list *list, const chunk *c);
LMR_API int get_chunk_list_size(const chunk_list *list);
LMR_API void free_chunk_list(chunk_list *list);
LMR_API chunk_list *get_fat32_chunk_list(const char *path);
LMR_API chunk_list *get_ext2_chunk_list(const char *path);
/* FAT12/FAT16, exFAT and NTFS volumes; null when the volume is of another
 * file system or has no free cluster (the cluster size then stays unset). */
LMR_API chunk_list *get_fat1216_chunk_list(const char *path);
LMR_API chunk_list *get_exfat_chunk_list(const char *path);
LMR_API chunk_list *get_ntfs_chunk_list(const char *path);
/* A whole disk with an MBR or GPT partition table: each partition's free
 * clusters (FAT, exFAT, NTFS), partitions of other file systems and the
 * space between partitions whole; offsets are the disk's.  Null when the
 * input has no usable table (it is then a volume of its own). */
LMR_API chunk_list *get_partitioned_chunk_list(const char *path);
/* The partition a scan of a partitioned disk covers: 0 (the default) for
 * all of them and the space between, else the partition's number. */
LMR_API extern int32_t scan_partition;

/* One partition of a disk, as list_partitions describes it. */
typedef struct lmr_partition_info {
    int32_t number;       /* MBR: 1-4 primary, 5 on logical; GPT: entry index + 1 */
    uint64_t start;       /* bytes from the disk's start */
    uint64_t size;        /* bytes */
    char type[40];        /* "0x0c", or the GPT type's name or GUID */
    char label[80];       /* GPT partition name, UTF-8; empty on MBR */
    char file_system[8];  /* "FAT12", "FAT16", "FAT32", "exFAT", "NTFS", "ext2", "ext3", "ext4" or empty */
} lmr_partition_info;
/* Describes up to `max` partitions of the input in `out` and the table's
 * scheme ("MBR", "GPT") in `scheme` (8 bytes, may be null).  Returns the
 * number of partitions (more than `max` when some did not fit), 0 when the
 * input has no partition table, -1 when it cannot be opened. */
LMR_API int list_partitions(const char *path, lmr_partition_info *out, int max, char *scheme);
LMR_API chunk_list *get_free_chunk_list(recovery_state *state);

/* ------------------------------------------------------------------ */
/* Deleted files with their names                                      */
/* ------------------------------------------------------------------ */

#define LMR_NAMED_PATH_MAX 1024   /* bytes of lmr_named_find.path, NUL included */
#define LMR_NO_TIME INT64_MIN     /* a time the file system did not keep */

enum lmr_named_state {
    LMR_NAMED_INTACT = 1,       /* its clusters are still free: its bytes should be whole */
    LMR_NAMED_OVERWRITTEN = 2   /* some of its clusters now belong to a live file */
};

/* A deleted file that a FAT12/16/32, exFAT or NTFS volume still names. */
typedef struct lmr_named_find {
    /* Its path relative to the volume's root, UTF-8, parts joined by '/'.
     * Every part is safe to create in a folder: no '/', no control
     * character, never "." or "..", no more than 255 bytes.  A file whose
     * folder is no longer known lies under a folder "_orphans".  On a disk
     * with several partitions that name files, the path starts with
     * "partition N/". */
    char path[LMR_NAMED_PATH_MAX];
    uint64_t size;       /* bytes: the sum of the runs' lengths */
    int64_t modified;    /* seconds since 1970 UTC, or LMR_NO_TIME */
    int64_t created;
    int64_t accessed;
    int32_t state;       /* enum lmr_named_state */
    int32_t run_count;   /* at least 1 */
    const r_run *runs;   /* its bytes in the input, in file order */
    char file_system[8]; /* "FAT12", "FAT16", "FAT32", "exFAT" or "NTFS" */
    /* Non-zero when its first cluster is still free: a find carved from
     * there is this file, even when later clusters were taken (a file in
     * pieces whose chain deleting cleared is taken to lie in a row). */
    int32_t head_free;
    /* Non-zero when the runs are the file's own as its file system kept
     * them (NTFS runs, an exFAT file kept contiguous or whose chain is
     * still there); zero where they are only taken in a row from the first
     * cluster because deleting cleared the chain (FAT, exFAT). */
    int32_t runs_known;
} lmr_named_find;

/* Walks the folders of the input's file system (or of each partition of a
 * disk; scan_partition chooses one) for deleted files whose names and
 * clusters are still known.  Stores an array of the finds in *finds (free
 * it with free_named_finds; null when there are none) and returns their
 * count, or -1 when the input cannot be opened.  Every walk is bounded,
 * whatever the volume's structures claim. */
LMR_API int list_named_finds(const char *path, lmr_named_find **finds);
LMR_API void free_named_finds(lmr_named_find *finds);

/* ------------------------------------------------------------------ */
/* Probe byte reader                                                   */
/* ------------------------------------------------------------------ */

typedef struct stream {
    const char *path;
    uint64_t base;
    uint64_t limit;
    FILE *file;
} stream;

typedef struct bs {
    unsigned char *buffer;
    uint32_t capacity;
    uint32_t fill;
    uint32_t pos;
    uint64_t base;
    stream *stream;
    int32_t refilled;
    int32_t need_seek;
    const unsigned char *head;
    uint64_t head_len;
} bs;

LMR_API void stream_init(stream *s);
LMR_API int stream_free(stream *s);
LMR_API int stream_seek(stream *s, uint64_t position, int whence);
LMR_API uint32_t stream_read(stream *s, void *destination, uint32_t count);

LMR_API bs *bs_init(stream *s, uint32_t capacity);
LMR_API void bs_free(bs *reader);
LMR_API void bs_set_data(bs *reader, const unsigned char *head,
                         uint64_t head_len);
LMR_API void bs_reset(bs *reader);
LMR_API uint32_t bs_read(bs *reader, void *destination, uint32_t count);
LMR_API uint32_t bs_peek(bs *reader, void *destination, uint32_t count);
LMR_API void bs_skip(bs *reader, uint64_t count);
LMR_API uint64_t bs_tell(const bs *reader);
LMR_API uint64_t bs_search(bs *reader, const unsigned char *pattern,
                           int32_t n, uint64_t max_size, const int32_t *table,
                           int32_t case_sen, int32_t *found);

LMR_API uint16_t htos(const unsigned char *p, int little);
LMR_API uint32_t htoi(const unsigned char *p, int little);
LMR_API uint64_t htoll(const unsigned char *p, int little);
LMR_API uint64_t adjust_bs(uint64_t value, uint64_t unit);
LMR_API void reverse_string(char *destination, const char *source, int from,
                            int to);

/* ------------------------------------------------------------------ */
/* Probes                                                              */
/* ------------------------------------------------------------------ */

/* Every probe: the candidate's bytes in memory (`data`, `available`), its
 * absolute `offset`, the bytes left in the chunk from it (`limit`).  Sets
 * *found to 1 and returns the length when a whole file starts there. */
typedef uint64_t (*probe_fn)(recovery_state *state, search_spec_entry *entry,
                             const unsigned char *data, int32_t available,
                             uint64_t offset, uint64_t limit, int32_t *found);

#define LMR_PROBE(name)                                                      \
    LMR_API uint64_t name(recovery_state *state, search_spec_entry *entry,   \
                          const unsigned char *data, int32_t available,      \
                          uint64_t offset, uint64_t limit, int32_t *found)

LMR_PROBE(probe_file);

/* Puts `probe` in front of the built-in probe of `type_key` (null restores
 * the built-in one); returns the probe it replaces.  For hosts and tests
 * that bring a probe of their own. */
LMR_API probe_fn register_probe(int32_t type_key, probe_fn probe);

LMR_PROBE(probe_jpg);
LMR_PROBE(probe_png);
LMR_PROBE(probe_gif);
LMR_PROBE(probe_bmp);

LMR_PROBE(probe_zip);
LMR_PROBE(probe_rar);

LMR_PROBE(probe_mp3);
LMR_PROBE(probe_amr);
LMR_PROBE(probe_mp4);
LMR_PROBE(probe_wmv);
LMR_PROBE(probe_mpg);
LMR_PROBE(probe_riff);

LMR_PROBE(probe_pdf);
LMR_PROBE(probe_sqlite);
LMR_PROBE(probe_txt);
LMR_PROBE(probe_txt2);

LMR_PROBE(probe_ole);

/* Compound-document module state and routines. */
typedef struct ole_dirent {
    char name[64];
    int32_t type;
    int32_t depth;
    int32_t start;
    int32_t size;
    int32_t right;
    int32_t left;
    int32_t child;
    uint32_t times[4];
} ole_dirent;

/* The compound-document probe's working state belongs to the thread that
 * probes: a host reads it on the thread of the probe call it follows. */
LMR_API extern __thread int32_t *FAT;
LMR_API extern __thread int32_t FATblk;
LMR_API extern __thread int32_t currFATblk;
LMR_API extern __thread unsigned char ole_block_list[512];
LMR_API extern __thread unsigned char ole_buffer[512];
LMR_API extern __thread int32_t highblk;
LMR_API extern __thread ole_dirent *dirlist;
LMR_API extern __thread int32_t dir_count;
LMR_API extern __thread ole_dirent *dl;
LMR_API extern __thread int32_t extract;

LMR_API void ole_init(void);
LMR_API int valid_ole_header(const unsigned char *header);
LMR_API int ole_getblk(bs *reader, int32_t n, unsigned char *buffer);
LMR_API int ole_getFATblk(bs *reader, int32_t n, unsigned char *buffer);
LMR_API int ole_skip_to_oleblk(bs *reader, int32_t n);
LMR_API int ole_dir_blk(bs *reader, int32_t n);
LMR_API int ole_dir_info(const unsigned char *sector);
LMR_API const char *check_ole_name(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* LUMAREK_RECOVERY_ENGINE_H */
