// File-system readers that find the free clusters of a volume lying anywhere
// in an input (a whole volume, or one partition of a disk), and the helpers
// they share.  Offsets in the lists they build are offsets of the input.
#pragma once

#include "free_runs.h"
#include "volume_notes.h"

#include <cstdint>
#include <cstdio>

namespace lmr {

// A volume inside an open input: its first byte and its length in bytes,
// already clipped to what the input holds.
struct volume_span {
    FILE *f;
    uint64_t base;
    uint64_t size;
};

// What a reader made of a volume.  `recognised` is false when the volume is
// not of the reader's file system (or its structures are too damaged to
// trust); then `list` is null.  A recognised volume without free clusters
// also has a null list.  The caller owns `list`.
struct volume_free {
    bool recognised = false;
    uint32_t unit = 0;      // allocation unit in bytes (the scan step)
    chunk_list *list = nullptr;
    const char *name = "";  // the file system's name, for listings
};

// FAT12, FAT16 and (when `accept_fat32`) FAT32: the type follows from the
// cluster count.
volume_free read_fat_free(const volume_span &v, bool accept_fat32);
volume_free read_exfat_free(const volume_span &v);
volume_free read_ntfs_free(const volume_span &v);
// ext2, ext3 and ext4.  When `layout` is given, a block-mapped volume (no
// extents) says so there, for the scan that follows indirect blocks.
struct block_map_volume;
volume_free read_ext_free(const volume_span &v, block_map_volume *layout);

// A reader run on the whole input at `path`: its free runs, and the block
// size noted when it recognised its file system.
template <class Read>
chunk_list *read_whole_input(const char *path, volume_notes &notes, Read read) {
    InputHandle input(path);
    FILE *f = input.get();
    if (!f) return nullptr;
    volume_free r = read(volume_span{f, 0, measure_input(f)});
    if (r.recognised) notes.block_size = r.unit;
    return r.list;
}

// The free runs of the input at `path` as a volume of one file system, or
// (read_partitioned_chunks) as a disk with a partition table, `partition`
// alone or (0) all of it.  What each learns of the volume goes into
// `notes`; the get_*_chunk_list functions of the C interface are these with
// the block size published in _block_size.
chunk_list *read_fat32_chunks(const char *path, volume_notes &notes);
chunk_list *read_fat1216_chunks(const char *path, volume_notes &notes);
chunk_list *read_exfat_chunks(const char *path, volume_notes &notes);
chunk_list *read_ntfs_chunks(const char *path, volume_notes &notes);
chunk_list *read_ext2_chunks(const char *path, volume_notes &notes);
chunk_list *read_partitioned_chunks(const char *path, int32_t partition, volume_notes &notes);

// A reader of the C interface: `read` with the block size it notes
// published.
template <class Read>
chunk_list *published_reader(Read read) {
    volume_notes notes;
    chunk_list *list = read(notes);
    if (notes.block_size) __atomic_store_n(&_block_size, notes.block_size, __ATOMIC_RELAXED);
    return list;
}

// Whether a first sector holds the boot sector of a FAT, exFAT or NTFS
// volume (its own rules checked, not the structures behind it).
bool looks_like_fat_boot(const unsigned char *sector, size_t got);
bool looks_like_exfat_boot(const unsigned char *sector, size_t got);
bool looks_like_ntfs_boot(const unsigned char *sector, size_t got);

inline uint64_t le64(const unsigned char *p) { return uint64_t(le32(p)) | (uint64_t(le32(p + 4)) << 32); }

inline bool is_power_of_two(uint64_t v) { return v && !(v & (v - 1)); }

}  // namespace lmr
