// Run entry points, run-control flags, callback registry and progress.
#include "engine_internal.h"
#include "scan_run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <climits>
#include <atomic>
#include <ctime>
#include <mutex>
#include <unistd.h>

extern "C" {
void *obj = nullptr;
recovered_fn recovered_call = nullptr;
progress_fn progress_call = nullptr;
proceed_fn proceed_call = nullptr;
recovered_runs_fn recovered_runs_call = nullptr;

int32_t signal_pause = 0;
int32_t signal_caught = 0;
int32_t skip_exist = 0;
int32_t is_formated = 0;
int32_t deep_scan = 0;
char wildcard = 0;
uint32_t _block_size = 0;
int32_t verbose = 1;
}

namespace {
uint64_t last_progress = 0;  // hundredths of a percent, kept from run to run
FILE *diag_out = nullptr;    // null: standard output
int last_outcome = LMR_RUN_NONE;
int last_errno = 0;
uint64_t unreadable_sectors = 0;
int watched_fd = -1;         // the scanned input, while a scan runs
uint64_t watched_size = 0;   // its size when the scan began, or when last found shorter
bool input_shrank = false;
uint64_t shrunk_size = 0;    // the input's size when last found shorter
std::atomic<lmr::scan_run *> current_run{nullptr};
}  // namespace

namespace lmr {

progress_range same_progress;

// Diagnostic lines.  Outside a scan each line is written and flushed at
// once.  During a scan a dense input gives hundreds of lines a second, and a
// write per line costs the scan a fifth of its speed: the lines are then
// gathered here, in order, and flushed together at most k_flush_interval
// apart, at the end of every window, when the scan pauses, and when it ends.
// A terminal still gets every line as it is made.
namespace {

constexpr size_t k_diag_batch = 16 * 1024;
constexpr int64_t k_flush_interval_ns = 20 * 1000 * 1000;

std::mutex diag_lock;
char diag_batch[k_diag_batch];
size_t diag_batched = 0;
bool diag_gathering = false;
int64_t diag_last_flush = 0;

int64_t coarse_now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

FILE *diag_stream() { return diag_out ? diag_out : stdout; }

// With diag_lock held.
void flush_batch_locked() {
    FILE *out = diag_stream();
    if (diag_batched) fwrite(diag_batch, 1, diag_batched, out);
    diag_batched = 0;
    fflush(out);
    diag_last_flush = coarse_now_ns();
}

}  // namespace

void diag(const char *fmt, ...) {
    // The line is formatted whole first, so that it reaches the stream in
    // one piece.
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    std::lock_guard<std::mutex> hold(diag_lock);
    FILE *out = diag_stream();
    if (size_t(n) >= sizeof line - 1) {
        // Longer than the line buffer: print it directly, after what waits.
        if (diag_batched) flush_batch_locked();
        va_start(ap, fmt);
        vfprintf(out, fmt, ap);
        va_end(ap);
        fputc('\n', out);
        fflush(out);
        return;
    }
    line[n] = '\n';
    if (!diag_gathering) {
        fwrite(line, 1, size_t(n) + 1, out);
        fflush(out);
        return;
    }
    if (diag_batched + size_t(n) + 1 > k_diag_batch) flush_batch_locked();
    memcpy(diag_batch + diag_batched, line, size_t(n) + 1);
    diag_batched += size_t(n) + 1;
    if (coarse_now_ns() - diag_last_flush >= k_flush_interval_ns) flush_batch_locked();
}

void diag_gather(bool on) {
    std::lock_guard<std::mutex> hold(diag_lock);
    flush_batch_locked();
    FILE *out = diag_stream();
    diag_gathering = on && !isatty(fileno(out));
}

void diag_redirect(FILE *out) {
    std::lock_guard<std::mutex> hold(diag_lock);
    flush_batch_locked();
    diag_out = out;
}

void diag_flush() {
    std::lock_guard<std::mutex> hold(diag_lock);
    if (diag_batched) flush_batch_locked();
}

void set_run_outcome(int outcome, int err) {
    last_outcome = outcome;
    last_errno = err;
}

scan_run scan_run::from_globals() {
    scan_run run;
    run.context = obj;
    run.recovered = recovered_call;
    run.progress = progress_call;
    run.proceed = proceed_call;
    run.recovered_runs = recovered_runs_call;
    run.pause_word = &signal_pause;
    run.stop_word = &signal_caught;
    run.deep = load_flag(&deep_scan) != 0;
    run.free_space_only = skip_exist != 0;
    run.plain_image = is_formated != 0;
    run.types = search_spec;
    return run;
}

void run_recovery(scan_run &run, const char *dev_file, const char *suffixs, const char *fs_type,
                  uint64_t total_bytes) {
    // A stop request belongs to the run it reaches: one that arrives before
    // this run starts is kept for it, and whatever this run leaves of it is
    // cleared when it ends, however it ends, so that it never reaches the
    // run after.
    struct clear_stop_at_end {
        scan_run &run;
        ~clear_stop_at_end() { run.clear_stop(); }
    } at_end{run};
    run.unreadable_sectors = 0;
    input_shrank = false;
    watched_fd = -1;
    run.set_outcome(LMR_RUN_NONE);
    // Any path the system can open is scanned; the find records carry it
    // when it fits their field (see fill_find_path).
    if (!dev_file || !*dev_file || strlen(dev_file) >= PATH_MAX) {
        diag("input path too long or missing, run refused");
        run.set_outcome(LMR_RUN_BAD_PATH);
        return;
    }
    if (!run.types) run.types = search_spec;
    recovery_state *state = init_state(&run.state, dev_file);
    if (!state->InputFile) {
        run.set_outcome(LMR_RUN_NO_MEMORY);
        return;
    }
    state->total_bytes = total_bytes;
    set_search_suffix(state, suffixs);
    set_fs_type(state, fs_type);
    {
        active_run active(run);
        if (state->spec_count > 0)
            process_file(state);
        else
            run.set_outcome(LMR_RUN_NOTHING_TO_SEARCH);
    }
    free(state->InputFile);
    state->InputFile = nullptr;
}

scan_run *run_of(const recovery_state *state) {
    scan_run *run = current_run.load(std::memory_order_acquire);
    return run && state == &run->state ? run : nullptr;
}

active_run::active_run(scan_run &run) : before_(current_run.exchange(&run)) {}
active_run::~active_run() { current_run.store(before_); }

void watch_input(int fd) {
    const int64_t size = input_size_now(fd);
    watched_fd = size < 0 ? -1 : fd;
    watched_size = size < 0 ? 0 : uint64_t(size);
}

bool input_reaches(uint64_t end) {
    if (watched_fd < 0) return true;
    const int64_t now = input_size_now(watched_fd);
    if (now < 0) return true;
    if (uint64_t(now) < watched_size) {
        if (!input_shrank)
            lmr::diag("warning: the input shrank during the scan, %llu of %llu bytes remain; finds past the new end "
                      "are not reported",
                      (unsigned long long)now, (unsigned long long)watched_size);
        input_shrank = true;
        watched_size = shrunk_size = uint64_t(now);
    }
    // Finds of an input that kept its size are judged by their probes.
    return !input_shrank || end <= uint64_t(now);
}

}  // namespace lmr

extern "C" {

void set_diagnostic_output(FILE *out) { lmr::diag_redirect(out); }
int get_last_run_outcome(void) { return last_outcome; }
int get_last_run_errno(void) { return last_errno; }
uint64_t get_last_run_unreadable_sectors(void) { return unreadable_sectors; }
int get_last_run_input_shrank(uint64_t *size) {
    if (input_shrank && size) *size = shrunk_size;
    return input_shrank ? 1 : 0;
}

recovery_state *init_state(recovery_state *state, const char *dev_file) {
    if (!state) return nullptr;
    wildcard = '?';
    state->mode = 0;
    state->spec_count = 0;
    state->fs_type = 0;
    state->total_bytes = 0;
    state->InputFile = dev_file ? strdup(dev_file) : nullptr;
    return state;
}

void free_state(recovery_state *state) {
    if (!state) return;
    free(state->InputFile);
    free(state);
}

void set_fs_type(recovery_state *state, const char *name) {
    int code = 0;
    if (name) {
        if (strstr(name, "fat") || strstr(name, "msdos"))
            code = 1;
        else if (strncmp(name, "ext", 3) == 0)
            code = 2;
        else if (strncmp(name, "sdcardfs", 8) == 0)
            code = 3;
    }
    if (state) state->fs_type = code;
}

uint32_t *set_mode(uint32_t *word, uint32_t bits) {
    *word |= bits;
    return word;
}

uint32_t get_mode(const uint32_t *word, uint32_t bits) { return *word & bits; }

void start_recovery(const char *dev_file, const char *suffixs, const char *fs_type) {
    lmr::diag("dev_file:%s,suffixs:%s,fs_type:%s", dev_file ? dev_file : "(null)",
              suffixs ? suffixs : "(null)", fs_type ? fs_type : "(null)");
    start_recovery2(dev_file, suffixs, fs_type, 0);
}

void start_recovery2(const char *dev_file, const char *suffixs, const char *fs_type,
                     uint64_t total_bytes) {
    lmr::diag("start_recovery2");
    // The run's record, over the callbacks, flag words and settings set
    // before the start.
    lmr::scan_run run = lmr::scan_run::from_globals();
    lmr::run_recovery(run, dev_file, suffixs, fs_type, total_bytes);
    unreadable_sectors = run.unreadable_sectors;
    lmr::set_run_outcome(run.outcome, run.err);
}

void general_file_start(const char *dev_file, const char *suffixs, const char *fs_type,
                        uint64_t total_bytes) {
    skip_exist = 1;
    start_recovery2(dev_file, suffixs, fs_type, total_bytes);
}

void pause_recovery(void) { lmr::store_flag(&signal_pause, 1); }
void resume_recovery(void) { lmr::store_flag(&signal_pause, 0); }
void stop_recovery(void) { lmr::store_flag(&signal_caught, 2); }
void general_file_pause(void) { pause_recovery(); }
void general_file_resume(void) { resume_recovery(); }
void general_file_stop(void) { stop_recovery(); }

void set_callbacks(void *context, recovered_fn recovered, progress_fn progress,
                   proceed_fn proceed) {
    obj = context;
    recovered_call = recovered;
    progress_call = progress;
    proceed_call = proceed;
}

void set_runs_callback(recovered_runs_fn recovered_runs) { recovered_runs_call = recovered_runs; }

void recovered_callback(r_info *info) {
    if (recovered_call) recovered_call(obj, info);
}

void progress_callback(float percent) {
    if (progress_call) progress_call(obj, percent);
}

void proceed_callback(uint64_t processed, uint64_t total) {
    if (proceed_call) proceed_call(obj, processed, total);
}

void find_file(recovery_state *state, search_spec_entry *entry, uint64_t length,
               uint64_t offset) {
    if (!lmr::input_reaches(offset + length)) {
        lmr::diag("a find at %llu (%llu bytes) reaches past the input's end: not reported",
                  (unsigned long long)offset, (unsigned long long)length);
        return;
    }
    const lmr::scan_run *run = lmr::run_of(state);
    auto *info = static_cast<r_info *>(calloc(1, sizeof(r_info)));
    if (!info) return;
    info->offset = offset;
    info->length = length;
    lmr::fill_find_path(info, state);
    if (entry && entry->suffix) {
        strncpy(info->suffix, entry->suffix, sizeof info->suffix - 1);
    }
    if (!run)
        recovered_callback(info);
    else if (run->recovered)
        run->recovered(run->context, info);
    free(info);
}

}  // extern "C"

void lmr::fill_find_path(r_info *info, const recovery_state *state) {
    info->path[0] = '\0';
    // A path cut short would name another file: one too long for the field
    // is left out, and the host names the input it passed in.
    if (state && state->InputFile && strlen(state->InputFile) < sizeof info->path)
        memcpy(info->path, state->InputFile, strlen(state->InputFile) + 1);
}

void lmr::report_find_runs(recovery_state *state, search_spec_entry *entry, const r_run *runs, int32_t count) {
    if (!runs || count <= 0) return;
    if (count == 1) {
        find_file(state, entry, runs[0].length, runs[0].offset);
        return;
    }
    uint64_t total = 0, end = 0;
    for (int32_t i = 0; i < count; ++i) {
        total += runs[i].length;
        end = std::max(end, runs[i].offset + runs[i].length);
    }
    if (!lmr::input_reaches(end)) {
        lmr::diag("a find of %d runs at %llu reaches past the input's end: not reported", count,
                  (unsigned long long)runs[0].offset);
        return;
    }
    const lmr::scan_run *run = lmr::run_of(state);
    recovered_runs_fn recovered_runs = run ? run->recovered_runs : recovered_runs_call;
    if (count > LMR_MAX_RUNS || !recovered_runs) {
        lmr::diag("[runs] a find of %d runs at %llu is not reported", count, (unsigned long long)runs[0].offset);
        return;
    }
    r_info info{};
    info.offset = runs[0].offset;
    info.length = total;
    lmr::fill_find_path(&info, state);
    if (entry && entry->suffix) strncpy(info.suffix, entry->suffix, sizeof info.suffix - 1);
    recovered_runs(run ? run->context : obj, &info, runs, count);
}

extern "C" {

void update_progress(uint64_t processed, uint64_t total) { lmr::report_progress(progress_call, obj, processed, total); }

void update_proceed(uint64_t processed, uint64_t total) {
    update_progress(processed, total);
    proceed_callback(processed, total);
}

builtin_type getInfo(int index) {
    if (index < 0 || index >= LMR_BUILTIN_COUNT) {
        builtin_type none{};
        return none;
    }
    return builtin_types[index];
}

}  // extern "C"

void lmr::report_progress(progress_fn progress, void *context, uint64_t processed, uint64_t total) {
    if (total == 0) return;
    // Called at every block: the processed counts that give the hundredth
    // reported last are remembered, so most calls end here without dividing.
    lmr::progress_range &same = lmr::same_progress;
    if (same.holds(processed, total) && last_progress == same.value) return;
    using u128 = unsigned __int128;
    uint64_t value = static_cast<uint64_t>(u128(processed) * 10000 / total);
    if (value != last_progress) {
        float pct = static_cast<float>(value) / 100.0f;
        if (pct > 100.0f) pct = 100.0f;
        if (progress) progress(context, pct);
        last_progress = value;
    }
    u128 lo = (u128(value) * total + 9999) / 10000;
    u128 hi = (u128(value + 1) * total + 9999) / 10000;
    same.total = total;
    same.lo = static_cast<uint64_t>(lo);
    same.hi = hi > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(hi);
    same.value = value;
}

void lmr::proceed_to(const scan_run &run, uint64_t processed, uint64_t total) {
    report_progress(run.progress, run.context, processed, total);
    if (run.proceed) run.proceed(run.context, processed, total);
}
