// Fuzzes the NTFS directory walk for deleted files with their names,
// with whole (small) volumes.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return lmrfuzz::check_named_walk(data, size);
}
