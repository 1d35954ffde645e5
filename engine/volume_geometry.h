// The boot sectors of FAT, exFAT and NTFS volumes as the free-space readers
// and the directory walks both read them.
#pragma once

#include "volume_readers.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lmr {

struct fat_geometry {
    uint64_t bytes_per_sector = 0;
    uint64_t sectors_per_cluster = 0;
    uint64_t reserved = 0;
    uint64_t fats = 0;
    uint64_t fat_sectors = 0;
    uint64_t total_sectors = 0;
    uint64_t data_start = 0;  // bytes from the volume's start
    uint64_t clusters = 0;
    int bits = 0;             // 12, 16 or 32
};

struct exfat_geometry {
    uint64_t bytes_per_sector;
    uint64_t cluster_bytes;
    uint64_t fat_offset;   // bytes from the volume's start (the active FAT)
    uint64_t heap_offset;  // bytes
    uint64_t clusters;
    uint64_t root;
    unsigned active;       // 0 or 1: which FAT and bitmap are in use
};

struct ntfs_geometry {
    uint64_t bytes_per_sector;
    uint64_t cluster_bytes;
    uint64_t clusters;
    uint64_t mft_offset;   // bytes from the volume's start
    uint64_t record_bytes;
};

// A boot sector's fields, checked against the file system's own rules;
// false when they do not hold.
bool parse_fat_boot(const unsigned char *b, size_t got, fat_geometry *g);
bool parse_ntfs_boot(const unsigned char *b, size_t got, ntfs_geometry *g);
// The exFAT boot region whose checksum holds: the main one, else the
// backup (said in a diagnostic line).
bool read_exfat_boot(const volume_span &v, exfat_geometry *g);

// Checks an NTFS file record ("FILE", update sequence) and puts back the
// sector ends its update sequence replaced.
bool apply_fixups(unsigned char *rec, size_t bytes);

// A run of clusters of a non-resident NTFS attribute.
struct data_run {
    uint64_t lcn;  // ~0: sparse
    uint64_t length;
};

// Decodes the runs of the non-resident attribute `a` of `len` bytes (its
// run list at the offset the attribute names), in order.  False when a run
// leaves a volume of `clusters` clusters: the runs before it are kept.
bool decode_runs(const unsigned char *a, size_t len, uint64_t clusters, std::vector<data_run> *runs);

}  // namespace lmr
