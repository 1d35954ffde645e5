// Placeholder until the compound-document probe lands.
#include "../../engine_internal.h"

extern "C" {
int32_t *FAT = nullptr;
int32_t FATblk = 0;
int32_t currFATblk = -1;
unsigned char ole_block_list[512];
unsigned char ole_buffer[512];
int32_t highblk = 0;
ole_dirent *dirlist = nullptr;
int32_t dir_count = 0;
ole_dirent *dl = nullptr;
int32_t extract = 0;

void ole_init(void) {}
int valid_ole_header(const unsigned char *) { return 0; }
int ole_getblk(bs *, int32_t, unsigned char *) { return 0; }
int ole_getFATblk(bs *, int32_t, unsigned char *) { return 0; }
int ole_skip_to_oleblk(bs *, int32_t) { return 0; }
int ole_dir_blk(bs *, int32_t) { return 0; }
int ole_dir_info(const unsigned char *) { return 0; }
const char *check_ole_name(const char *) { return nullptr; }
}
