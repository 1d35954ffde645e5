// Fuzzes the partition-table reader (MBR, extended chains, GPT) and the
// file-system readers it runs on each partition, with whole (small) disks.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    lmrfuzz::quiet();
    lmrfuzz::MemFile file(data, size);
    chunk_list *list = get_partitioned_chunk_list(file.path());
    uint64_t end = 0;
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (c->length == 0 || c->offset < end || c->offset + c->length > size) abort();
        end = c->offset + c->length;
    }
    free_chunk_list(list);
    lmr_partition_info info[4];
    char scheme[8];
    list_partitions(file.path(), info, 4, scheme);
    return 0;
}
