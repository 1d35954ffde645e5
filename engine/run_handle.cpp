// Runs of the engine with a record of their own, for hosts that run more
// than one scan at a time: each handle keeps its callbacks, settings, flag
// words and the facts of its last run, and makes a fresh run record for
// every run.
#include "run_handle.h"
#include "scan_run.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace {
// Stops asked of every run so far; a lock-free word, so that a signal
// handler may add one.
uint32_t every_stop_count = 0;
static_assert(__atomic_always_lock_free(sizeof every_stop_count, nullptr), "a signal handler may count stops");
}  // namespace

struct recovery_run {
    void *context = nullptr;
    recovered_fn recovered = nullptr;
    progress_fn progress = nullptr;
    proceed_fn proceed = nullptr;
    recovered_runs_fn recovered_runs = nullptr;
    bool deep = false;
    bool whole_input = false;
    int32_t partition = 0;

    int32_t pause = 0, stop = 0;  // atomic words
    uint32_t every_stop_met = 0;  // the scanning thread's; set when the handle is made

    // The last run.
    int outcome = LMR_RUN_NONE;
    int err = 0;
    uint64_t unreadable = 0;
    bool shrank = false;
    uint64_t shrunk_to = 0;
    uint32_t block_size = 0;
};

namespace {

void run_with(recovery_run *h, const char *dev_file, const char *suffixs, const char *fs_type, uint64_t total) {
    lmr::diag("start_recovery2");
    lmr::scan_run run;
    run.context = h->context;
    run.recovered = h->recovered;
    run.progress = h->progress;
    run.proceed = h->proceed;
    run.recovered_runs = h->recovered_runs;
    run.pause_word = &h->pause;
    run.stop_word = &h->stop;
    run.every_stop = &every_stop_count;
    run.every_stop_met = &h->every_stop_met;
    run.deep = h->deep;
    run.plain_image = h->whole_input;
    run.free_space_only = true;
    run.partition = h->partition;
    lmr::run_recovery(run, dev_file, suffixs, fs_type, total);
    h->outcome = run.outcome;
    h->err = run.err;
    h->unreadable = run.unreadable_sectors;
    h->shrank = run.watch.shrank;
    h->shrunk_to = run.watch.shrunk_to;
    h->block_size = run.block_size;
}

void forget_last(recovery_run *h) {
    h->outcome = LMR_RUN_NONE;
    h->err = 0;
    h->unreadable = 0;
    h->shrank = false;
    h->shrunk_to = 0;
    h->block_size = 0;
}

}  // namespace

extern "C" {

recovery_run *recovery_run_new(void) {
    auto *h = new (std::nothrow) recovery_run;
    // Stops of every run asked before the handle was made are not its.
    if (h) h->every_stop_met = __atomic_load_n(&every_stop_count, __ATOMIC_SEQ_CST);
    return h;
}

void recovery_run_free(recovery_run *run) { delete run; }

void recovery_run_set_callbacks(recovery_run *run, void *context, recovered_fn recovered, progress_fn progress,
                                proceed_fn proceed, recovered_runs_fn recovered_runs) {
    if (!run) return;
    run->context = context;
    run->recovered = recovered;
    run->progress = progress;
    run->proceed = proceed;
    run->recovered_runs = recovered_runs;
}

void recovery_run_set_options(recovery_run *run, int deep, int whole_input, int32_t partition) {
    if (!run) return;
    run->deep = deep != 0;
    run->whole_input = whole_input != 0;
    run->partition = partition;
}

void start_recovery_run(recovery_run *run, const char *dev_file, const char *suffixs, const char *fs_type,
                        uint64_t total_bytes) {
    if (!run) return;
    run_with(run, dev_file, suffixs, fs_type, total_bytes);
}

void start_recovery_run_fd(recovery_run *run, int fd, const char *display_path, const char *suffixs,
                           const char *fs_type, uint64_t total_bytes) {
    if (!run) return;
    if (display_path && strlen(display_path) < PATH_MAX && register_input_descriptor(display_path, fd) != 0) {
        const int err = errno;
        lmr::diag("cannot read %s through descriptor %d, %s", display_path, fd, strerror(err));
        forget_last(run);
        run->outcome = LMR_RUN_CANNOT_OPEN;
        run->err = err;
        // The run that did not happen meets the stop that was meant for it.
        lmr::store_flag(&run->stop, 0);
        return;
    }
    // A missing or overlong path is refused by the run itself.
    run_with(run, display_path, suffixs, fs_type, total_bytes);
}

void pause_recovery_run(recovery_run *run) {
    if (run) lmr::store_flag(&run->pause, 1);
}

void resume_recovery_run(recovery_run *run) {
    if (run) lmr::store_flag(&run->pause, 0);
}

void stop_recovery_run(recovery_run *run) {
    if (run) lmr::store_flag(&run->stop, 2);
}

void withdraw_recovery_run_stop(recovery_run *run) {
    if (run) lmr::store_flag(&run->stop, 0);
}

void stop_every_recovery(void) {
    __atomic_add_fetch(&every_stop_count, 1, __ATOMIC_SEQ_CST);
    stop_recovery();
}

int recovery_run_outcome(const recovery_run *run) { return run ? run->outcome : LMR_RUN_NONE; }
int recovery_run_errno(const recovery_run *run) { return run ? run->err : 0; }
uint64_t recovery_run_unreadable_sectors(const recovery_run *run) { return run ? run->unreadable : 0; }
int recovery_run_input_shrank(const recovery_run *run, uint64_t *size) {
    if (!run || !run->shrank) return 0;
    if (size) *size = run->shrunk_to;
    return 1;
}
uint32_t recovery_run_block_size(const recovery_run *run) { return run ? run->block_size : 0; }

void publish_recovery_run(const recovery_run *run) {
    if (!run) return;
    lmr::scan_run facts;
    facts.outcome = run->outcome;
    facts.err = run->err;
    facts.unreadable_sectors = run->unreadable;
    facts.watch.shrank = run->shrank;
    facts.watch.shrunk_to = run->shrunk_to;
    facts.block_size = run->block_size;
    facts.publish_outcome();
}

}  // extern "C"
