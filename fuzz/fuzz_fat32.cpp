// Fuzzes the FAT32 free-space reader with whole (small) volumes.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    lmrfuzz::quiet();
    lmrfuzz::MemFile file(data, size);
    chunk_list *list = get_fat32_chunk_list(file.path());
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (c->length == 0) abort();  // a run of free clusters is never empty
    }
    free_chunk_list(list);
    return 0;
}
