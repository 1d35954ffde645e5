// The indirect-block walk of ext2 and ext3 in free space read as one
// stream: the indirect blocks noted while the scan reads the free space,
// and how a file_view places the blocks of a candidate past its twelfth by
// following (or, where they were cleared, inferring) its indirect trees.
#include "free_space_view.h"
#include "free_runs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace lmr {

namespace {

bool read_fully(int fd, unsigned char *buffer, uint64_t count, uint64_t offset) {
    uint64_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, buffer + done, size_t(count - done), off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += uint64_t(n);
    }
    return true;
}

// Indirect blocks noted in one scan: a real one stands for 256 to 1024
// data blocks, so this covers terabytes; about 50 bytes each at most.
constexpr size_t k_index_max = size_t(1) << 22;
constexpr uint64_t k_pointer_reads_max = 1u << 16;  // indirect blocks one candidate may read
}  // namespace

void indirect_index::clear() {
    last_ = {};
    noted_ = {};
    complete = false;
}

void indirect_index::consider(const unsigned char *bytes, uint32_t block_size, uint64_t block, uint64_t blocks) {
    if (block_size < 1024 || block > UINT32_MAX) return;
    // The quick test: the first two numbers.  A file's first indirect
    // entries nearly always name blocks of the volume, and different ones.
    const uint32_t e0 = le32(bytes), e1 = le32(bytes + 4);
    if (e0 == 0 || e0 >= blocks) return;
    if (e1 != 0 && (e1 >= blocks || e1 == e0)) return;
    if (noted_.size() >= k_index_max) return;
    uint32_t &last = last_[e0];
    noted_.push_back({uint32_t(block), last});
    last = uint32_t(noted_.size());
}

std::vector<uint64_t> indirect_index::lookup(uint64_t first) {
    std::vector<uint64_t> out;
    if (first > UINT32_MAX) return out;
    auto it = last_.find(uint32_t(first));
    for (uint32_t i = it == last_.end() ? 0 : it->second; i && out.size() < 16; i = noted_[i - 1].second)
        out.push_back(noted_[i - 1].first);
    return out;
}

// Metadata blocks the file system writes just before data block `k` of a
// block-mapped file when it allocates them with the data: the single
// indirect block before block 12; the double indirect and its first
// indirect block where the double range begins, one indirect block every
// `pointers_` blocks after; the same one level up in the triple range.
uint64_t file_view::meta_before(uint64_t k) const {
    const uint64_t p = pointers_;
    if (k == k_direct_blocks) return 1;
    const uint64_t dbl = k_direct_blocks + p;
    const uint64_t tpl = dbl + p * p;
    if (k >= dbl && k < tpl) {
        const uint64_t j = k - dbl;
        return j % p ? 0 : (j == 0 ? 2 : 1);
    }
    if (k >= tpl && (k - tpl) / p / p < p) {
        const uint64_t j = k - tpl;
        if (j % p) return 0;
        if (j == 0) return 3;
        return j % (p * p) == 0 ? 2 : 1;
    }
    return 0;
}

uint64_t file_view::next_meta(uint64_t k) const {
    const uint64_t p = pointers_;
    if (k <= k_direct_blocks) return k_direct_blocks;
    const uint64_t dbl = k_direct_blocks + p;
    if (k <= dbl) return dbl;
    const uint64_t tpl = dbl + p * p;
    if (k <= tpl) return std::min(tpl, dbl + (k - dbl + p - 1) / p * p);
    const uint64_t next = tpl + (k - tpl + p - 1) / p * p;
    return (next - tpl) / p / p < p ? next : UINT64_MAX;
}

uint64_t file_view::physical_block(uint64_t stream_block) const {
    const uint64_t at = start_ + stream_block * bs_;
    const free_space_view::extent *e = view_.find(at);
    if (!e || e->logical + e->length - at < bs_) return 0;
    return (e->physical + (at - e->logical)) / bs_;
}

bool file_view::is_free(uint64_t block) const {
    if (block == 0 || block >= volume_blocks_) return false;
    const uint64_t at = block * bs_;
    const free_space_view::extent *e = view_.find_physical(at);
    return e && at - e->physical + bs_ <= e->length;
}

bool file_view::read_block(uint64_t block) {
    if (block == held_block_) return true;
    if (++pointer_reads_ > k_pointer_reads_max) return false;
    block_.resize(bs_);
    held_block_ = UINT64_MAX;
    const uint64_t at = block * bs_;
    // From the scan window when it holds the block (and could read it).
    if (window_ && at >= window_at_ && at - window_at_ <= window_len_ && window_len_ - (at - window_at_) >= bs_ &&
        readable_bytes(window_ + (at - window_at_), bs_) == bs_) {
        memcpy(block_.data(), window_ + (at - window_at_), bs_);
    } else if (!read_fully(fd_, block_.data(), bs_, at)) {
        return false;
    }
    held_block_ = block;
    return true;
}

// A free block holding block numbers of the volume (a 0 among them is a
// hole of the file: a block of zeros the file system did not store), then
// only zeros.  The entries stop at the last number.
bool file_view::pointer_block(uint64_t block, std::vector<uint32_t> *entries) {
    if (!is_free(block) || !read_block(block)) return false;
    entries->clear();
    size_t last = 0;
    for (uint64_t i = 0; i < pointers_; ++i) {
        const uint32_t n = le32(block_.data() + 4 * i);
        if (n >= volume_blocks_) return false;
        entries->push_back(n);
        if (n) last = entries->size();
    }
    entries->resize(last);
    return !entries->empty() && (*entries)[0] != 0;
}

bool file_view::stream_block_zero(uint64_t stream_block) {
    const uint64_t block = physical_block(stream_block);
    if (!block || !read_block(block)) return false;
    for (unsigned char b : block_)
        if (b) return false;
    return true;
}

// An indirect tree of `level` stored where the file system allocates it
// with the data: at stream block `s`, pointing at the next stream block
// (the data, or the tree's first indirect block one level down).
bool file_view::root_at_stream(uint64_t s, int level, std::vector<uint32_t> *entries) {
    const uint64_t block = physical_block(s), next = physical_block(s + 1);
    if (!block || !next || !pointer_block(block, entries) || (*entries)[0] != next) return false;
    if (level == 1) return true;
    std::vector<uint32_t> below;
    return root_at_stream(s + 1, level - 1, &below);
}

// An indirect tree of `level` noted anywhere in the free space whose first
// data block is `first`.
uint64_t file_view::find_root(uint64_t first, int level, std::vector<uint32_t> *entries) {
    uint64_t child = first;
    if (level > 1) {
        child = find_root(first, level - 1, entries);
        if (!child) return 0;
    }
    for (uint64_t block : indirect_.lookup(child)) {
        if (pointer_block(block, entries) && (*entries)[0] == child) return block;
    }
    return 0;
}

void file_view::add_stream(uint64_t count, uint64_t stream_block) {
    pieces_.push_back({placed_, count, true, stream_block});
    placed_ = count == UINT64_MAX ? UINT64_MAX : placed_ + count;
}

void file_view::add_physical(uint64_t block) {
    if (!pieces_.empty()) {
        piece &last = pieces_.back();
        if (!last.in_stream && last.at + last.count == block) {
            ++last.count;
            ++placed_;
            return;
        }
    }
    if (pieces_.size() > LMR_MAX_RUNS) {
        ended_ = true;
        return;
    }
    pieces_.push_back({placed_, 1, false, block});
    ++placed_;
}

// The stream block after the last block placed, when that lies in the
// stream after the candidate.
bool file_view::next_in_stream(uint64_t *stream_block) const {
    if (pieces_.empty()) return false;
    const piece &last = pieces_.back();
    if (last.in_stream) {
        if (last.count == UINT64_MAX) return false;
        *stream_block = last.at + last.count;
        return true;
    }
    const uint64_t at = (last.at + last.count - 1) * bs_;  // the last block, physically
    const free_space_view::extent *e = view_.find_physical(at);
    if (!e) return false;
    const uint64_t logical = e->logical + (at - e->physical) + bs_;
    if (logical < start_ || logical >= view_.size()) return false;
    *stream_block = (logical - start_) / bs_;
    return true;
}

bool file_view::end_walk() {
    ended_ = true;
    walk_.clear();
    return false;
}

// One data block more from the indirect tree being walked; false when the
// tree holds no more (ended_ tells whether the file ends there too).
bool file_view::step_walk() {
    while (!walk_.empty()) {
        frame &f = walk_.back();
        if (f.next >= f.entries.size()) {
            // An indirect block not full: the file ends with it.
            if (f.entries.size() != pointers_) return end_walk();
            walk_.pop_back();
            continue;
        }
        const uint32_t n = f.entries[f.next++];
        // A hole (bytes the stream does not hold) ends the file as followed,
        // and so does a data block in use or a child that holds no numbers.
        if (n == 0) return end_walk();
        if (f.level == 1) {
            if (!is_free(n)) return end_walk();
            add_physical(n);
            return !ended_;
        }
        frame child;
        child.level = f.level - 1;
        if (!pointer_block(n, &child.entries)) return end_walk();
        walk_.push_back(std::move(child));
    }
    return false;
}

void file_view::place(uint64_t block) {
    if (pieces_.empty()) {
        if (bs_ == 0) {
            add_stream(UINT64_MAX, 0);
            ended_ = true;
            return;
        }
        add_stream(k_direct_blocks, 0);
    }
    while (!ended_ && placed_ <= block) {
        if (!walk_.empty()) {
            step_walk();
            continue;
        }
        if (cleared_) {
            place_cleared(block);
            continue;
        }
        if (level_ >= 3) {
            ended_ = true;
            break;
        }
        const int level = level_ + 1;
        uint64_t s = 0;
        if (!next_in_stream(&s)) {
            ended_ = true;
            break;
        }
        frame root;
        root.level = level;
        if (root_at_stream(s, level, &root.entries)) {
            walk_.push_back(std::move(root));
            level_ = level;
            continue;
        }
        const uint64_t next = physical_block(s);
        if (next && find_root(next, level, &root.entries)) {
            walk_.push_back(std::move(root));
            level_ = level;
            continue;
        }
        // The single indirect block cleared (the old ext3 driver cleared
        // them on delete): the blocks go on in the stream, cleared indirect
        // blocks left out where they would stand.
        if (level == 1 && journal_ && stream_block_zero(s)) {
            cleared_ = true;
            stream_next_ = s;
            continue;
        }
        // No indirect block found: the file is taken to go on in the stream.
        if (!indirect_.complete) {
            wants_more_ = true;
            wanted_first_ = next;
        }
        add_stream(UINT64_MAX, s);
        ended_ = true;
    }
}

// Blocks of a file whose indirect blocks were cleared, from the stream.
void file_view::place_cleared(uint64_t block) {
    const uint64_t m = meta_before(placed_);
    if (m) {
        for (uint64_t i = 0; i < m; ++i) {
            if (!stream_block_zero(stream_next_ + i)) {
                add_stream(UINT64_MAX, stream_next_);
                ended_ = true;
                return;
            }
        }
        stream_next_ += m;
    }
    const uint64_t upto = std::min(next_meta(placed_ + 1), block + 1);
    const uint64_t count = upto - placed_;
    if (!pieces_.empty() && pieces_.back().in_stream && pieces_.back().at + pieces_.back().count == stream_next_) {
        pieces_.back().count += count;
        placed_ += count;
    } else {
        add_stream(count, stream_next_);
    }
    stream_next_ += count;
}

}  // namespace lmr
