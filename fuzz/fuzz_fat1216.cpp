// Fuzzes the FAT12/FAT16 free-space reader with whole (small) volumes.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    lmrfuzz::quiet();
    lmrfuzz::MemFile file(data, size);
    chunk_list *list = get_fat1216_chunk_list(file.path());
    uint64_t end = 0;
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        // Free runs are never empty, ascend, and stay inside the input.
        if (c->length == 0 || c->offset < end || c->offset + c->length > size) abort();
        end = c->offset + c->length;
    }
    free_chunk_list(list);
    return 0;
}
