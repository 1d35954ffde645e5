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
#include "volume_notes.h"

#include <cstdint>
#include <cstdio>
#include <unordered_map>
#include <vector>

namespace lmr {

// Data blocks an inode of a block-mapped volume addresses itself.
constexpr uint64_t k_direct_blocks = 12;

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
    // The extent holding physical offset `at`, or null when no free run does.
    const extent *find_physical(uint64_t at) const;
    // The logical offset of a physical offset that lies in extent `index`.
    uint64_t logical_of(size_t index, uint64_t physical) const {
        return extents_[index].logical + (physical - extents_[index].physical);
    }
    const std::vector<extent> &extents() const { return extents_; }

private:
    std::vector<extent> extents_;
    uint64_t size_ = 0;
};

// Blocks of the free space that look like indirect blocks (block numbers,
// then zeros), by their first block number: gathered as the scan walks the
// free space, so that a file's data can be followed through an indirect
// block that lies away from it.
class indirect_index {
public:
    void clear();
    // Notes the block at physical block `block` if its bytes look like an
    // indirect block of a volume of `blocks` blocks.
    void consider(const unsigned char *bytes, uint32_t block_size, uint64_t block, uint64_t blocks);
    // Blocks noted whose first block number is `first`.
    std::vector<uint64_t> lookup(uint64_t first);
    // Set once the whole free space has been walked: a block not noted by
    // then is not there.
    bool complete = false;

private:
    // By first block number, the last block noted with it; each noted
    // block links to the one noted before it with the same number.
    std::unordered_map<uint32_t, uint32_t> last_;
    std::vector<std::pair<uint32_t, uint32_t>> noted_;  // (block, index of the previous one + 1, or 0)
};

// The file a candidate would be if it started at logical offset `start`:
// its bytes are the stream's from there on, except on block-mapped ext
// volumes.  There the first 12 blocks follow in the stream; the rest are
// found through the indirect blocks, the way the file system found them:
// the single indirect block (next in the stream, or noted anywhere in the
// free space with the next block's number first) lists the next blocks by
// number; the double and triple indirect blocks list indirect blocks.  On
// ext3 a cleared indirect block next in the stream (the old ext3 driver
// cleared them on delete) is left out and the file taken to go on after it.  Where no
// indirect block is found, the file is taken to go on in the stream.
// Blocks are placed lazily, as the file's bytes are asked for.
class file_view {
public:
    file_view(const free_space_view &view, int fd, uint64_t start, const block_map_volume &layout,
              indirect_index &indirect);

    // Where file byte `at` lies: its physical offset, and how many file
    // bytes from there are physically contiguous.  False past the file's
    // known end or the stream's end.
    bool locate(uint64_t at, uint64_t *physical, uint64_t *span);
    // File bytes from the candidate that can be served from the scan window
    // as they lie: up to the first block not next in the stream.
    uint64_t contiguous_head(uint64_t window_bytes);
    // The physical runs of the file's first `length` bytes, touching runs
    // joined; empty when they pass the file's known end.
    std::vector<r_run> runs(uint64_t length);
    // Stream bytes from the candidate to the last byte of the file's first
    // `length` bytes that lies in the stream after it (the walk may go on
    // from there).
    uint64_t stream_span(uint64_t length);
    // File bytes left from the candidate to the stream's end (no more than
    // logical bytes left).
    uint64_t limit() const { return view_.size() - start_; }
    uint64_t start() const { return start_; }
    // Bytes of the file's blocks that need no indirect block (all of them
    // when indirect blocks are not followed).
    uint64_t direct_bytes() const { return bs_ ? 12 * bs_ : UINT64_MAX; }
    // The scan window's bytes (`len` of them from physical offset `at`),
    // which blocks are taken from instead of read again.
    void set_window(const unsigned char *data, uint64_t at, uint64_t len) {
        window_ = data;
        window_at_ = at;
        window_len_ = len;
    }
    // Whether an indirect block was looked for in the noted ones before the
    // whole free space was walked, and not found: the candidate is worth
    // probing again once it has been.
    bool wants_more() const { return wants_more_; }
    // The block number the indirect block looked for would start with.
    uint64_t wanted_first() const { return wanted_first_; }

private:
    // File blocks from `file_block` on, `count` of them (UINT64_MAX: open
    // ended), lie either in the stream from `stream_block` (relative to the
    // candidate) or physically from block `physical`.
    struct piece {
        uint64_t file_block;
        uint64_t count;
        bool in_stream;
        uint64_t at;  // stream block or physical block
    };
    // An indirect block being walked: its block numbers, the next to take,
    // and its level (1: the numbers are data blocks).
    struct frame {
        std::vector<uint32_t> entries;
        size_t next = 0;
        int level = 1;
    };
    void place(uint64_t block);
    void place_cleared(uint64_t block);
    bool step_walk();
    bool end_walk();  // the file ends where the walk is; false
    void add_stream(uint64_t count, uint64_t stream_block);
    void add_physical(uint64_t block);
    bool read_block(uint64_t block);
    bool pointer_block(uint64_t block, std::vector<uint32_t> *entries);
    bool root_at_stream(uint64_t stream_block, int level, std::vector<uint32_t> *entries);
    uint64_t find_root(uint64_t first, int level, std::vector<uint32_t> *entries);
    bool next_in_stream(uint64_t *stream_block) const;
    uint64_t physical_block(uint64_t stream_block) const;
    bool stream_block_zero(uint64_t stream_block);
    bool is_free(uint64_t block) const;
    uint64_t meta_before(uint64_t file_block) const;
    uint64_t next_meta(uint64_t file_block) const;

    const free_space_view &view_;
    indirect_index &indirect_;
    int fd_;
    uint64_t start_;
    uint64_t bs_ = 0;       // block size when indirect blocks are followed, else 0
    uint64_t pointers_ = 0; // block numbers in a block
    uint64_t volume_blocks_ = 0;
    std::vector<piece> pieces_;
    uint64_t placed_ = 0;   // file blocks placed so far
    int level_ = 0;         // indirect level reached: 0 direct, 1 single, 2 double, 3 triple
    bool ended_ = false;    // no more blocks will be placed
    bool wants_more_ = false;
    uint64_t wanted_first_ = 0;
    bool cleared_ = false;  // indirect blocks cleared: blocks come from the stream
    bool journal_ = false;
    uint64_t stream_next_ = 0;
    uint64_t pointer_reads_ = 0;
    std::vector<frame> walk_;
    std::vector<unsigned char> block_;
    uint64_t held_block_ = UINT64_MAX;  // the block block_ holds
    const unsigned char *window_ = nullptr;
    uint64_t window_at_ = 0, window_len_ = 0;
};

// A read-only stream over the file bytes of `view`, from file byte 0.
FILE *open_view_stream(const char *path, file_view *view);

}  // namespace lmr
