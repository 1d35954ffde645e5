// Fuzzes the ext2/3/4 free-space reader with whole (small) volumes.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    lmrfuzz::quiet();
    lmrfuzz::MemFile file(data, size);
    chunk_list *list = get_ext2_chunk_list(file.path());
    uint64_t last_end = 0;
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (c->length == 0 || c->offset < last_end) abort();  // ordered, disjoint, non-empty
        last_end = c->offset + c->length;
    }
    free_chunk_list(list);
    return 0;
}
