// Free space read as one stream, and the files a candidate would be in it.
#include "free_space_view.h"
#include "free_runs.h"

#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace lmr {

block_map_volume free_space_layout;

namespace {

thread_local file_view *current_view = nullptr;

constexpr uint64_t k_direct_blocks = 12;  // data blocks an inode addresses itself

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

}  // namespace

file_view *probing_view() { return current_view; }
void set_probing_view(file_view *view) { current_view = view; }

free_space_view::free_space_view(const chunk_list *list) {
    for (const chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (c->length == 0) continue;
        // Runs ascend; one that would overlap or go back is not taken.
        if (!extents_.empty()) {
            const extent &last = extents_.back();
            if (c->offset < last.physical + last.length) continue;
        }
        if (c->length > UINT64_MAX - size_) break;
        extents_.push_back({size_, c->offset, c->length});
        size_ += c->length;
    }
}

const free_space_view::extent *free_space_view::find(uint64_t at) const {
    if (at >= size_) return nullptr;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), at,
                               [](uint64_t v, const extent &e) { return v < e.logical; });
    if (it == extents_.begin()) return nullptr;
    --it;
    return at - it->logical < it->length ? &*it : nullptr;
}

const free_space_view::extent *free_space_view::find_physical(uint64_t at) const {
    auto it = std::upper_bound(extents_.begin(), extents_.end(), at,
                               [](uint64_t v, const extent &e) { return v < e.physical; });
    if (it == extents_.begin()) return nullptr;
    --it;
    return at - it->physical < it->length ? &*it : nullptr;
}

namespace {
// Indirect blocks noted in one scan: a real one stands for 256 to 1024
// data blocks, so this covers terabytes; about 50 bytes each at most.
constexpr size_t k_index_max = size_t(1) << 22;
constexpr uint64_t k_pointer_reads_max = 1u << 16;  // indirect blocks one candidate may read
}  // namespace

indirect_index indirect_blocks;

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

file_view::file_view(const free_space_view &view, int fd, uint64_t start, const block_map_volume &layout)
    : view_(view), fd_(fd), start_(start) {
    if (layout.block_mapped && layout.block_size >= 1024 && start % layout.block_size == 0) {
        bs_ = layout.block_size;
        pointers_ = bs_ / 4;
        volume_blocks_ = layout.blocks;
        journal_ = layout.journal;
    }
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
    for (uint64_t block : indirect_blocks.lookup(child)) {
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
        if (!indirect_blocks.complete) {
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

bool file_view::locate(uint64_t at, uint64_t *physical, uint64_t *span) {
    if (bs_ == 0) {
        if (at > UINT64_MAX - start_) return false;
        const uint64_t logical = start_ + at;
        const free_space_view::extent *e = view_.find(logical);
        if (!e) return false;
        *physical = e->physical + (logical - e->logical);
        *span = e->logical + e->length - logical;
        return true;
    }
    const uint64_t block = at / bs_, within = at % bs_;
    place(block);
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), block,
                               [](uint64_t v, const piece &p) { return v < p.file_block; });
    if (it == pieces_.begin()) return false;
    --it;
    const uint64_t into = block - it->file_block;
    if (it->count != UINT64_MAX && into >= it->count) return false;
    const uint64_t left =
        it->count == UINT64_MAX || it->count - into > UINT64_MAX / bs_ ? UINT64_MAX : (it->count - into) * bs_ - within;
    if (!it->in_stream) {
        *physical = (it->at + into) * bs_ + within;
        *span = left;
        return true;
    }
    if (it->at + into > (UINT64_MAX - start_) / bs_) return false;
    const uint64_t logical = start_ + (it->at + into) * bs_ + within;
    const free_space_view::extent *e = view_.find(logical);
    if (!e) return false;
    *physical = e->physical + (logical - e->logical);
    *span = std::min(e->logical + e->length - logical, left);
    return true;
}

uint64_t file_view::contiguous_head(uint64_t window_bytes) {
    if (bs_ == 0) return window_bytes;
    place(k_direct_blocks);
    // The stream from the candidate as far as the file's blocks follow it.
    uint64_t blocks = 0;
    for (const piece &p : pieces_) {
        if (!p.in_stream || p.at != p.file_block) break;
        if (p.count == UINT64_MAX) return window_bytes;
        blocks += p.count;
    }
    return blocks >= window_bytes / bs_ ? window_bytes : blocks * bs_;
}

std::vector<r_run> file_view::runs(uint64_t length) {
    std::vector<r_run> out;
    uint64_t at = 0;
    while (at < length) {
        uint64_t physical = 0, span = 0;
        if (!locate(at, &physical, &span) || span == 0) return {};
        const uint64_t n = std::min(span, length - at);
        if (!out.empty() && out.back().offset + out.back().length == physical) {
            out.back().length += n;
        } else {
            if (out.size() > LMR_MAX_RUNS) return out;  // the caller drops it
            out.push_back({physical, n});
        }
        at += n;
    }
    return out;
}

uint64_t file_view::stream_span(uint64_t length) {
    if (bs_ == 0 || length == 0) return length;
    const uint64_t blocks = (length + bs_ - 1) / bs_;
    place(blocks - 1);
    // The last stream block the file takes among the pieces that lie in
    // the stream.
    uint64_t end = 0;
    for (const piece &p : pieces_) {
        if (p.file_block >= blocks) break;
        if (!p.in_stream) continue;
        const uint64_t n = p.count == UINT64_MAX ? blocks - p.file_block : std::min(p.count, blocks - p.file_block);
        end = std::max(end, p.at + n);
    }
    return end * bs_;
}

namespace {

struct view_stream {
    FILE *input;  // the input, kept open for its descriptor
    int fd;
    file_view *view;
    uint64_t start;  // logical offset of file byte 0
    uint64_t position;  // logical, as the reader's stream positions count
};

ssize_t view_read(void *cookie, char *buffer, size_t size) {
    auto *s = static_cast<view_stream *>(cookie);
    if (size == 0 || s->position < s->start) return 0;
    uint64_t physical = 0, span = 0;
    if (!s->view->locate(s->position - s->start, &physical, &span) || span == 0) return 0;
    const size_t want = span < size ? size_t(span) : size;
    for (;;) {
        ssize_t n = ::pread(s->fd, buffer, want, off_t(physical));
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) s->position += uint64_t(n);
        return n;
    }
}

int view_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<view_stream *>(cookie);
    int64_t from = 0;
    if (whence == SEEK_CUR) {
        from = int64_t(s->position);
    } else if (whence == SEEK_END) {
        from = int64_t(s->start + s->view->limit());
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if ((*offset > 0 && from > INT64_MAX - *offset) || from + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    s->position = uint64_t(from + *offset);
    *offset = off64_t(s->position);
    return 0;
}

int view_close(void *cookie) {
    auto *s = static_cast<view_stream *>(cookie);
    int r = s->input ? fclose(s->input) : 0;
    delete s;
    return r;
}

}  // namespace

FILE *open_view_stream(const char *path, file_view *view) {
    if (!view) return nullptr;
    FILE *input = open_input(path);
    if (!input) return nullptr;
    auto *s = new view_stream{input, input_fd(input), view, view->start(), 0};
    FILE *f = open_read_only_stream(s, view_read, view_seek, view_close);
    if (!f) {
        const int err = errno;
        fclose(input);
        delete s;
        errno = err;
        return nullptr;
    }
    return f;
}

}  // namespace lmr
