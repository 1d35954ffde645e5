// Fuzzes the document probes: every byte after the header is hostile.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    lmrfuzz::probe_all("pdf,sqlite,txt", data, size);
    return 0;
}
