// Fuzzes the document probes: every byte after the header is hostile.
#include "fuzz_input.h"

#include "engine/file_types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1u << 20)) return 0;
    // Every name that reaches a probe of the family.
    static const std::string types = lmr::family_names(lmr::family::document);
    lmrfuzz::probe_all(types.c_str(), data, size);
    return 0;
}
