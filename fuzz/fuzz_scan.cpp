// Fuzzes the whole scan: a small image, every file type configured, the
// file-system readers in front (and in deep mode the free space read as one
// stream, indirect blocks followed), and sectors that cannot be read.
#include "fuzz_input.h"

#include "engine/file_types.h"

#include <cerrno>

namespace {
const uint8_t *g_data;
size_t g_size;
void on_found(void *, r_info *info) {
    // Every find starts within the image.
    if (info->offset >= g_size) abort();
}

// A find in pieces (deep scan of free space): its runs lie within the
// image, in a bounded number, and add up to its length.
void on_found_runs(void *, r_info *info, const r_run *runs, int32_t count) {
    if (count < 2 || count > LMR_MAX_RUNS) abort();
    uint64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (runs[i].length == 0 || runs[i].offset >= g_size || runs[i].length > g_size - runs[i].offset) abort();
        total += runs[i].length;
    }
    if (total != info->length || info->offset != runs[0].offset) abort();
}

// A sector that starts with BD AD fails to read, as a bad one would.
int64_t failing_pread(int fd, void *buf, uint64_t count, uint64_t offset) {
    for (uint64_t s = offset / 512 * 512; s < offset + count && s + 1 < g_size; s += 512) {
        if (g_data[s] == 0xBD && g_data[s + 1] == 0xAD) {
            errno = EIO;
            return -1;
        }
    }
    return pread(fd, buf, size_t(count), off_t(offset));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (4u << 20)) return 0;
    lmrfuzz::quiet();
    g_data = data;
    g_size = size;
    lmrfuzz::MemFile file(data, size);
    input_pread_fn saved = set_input_pread(failing_pread);
    set_callbacks(nullptr, on_found, nullptr, nullptr);
    set_runs_callback(on_found_runs);
    skip_exist = size & 1;
    deep_scan = int32_t((size >> 1) & 1);
    // Every name the signature table takes, signatures without a probe
    // included; then txt alone, the text scan.
    static const std::string every_type = lmr::searched_names();
    start_recovery2(file.path(), every_type.c_str(), "", 0);
    start_recovery2(file.path(), "txt", "", 0);
    set_input_pread(saved);
    return 0;
}
