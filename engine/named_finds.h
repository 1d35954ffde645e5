// Deleted files that a file system still names: what the directory walks
// of FAT, exFAT and NTFS volumes return, and the helpers they share.
#pragma once

#include "engine/run_records.h"
#include "volume_readers.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lmr {

constexpr int64_t kNoTime = INT64_MIN;
// Bounds of a walk, whatever the volume claims.
constexpr size_t kMaxNamedFinds = 1u << 20;
constexpr uint64_t kMaxEntriesWalked = 1u << 24;
constexpr unsigned kMaxFolderDepth = 64;
constexpr size_t kMaxPathBytes = 1000;  // leaves room for a partition's folder in a 1024-byte field

struct named_find {
    std::string path;  // relative: parts made safe, joined by '/'
    uint64_t size = 0;
    int64_t modified = kNoTime, created = kNoTime, accessed = kNoTime;  // seconds since 1970, UTC
    std::vector<r_run> runs;  // offsets of the input, in file order
    bool overwritten = false;  // some of its clusters now belong to a live file
    bool head_free = false;    // its first cluster is still free
    // The runs are the file's own, as the file system kept them (NTFS runs,
    // an exFAT file kept contiguous or whose chain survived); false where
    // they are taken in a row from the first cluster only because deleting
    // cleared the chain.
    bool runs_known = false;
};

// One part of a path as it may stand in a folder of the local file
// system: no '/', no NUL or other control character, never "." or "..",
// no more than 255 bytes of UTF-8.
std::string safe_part(const std::string &utf8);
// Parts joined by '/', each made safe; the leading folders are dropped
// when the whole would be longer than kMaxPathBytes.
std::string safe_path(const std::vector<std::string> &parts);
// UTF-16LE code units to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(const unsigned char *le, size_t units);
// Seconds since 1970 of a calendar date and time taken as UTC; kNoTime
// when the fields are out of range.
int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second);

// The free runs of a volume (as its reader lists them), to tell whether a
// deleted file's bytes are still free.
class free_map {
public:
    explicit free_map(const chunk_list *list);
    bool all_free(const std::vector<r_run> &runs) const;
    // Whether the first `cluster` bytes of the runs (no more than they
    // hold) are free.
    bool head_free(const std::vector<r_run> &runs, uint64_t cluster) const {
        if (runs.empty()) return false;
        return all_free({{runs[0].offset, runs[0].length < cluster ? runs[0].length : cluster}});
    }

private:
    std::vector<r_run> free_;
};

std::vector<named_find> walk_fat_names(const volume_span &v);
std::vector<named_find> walk_exfat_names(const volume_span &v);
std::vector<named_find> walk_ntfs_names(const volume_span &v);

}  // namespace lmr
