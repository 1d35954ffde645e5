// The scan window and the input it is read from: the window's size and
// mapping, and the opening of the run's input.
#include "scan_driver.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace lmr {

// The window buffer is mapped with its pages populated up front: touching
// 12,800 fresh pages one fault at a time costs more than the scan itself on
// a hot input.
// Huge pages where the system offers them: the block loop visits one
// byte in every 512, and with small pages nearly every visit is a TLB miss.
// An input smaller than a window needs no more than its own size (in whole
// huge pages): a fresh mapping is zeroed page by page, and zeroing 50 MiB
// costs more than scanning a small image.

uint64_t window_size_for(uint64_t input_size) {
    constexpr uint64_t huge = 2u << 20;
    uint64_t want = (input_size + huge - 1) / huge * huge;
    return want && want < LMR_SCAN_BUFFER_SIZE ? want : LMR_SCAN_BUFFER_SIZE;
}

unsigned char *alloc_scan_buffer(uint64_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, size, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    madvise(p, size, MADV_POPULATE_WRITE);
#endif
    return static_cast<unsigned char *>(p);
}

void free_scan_buffer(unsigned char *p, uint64_t size) {
    if (p) munmap(p, size);
}

int scan_input_file(scan_run &run) {
    recovery_state *state = &run.state;
    scan_input input{nullptr, state->total_bytes, nullptr};
    lmr::diag("s.InputFile:%s   total bytes:%llu", state->InputFile, (unsigned long long)input.size);
    lmr::diag("check point 1");
    input.path = strdup(state->InputFile);
    int result = 1;
    input.file = input.path ? lmr::open_input(input.path) : nullptr;
    if (!input.file) {
        int err = errno;
        lmr::diag("failed to open %s, %s", state->InputFile, strerror(err));
        run.set_outcome(LMR_RUN_CANNOT_OPEN, err);
    } else {
        // Unbuffered: windows are read whole, and a failing sector must not
        // take a whole stdio buffer with it.
        setvbuf(input.file, nullptr, _IONBF, 0);
        if (input.size == 0) input.size = find_file_size(input.file);
        if (input.size == 0) {
            run.set_outcome(LMR_RUN_EMPTY_INPUT);
        } else {
            lmr::diag("磁盘大小为%lluMB", (unsigned long long)(input.size >> 20));
            lmr::store_flag(run.pause_at(), 0);
            run.set_outcome(LMR_RUN_SCANNED);
            lmr::diag_gather(true);
            run.watch.start(lmr::input_fd(input.file));
            scan_stream(run, &input);
            run.watch.reaches(0, true);  // a last look for a shrink the scan did not meet
            run.watch.start(-1);
            lmr::diag_gather(false);
            result = 0;
        }
    }
    if (input.file) fclose(input.file);
    free(input.path);
    return result;
}

}  // namespace lmr

using namespace lmr;

extern "C" {

uint64_t find_file_size(FILE *file) {
    if (!file) return 0;
    off_t here = ftello(file);
    if (here < 0) here = 0;
    if (fseeko(file, 0, SEEK_END) != 0) return 0;
    off_t end = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0) return 0;
    return end > 0 ? uint64_t(end) : 0;
}

int process_file(recovery_state *state) {
    if (!state || !state->InputFile) return 1;
    return with_run(state, [](scan_run &run) { return scan_input_file(run); });
}

}  // extern "C"
