// Lists of regions to scan, and the choice of the file-system reader that
// builds them.
#include "engine_internal.h"
#include "scan_driver.h"
#include "volume_readers.h"

#include <cstdlib>

extern "C" {

chunk_list *add_chunk(chunk_list *list, const chunk *c) {
    if (!c) return list;
    auto *copy = static_cast<chunk *>(malloc(sizeof(chunk)));
    if (!copy) return list;
    copy->offset = c->offset;
    copy->length = c->length;
    copy->next = nullptr;
    if (!list) {
        list = static_cast<chunk_list *>(malloc(sizeof(chunk_list)));
        if (!list) {
            free(copy);
            return nullptr;
        }
        list->head = list->tail = copy;
        return list;
    }
    if (list->tail)
        list->tail->next = copy;
    else
        list->head = copy;
    list->tail = copy;
    return list;
}

int get_chunk_list_size(const chunk_list *list) {
    int n = 0;
    if (list)
        for (const chunk *c = list->head; c; c = c->next) ++n;
    return n;
}

void free_chunk_list(chunk_list *list) {
    if (!list) return;
    chunk *c = list->head;
    while (c) {
        chunk *next = c->next;
        free(c);
        c = next;
    }
    free(list);
}

chunk_list *get_free_chunk_list(recovery_state *state) {
    // The run's settings; a state of no run takes the process-wide ones,
    // and the block size found is published.
    if (lmr::scan_run *run = lmr::run_of(state)) return lmr::free_chunks_for(*run);
    lmr::scan_run bare = lmr::scan_run::from_globals();
    if (state) bare.state = *state;
    chunk_list *list = lmr::free_chunks_for(bare);
    __atomic_store_n(&_block_size, bare.block_size, __ATOMIC_RELAXED);
    return list;
}

}  // extern "C"

chunk_list *lmr::free_chunks_for(scan_run &run) {
    const recovery_state *state = &run.state;
    chunk_list *list = nullptr;
    uint32_t block = 512;
    if (!run.plain_image) {
        // The file-system readers note the block size they found.
        volume_notes notes;
        if (state->InputFile) {
            const char *in = state->InputFile;
            switch (state->fs_type) {
            case 1:
                list = read_fat32_chunks(in, notes);
                if (!list && !notes.block_size) list = read_fat1216_chunks(in, notes);
                if (!list && !notes.block_size) list = read_exfat_chunks(in, notes);
                break;
            case 2: list = read_ext2_chunks(in, notes); break;
            case 3: break;
            default:
                // A whole disk goes partition by partition.
                list = read_partitioned_chunks(in, run.partition, notes);
                if (list || notes.block_size) break;
                list = read_fat32_chunks(in, notes);
                if (!list && !notes.block_size) list = read_fat1216_chunks(in, notes);
                if (!list && !notes.block_size) list = read_exfat_chunks(in, notes);
                if (!list && !notes.block_size) list = read_ntfs_chunks(in, notes);
                if (!list) list = read_ext2_chunks(in, notes);
                break;
            }
        }
        if (notes.block_size) block = notes.block_size;
        run.layout = notes.layout;
    }
    run.block_size = block;
    if (run.plain_image) return nullptr;
    if (!run.free_space_only) {
        free_chunk_list(list);
        return nullptr;
    }
    return list;
}
