// Fuzzes the exFAT free-space reader with whole (small) volumes.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return lmrfuzz::check_free_space_reader(get_exfat_chunk_list, data, size);
}
