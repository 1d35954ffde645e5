// The regions to scan on a whole disk with a partition table: each
// partition's free clusters when its file system is read here, the whole
// partition otherwise, and the space between partitions whole.  Offsets are
// those of the disk.
#include "partition_table.h"
#include "volume_readers.h"

#include <cstring>

int32_t scan_partition = 0;

namespace lmr {
namespace {

// The free space of one partition by its file system.  An ext volume's
// block numbers count from the partition's start, not the disk's, so its
// indirect blocks are not followed here: a block-mapped file past its 12th
// block is taken to go on in the free space that follows.
volume_free read_partition(FILE *f, const disk_partition &p) {
    const volume_span span{f, p.start, p.size};
    volume_free r = read_fat_free(span, true);
    if (!r.recognised) r = read_exfat_free(span);
    if (!r.recognised) r = read_ntfs_free(span);
    if (!r.recognised) r = read_ext_free(span, nullptr);
    return r;
}

void add_whole(chunk_list **list, uint64_t start, uint64_t length) {
    if (!length) return;
    chunk c{start, length, nullptr};
    chunk_list *l = add_chunk(*list, &c);
    if (l) *list = l;
}

void append(chunk_list **list, chunk_list *more) {
    for (const chunk *c = more ? more->head : nullptr; c; c = c->next) add_whole(list, c->offset, c->length);
    free_chunk_list(more);
}

void copy_text(char *dst, size_t cap, const std::string &src) {
    size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    memcpy(dst, src.data(), n);
    dst[n] = 0;
}

}  // namespace
}  // namespace lmr

chunk_list *lmr::read_partitioned_chunks(const char *path, int32_t only, volume_notes &notes) {
    lmr::InputHandle input(path);
    FILE *f = input.get();
    if (!f) return nullptr;
    const uint64_t size = lmr::measure_input(f);
    lmr::disk_layout disk;
    if (!lmr::read_partition_table(f, size, &disk)) return nullptr;
    lmr::diag("partition table (%s): %zu partitions", disk.scheme.c_str(), disk.partitions.size());

    chunk_list *list = nullptr;
    uint64_t cursor = 0;
    uint32_t unit = 0;
    bool whole_partition = false;
    bool chosen_found = false;
    for (const lmr::disk_partition &p : disk.partitions) {
        if (only && p.number != only) continue;
        chosen_found = true;
        if (!only) lmr::add_whole(&list, cursor, p.start - cursor);  // space before it
        cursor = p.start + p.size;
        lmr::volume_free r = lmr::read_partition(f, p);
        if (r.recognised) {
            lmr::diag("partition %d: %s, its free clusters are scanned", p.number, r.name);
            if (!unit || r.unit < unit) unit = r.unit;
            if (!r.list) lmr::diag("partition %d: no free cluster", p.number);
            lmr::append(&list, r.list);
        } else {
            lmr::diag("partition %d: no file system read here, scanned whole", p.number);
            whole_partition = true;
            lmr::add_whole(&list, p.start, p.size);
        }
    }
    if (only && !chosen_found) {
        lmr::diag("no partition %d on this disk: the disk is scanned as one volume", only);
        return nullptr;
    }
    if (!only) lmr::add_whole(&list, cursor, size - cursor);  // space after the last
    // Every allocation unit is a power of two, so the smallest steps through
    // the clusters of every partition; a partition read whole goes by sectors.
    notes.block_size = (whole_partition || !unit) ? 512 : unit;
    // A chosen partition without free clusters is scanned whole, as a
    // volume without any is.
    if (!list && only)
        for (const lmr::disk_partition &p : disk.partitions)
            if (p.number == only) lmr::add_whole(&list, p.start, p.size);
    return list;
}

extern "C" {

chunk_list *get_partitioned_chunk_list(const char *path) {
    const int32_t only = lmr::load_flag(&scan_partition);
    return lmr::published_reader([path, only](lmr::volume_notes &n) { return lmr::read_partitioned_chunks(path, only, n); });
}

int list_partitions(const char *path, lmr_partition_info *out, int max, char *scheme) {
    if (scheme) scheme[0] = 0;
    lmr::InputHandle input(path);
    FILE *f = input.get();
    if (!f) return -1;
    const uint64_t size = lmr::measure_input(f);
    lmr::disk_layout disk;
    if (!lmr::read_partition_table(f, size, &disk)) return 0;
    if (scheme) lmr::copy_text(scheme, 8, disk.scheme);
    int n = 0;
    for (const lmr::disk_partition &p : disk.partitions) {
        if (n >= max || !out) break;
        lmr_partition_info &i = out[n++];
        memset(&i, 0, sizeof i);
        i.number = p.number;
        i.start = p.start;
        i.size = p.size;
        lmr::copy_text(i.type, sizeof i.type, p.type);
        lmr::copy_text(i.label, sizeof i.label, p.label);
        lmr::volume_free r = lmr::read_partition(f, p);
        free_chunk_list(r.list);
        lmr::copy_text(i.file_system, sizeof i.file_system, r.recognised ? r.name : "");
    }
    return int(disk.partitions.size());
}

}  // extern "C"
