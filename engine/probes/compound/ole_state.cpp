// Working state of the compound-document probe, one per thread: probes on
// two threads (two runs at once) each have their own.  Hosts read these by
// name after a probe call on the same thread; ole_init resets them for the
// next one.
#include "ole_internal.h"

#include <cstring>

extern "C" {
__thread int32_t *FAT = nullptr;
__thread int32_t FATblk = 0;
__thread int32_t currFATblk = -1;
__thread unsigned char ole_block_list[512];
__thread unsigned char ole_buffer[512];
__thread int32_t highblk = 0;
__thread ole_dirent *dirlist = nullptr;
__thread int32_t dir_count = 0;
__thread ole_dirent *dl = nullptr;
__thread int32_t extract = 0;

void ole_init(void) {
    FAT = nullptr;
    FATblk = 0;
    currFATblk = -1;
    memset(ole_block_list, 0, sizeof ole_block_list);
    memset(ole_buffer, 0, sizeof ole_buffer);
    highblk = 0;
    dirlist = nullptr;
    dir_count = 0;
    dl = nullptr;
    extract = 0;
    lmr::ole_fat_entries = 0;
    lmr::ole_dir_room = 0;
}
}

namespace lmr {
__thread uint32_t ole_fat_entries = 0;
__thread uint32_t ole_dir_room = 0;
}  // namespace lmr
