// Lists of regions to scan, and the choice of the file-system reader that
// builds them.
#include "engine_internal.h"

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
    if (is_formated) {
        _block_size = 512;
        return nullptr;
    }
    _block_size = 0;
    chunk_list *list = nullptr;
    if (state && state->InputFile) {
        switch (state->fs_type) {
        case 1:
            list = get_fat32_chunk_list(state->InputFile);
            if (!list && !_block_size) list = get_fat1216_chunk_list(state->InputFile);
            if (!list && !_block_size) list = get_exfat_chunk_list(state->InputFile);
            break;
        case 2: list = get_ext2_chunk_list(state->InputFile); break;
        case 3: break;
        default:
            // A whole disk goes partition by partition.
            list = get_partitioned_chunk_list(state->InputFile);
            if (list || _block_size) break;
            list = get_fat32_chunk_list(state->InputFile);
            if (!list && !_block_size) list = get_fat1216_chunk_list(state->InputFile);
            if (!list && !_block_size) list = get_exfat_chunk_list(state->InputFile);
            if (!list && !_block_size) list = get_ntfs_chunk_list(state->InputFile);
            if (!list) list = get_ext2_chunk_list(state->InputFile);
            break;
        }
    }
    if (_block_size == 0) _block_size = 512;
    if (!skip_exist) {
        free_chunk_list(list);
        return nullptr;
    }
    return list;
}

}  // extern "C"
