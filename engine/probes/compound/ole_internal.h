// Bookkeeping of the compound-document module that is not exported: how
// much of the FAT list and of the directory list the current call on this
// thread holds.
#pragma once

#include "../../engine_internal.h"

namespace lmr {

// Entries of FAT that hold loaded FAT sector numbers.
extern __thread uint32_t ole_fat_entries;
// Records of dirlist there is room for.
extern __thread uint32_t ole_dir_room;

}  // namespace lmr
