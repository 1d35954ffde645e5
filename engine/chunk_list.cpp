// Lists of regions to scan, and the choice of the file-system reader that
// builds them.
#include "engine_internal.h"
#include "scan_run.h"

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
    // The run's settings; a state of no run takes the process-wide ones.
    lmr::scan_run *run = lmr::run_of(state);
    const bool plain_image = run ? run->plain_image : is_formated != 0;
    const bool free_space_only = run ? run->free_space_only : skip_exist != 0;
    chunk_list *list = nullptr;
    uint32_t block = 512;
    if (!plain_image) {
        // The file-system readers publish the block size they found.
        _block_size = 0;
        if (state && state->InputFile) {
            const char *in = state->InputFile;
            switch (state->fs_type) {
            case 1:
                list = get_fat32_chunk_list(in);
                if (!list && !_block_size) list = get_fat1216_chunk_list(in);
                if (!list && !_block_size) list = get_exfat_chunk_list(in);
                break;
            case 2: list = get_ext2_chunk_list(in); break;
            case 3: break;
            default:
                // A whole disk goes partition by partition.
                list = get_partitioned_chunk_list(in);
                if (list || _block_size) break;
                list = get_fat32_chunk_list(in);
                if (!list && !_block_size) list = get_fat1216_chunk_list(in);
                if (!list && !_block_size) list = get_exfat_chunk_list(in);
                if (!list && !_block_size) list = get_ntfs_chunk_list(in);
                if (!list) list = get_ext2_chunk_list(in);
                break;
            }
        }
        if (_block_size) block = _block_size;
    }
    _block_size = block;
    if (run) run->block_size = block;
    if (plain_image) return nullptr;
    if (!free_space_only) {
        free_chunk_list(list);
        return nullptr;
    }
    return list;
}

}  // extern "C"
