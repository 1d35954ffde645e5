// What a free-space reader learns of a volume besides its free runs: the
// allocation unit the scan steps by, and how the file system lays out its
// files.  A reader writes them into the notes its caller hands it; a scan
// keeps them in its run record.
#pragma once

#include <cstdint>

namespace lmr {

struct block_map_volume {
    bool block_mapped = false;  // ext2/ext3: files reach their later blocks through indirect blocks
    uint32_t block_size = 0;
    uint64_t blocks = 0;        // blocks of the volume
    bool journal = false;       // ext3: an old driver cleared indirect blocks on delete
};

struct volume_notes {
    // The allocation unit in bytes of the file system the reader
    // recognised; 0 when it recognised none.
    uint32_t block_size = 0;
    block_map_volume layout;
};

}  // namespace lmr
