// Fuzzes the media probes: every byte after the header is hostile.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    lmrfuzz::probe_all("mp3,amr,mp4,mov,3gp,wmv,mpg,wav,avi", data, size);
    return 0;
}
