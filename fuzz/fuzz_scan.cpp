// Fuzzes the whole scan: a small image, every file type configured, the
// file-system readers in front.
#include "fuzz_input.h"

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
    start_recovery2(file.path(),
                    "jpg,png,gif,bmp,docx,pptx,xlsx,doc,ppt,xls,pdf,mp4,avi,mov,3gp,mp3,amr,wav,apk,exe,zip,rar,gzip,"
                    "sqlite,wmv,mpg,snb",
                    "", 0);
    start_recovery2(file.path(), "txt", "", 0);
    return 0;
}
