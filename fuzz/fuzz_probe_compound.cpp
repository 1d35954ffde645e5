// Fuzzes the compound probes: every byte after the header is hostile.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    lmrfuzz::probe_all("doc,xls,ppt,ole", data, size);
    return 0;
}
