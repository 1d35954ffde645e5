// Partition tables of a whole disk: MBR (with extended and logical
// partitions) and GPT (with its backup header), read from hostile bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lmr {

struct disk_partition {
    int number;          // MBR: 1 to 4 primary, 5 on logical; GPT: entry index + 1
    uint64_t start;      // bytes of the input
    uint64_t size;       // bytes, clipped to the input and to the partition before
    std::string type;    // "0x0c", or the GPT type's name or GUID
    std::string label;   // GPT name (UTF-8), empty on MBR
};

struct disk_layout {
    std::string scheme;  // "MBR" or "GPT"
    std::vector<disk_partition> partitions;  // ascending start, not overlapping
};

// Reads the partition table of an input of `size` bytes.  False when there
// is none, or when it is too damaged to trust (said in a diagnostic line):
// the input is then a volume of its own.  A first sector that is a FAT,
// exFAT or NTFS boot sector is a volume, not a table.
bool read_partition_table(FILE *f, uint64_t size, disk_layout *out);

}  // namespace lmr
