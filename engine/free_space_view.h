// Free space read as one stream (deep scan of a file system's free space).
//
// A file written around a live file lies in two or more free runs; a file
// system that keeps block numbers in the file's own blocks (ext2 and ext3
// indirect blocks) puts them between its data.  The scan still walks the
// free runs one by one, but a probe reads on from a candidate through a
// view that joins the free runs in order, as if they were one, and leaves
// out the blocks it recognises as indirect blocks.  A find is then reported
// with the byte runs it occupies.
//
// Offsets of the joined stream are "logical": the logical offset of a byte
// of the k-th free run is the sum of the lengths of the runs before it plus
// its distance into the run.
#pragma once

#include "engine_internal.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace lmr {

class free_space_view {
public:
    struct extent {
        uint64_t logical;
        uint64_t physical;
        uint64_t length;
    };

    // The free runs of `list` in order (they ascend and do not overlap).
    explicit free_space_view(const chunk_list *list);

    uint64_t size() const { return size_; }
    bool empty() const { return extents_.empty(); }
    // The extent holding logical offset `at`, or null past the end.
    const extent *find(uint64_t at) const;
    // The logical offset of a physical offset that lies in extent `index`.
    uint64_t logical_of(size_t index, uint64_t physical) const {
        return extents_[index].logical + (physical - extents_[index].physical);
    }
    const std::vector<extent> &extents() const { return extents_; }

private:
    std::vector<extent> extents_;
    uint64_t size_ = 0;
};

// What the free-space reader learnt of the volume's layout of files: set by
// get_free_chunk_list, for the scan that follows.
struct block_map_volume {
    bool block_mapped = false;  // ext2/ext3: files reach their later blocks through indirect blocks
    uint32_t block_size = 0;
    uint64_t blocks = 0;        // blocks of the volume
};
extern block_map_volume free_space_layout;

// The file a candidate would be if it started at logical offset `start`:
// its bytes are the stream's from there on, less the indirect blocks
// recognised on the way (block-mapped ext volumes only).  Indirect blocks
// are recognised lazily, as the file's bytes are asked for: at each place
// the file system would have put one (after the 12th data block, then
// after each run of block numbers an indirect block holds), a block that
// is all zeros (the file system cleared it on delete) or that holds the
// block numbers of the blocks that follow it.  Where the expected block is
// neither, the file is taken to go on without skipping.
class file_view {
public:
    file_view(const free_space_view &view, int fd, uint64_t start, const block_map_volume &layout);

    // Where file byte `at` lies: its physical offset, and how many file
    // bytes from there are physically contiguous (within one extent and
    // one stretch between skipped blocks).  False past the stream's end.
    bool locate(uint64_t at, uint64_t *physical, uint64_t *span);
    // File bytes from the candidate that can be served from the scan window
    // as they lie: up to the first skipped block (all when none is).
    uint64_t contiguous_head(uint64_t window_bytes);
    // The physical runs of the file's first `length` bytes, touching runs
    // joined; empty when they pass the stream's end.
    std::vector<r_run> runs(uint64_t length);
    // The logical offset just after the file's first `length` bytes.
    uint64_t logical_end(uint64_t length);
    // File bytes left from the candidate to the stream's end (no more than
    // logical bytes left).
    uint64_t limit() const { return view_.size() - start_; }
    uint64_t start() const { return start_; }

private:
    // One stretch of data blocks: file blocks from `file_block` lie at
    // stream blocks from `stream_block` (relative to the candidate).
    struct stretch {
        uint64_t file_block;
        uint64_t stream_block;
    };
    // Extends the stretches until file block `block` is placed.
    void place(uint64_t block);
    uint64_t meta_before(uint64_t file_block) const;
    // The first data block from `file_block` on with metadata before it
    // (UINT64_MAX when none).
    uint64_t next_meta(uint64_t file_block) const;
    bool is_indirect(uint64_t stream_block);
    uint64_t physical_block(uint64_t stream_block) const;

    const free_space_view &view_;
    int fd_;
    uint64_t start_;
    uint64_t bs_ = 0;       // block size when indirect blocks are looked for, else 0
    uint64_t pointers_ = 0; // block numbers in a block
    uint64_t volume_blocks_ = 0;
    std::vector<stretch> stretches_;
    uint64_t placed_ = 0;   // file blocks placed so far
    uint64_t next_stream_ = 0;
    bool model_ended_ = false;
    std::vector<unsigned char> block_;
};

// The view a probe's reader opens its stream through while a candidate of
// a free-space stream scan is probed (null otherwise).  Set by the scan
// driver on its own thread around each probe.
file_view *probing_view();
void set_probing_view(file_view *view);

// A read-only stream over the file bytes of `view`, from file byte 0.
FILE *open_view_stream(const char *path, file_view *view);

}  // namespace lmr
