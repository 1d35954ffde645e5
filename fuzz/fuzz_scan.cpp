// Fuzzes the whole scan: a small image, every file type configured, the
// file-system readers in front.
#include "fuzz_input.h"

#include "engine/file_types.h"

namespace {
size_t g_size;
void on_found(void *, r_info *info) {
    // Every find starts within the image.
    if (info->offset >= g_size) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (4u << 20)) return 0;
    lmrfuzz::quiet();
    g_size = size;
    lmrfuzz::MemFile file(data, size);
    set_callbacks(nullptr, on_found, nullptr, nullptr);
    skip_exist = size & 1;
    // Every name the signature table takes, signatures without a probe
    // included; then txt alone, the text scan.
    static const std::string every_type = lmr::searched_names();
    start_recovery2(file.path(), every_type.c_str(), "", 0);
    start_recovery2(file.path(), "txt", "", 0);
    return 0;
}
