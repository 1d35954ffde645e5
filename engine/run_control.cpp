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
#include <new>
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

// What the C interface tells of the last run that published itself, and
// the progress of its update_progress, kept from run to run.  Runs keep
// their own and publish them when they end; several runs may end at once,
// so each value is an atomic word.
namespace {
std::atomic<int> last_outcome{LMR_RUN_NONE};
std::atomic<int> last_errno{0};
std::atomic<uint64_t> last_unreadable{0};
std::atomic<bool> last_shrank{false};
std::atomic<uint64_t> last_shrunk_to{0};
std::mutex facade_progress_lock;
uint64_t facade_last_progress = 0;  // hundredths of a percent; guarded by facade_progress_lock
lmr::progress_range facade_same;     // guarded by facade_progress_lock

thread_local lmr::scan_run *running = nullptr;  // the run under way on this thread

FILE *diag_out = nullptr;  // null: standard output
}  // namespace

namespace lmr {

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
int diag_gatherers = 0;      // scans gathering lines now
bool diag_gathering = false;  // they are gathered (not when the stream is a terminal)
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
    // Lines are gathered while any scan runs.
    diag_gatherers += on ? 1 : (diag_gatherers > 0 ? -1 : 0);
    diag_gathering = diag_gatherers > 0 && !isatty(fileno(diag_stream()));
}

void diag_redirect(FILE *out) {
    std::lock_guard<std::mutex> hold(diag_lock);
    flush_batch_locked();
    diag_out = out;
    diag_gathering = diag_gatherers > 0 && !isatty(fileno(diag_stream()));
}

void diag_flush() {
    std::lock_guard<std::mutex> hold(diag_lock);
    if (diag_batched) flush_batch_locked();
}

void set_run_outcome(int outcome, int err) {
    last_outcome.store(outcome);
    last_errno.store(err);
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
    run.free_space_only = load_flag(&skip_exist) != 0;
    run.plain_image = load_flag(&is_formated) != 0;
    run.partition = load_flag(&scan_partition);
    use_process_table(run);
    {
        std::lock_guard<std::mutex> hold(facade_progress_lock);
        run.last_progress = facade_last_progress;
    }
    return run;
}

void scan_run::publish_outcome() const {
    set_run_outcome(outcome, err);
    last_unreadable.store(unreadable_sectors);
    last_shrunk_to.store(watch.shrunk_to);
    last_shrank.store(watch.shrank);
    if (block_size) __atomic_store_n(&_block_size, block_size, __ATOMIC_RELAXED);
}

void scan_run::publish() const {
    publish_outcome();
    std::lock_guard<std::mutex> hold(facade_progress_lock);
    facade_last_progress = last_progress;
    facade_same = progress_range{};
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
    run.watch = input_watch{};
    run.set_outcome(LMR_RUN_NONE);
    // Any path the system can open is scanned; the find records carry it
    // when it fits their field (see fill_find_path).
    if (!dev_file || !*dev_file || strlen(dev_file) >= PATH_MAX) {
        diag("input path too long or missing, run refused");
        run.set_outcome(LMR_RUN_BAD_PATH);
        return;
    }
    if (!run.types) {
        run.own_types.reset(new (std::nothrow) search_table);
        if (!run.own_types) {
            run.set_outcome(LMR_RUN_NO_MEMORY);
            return;
        }
        run.types = run.own_types->entries;
        run.type_names = run.own_types->names;
    }
    recovery_state *state = init_state(&run.state, dev_file);
    if (!state->InputFile) {
        run.set_outcome(LMR_RUN_NO_MEMORY);
        return;
    }
    state->total_bytes = total_bytes;
    {
        // The configuration fills the run's own table.
        active_run active(run);
        set_search_suffix(state, suffixs);
        set_fs_type(state, fs_type);
        if (state->spec_count > 0)
            process_file(state);
        else
            run.set_outcome(LMR_RUN_NOTHING_TO_SEARCH);
    }
    free(state->InputFile);
    state->InputFile = nullptr;
}

scan_run *run_of(const recovery_state *state) {
    scan_run *run = running;
    return run && state == &run->state ? run : nullptr;
}

scan_run *running_here() { return running; }

active_run::active_run(scan_run &run) : before_(running) { running = &run; }
active_run::~active_run() { running = before_; }

void input_watch::start(int input) {
    const int64_t now = input < 0 ? -1 : input_size_now(input);
    fd = now < 0 ? -1 : input;
    size = now < 0 ? 0 : uint64_t(now);
    looked_for = 0;
}

bool input_watch::reaches(uint64_t end, bool now_asked) {
    if (fd < 0) return true;
    // The finds of a dense image follow each other every few tens of KB:
    // one look serves those near it.  A find past the size last seen, or
    // far from where the last look was, is looked at afresh.
    if (!now_asked && end <= size && end < looked_for + k_look_every && end + k_look_every > looked_for) return true;
    looked_for = end;
    const int64_t now = input_size_now(fd);
    if (now < 0) return true;
    if (uint64_t(now) < size) {
        if (!shrank)
            lmr::diag("warning: the input shrank during the scan, %llu of %llu bytes remain; finds past the new end "
                      "are not reported",
                      (unsigned long long)now, (unsigned long long)size);
        shrank = true;
        size = shrunk_to = uint64_t(now);
    }
    // Finds of an input that kept its size are judged by their probes.
    return !shrank || end <= uint64_t(now);
}

}  // namespace lmr

extern "C" {

void set_diagnostic_output(FILE *out) { lmr::diag_redirect(out); }
int get_last_run_outcome(void) { return last_outcome.load(); }
int get_last_run_errno(void) { return last_errno.load(); }
uint64_t get_last_run_unreadable_sectors(void) { return last_unreadable.load(); }
int get_last_run_input_shrank(uint64_t *size) {
    const bool shrank = last_shrank.load();
    if (shrank && size) *size = last_shrunk_to.load();
    return shrank ? 1 : 0;
}

recovery_state *init_state(recovery_state *state, const char *dev_file) {
    if (!state) return nullptr;
    // The wildcard is the same for every run: written only when it is not
    // yet, so that runs starting together do not write it at once.
    if (__atomic_load_n(&wildcard, __ATOMIC_RELAXED) != '?') __atomic_store_n(&wildcard, '?', __ATOMIC_RELAXED);
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
    run.publish();
}

void general_file_start(const char *dev_file, const char *suffixs, const char *fs_type,
                        uint64_t total_bytes) {
    lmr::store_flag(&skip_exist, 1);
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
    lmr::scan_run *run = lmr::run_of(state);
    if (run && !run->watch.reaches(offset + length)) {
        lmr::diag("a find at %llu (%llu bytes) reaches past the input's end: not reported",
                  (unsigned long long)offset, (unsigned long long)length);
        return;
    }
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
    lmr::scan_run *run = lmr::run_of(state);
    if (run && !run->watch.reaches(end)) {
        lmr::diag("a find of %d runs at %llu reaches past the input's end: not reported", count,
                  (unsigned long long)runs[0].offset);
        return;
    }
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

void find_file_runs(recovery_state *state, search_spec_entry *entry, const r_run *runs, int32_t count) {
    lmr::report_find_runs(state, entry, runs, count);
}

void update_progress(uint64_t processed, uint64_t total) {
    std::lock_guard<std::mutex> hold(facade_progress_lock);
    lmr::report_progress(facade_same, facade_last_progress, progress_call, obj, processed, total);
}

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

void lmr::report_progress(progress_range &same, uint64_t &last_progress, progress_fn progress, void *context,
                          uint64_t processed, uint64_t total) {
    if (total == 0) return;
    // Called at every block: the processed counts that give the hundredth
    // reported last are remembered, so most calls end here without dividing.
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

void lmr::proceed_to(scan_run &run, uint64_t processed, uint64_t total) {
    report_progress(run.same_progress, run.last_progress, run.progress, run.context, processed, total);
    if (run.proceed) run.proceed(run.context, processed, total);
}
