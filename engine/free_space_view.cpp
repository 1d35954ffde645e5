// Free space read as one stream, and the files a candidate would be in it.
#include "free_space_view.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace lmr {

block_map_volume free_space_layout;

namespace {

thread_local file_view *current_view = nullptr;

constexpr uint64_t k_direct_blocks = 12;  // data blocks an inode addresses itself

uint32_t le32_at(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

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

file_view::file_view(const free_space_view &view, int fd, uint64_t start, const block_map_volume &layout)
    : view_(view), fd_(fd), start_(start) {
    stretches_.push_back({0, 0});
    if (layout.block_mapped && layout.block_size >= 1024 && start % layout.block_size == 0) {
        bs_ = layout.block_size;
        pointers_ = bs_ / 4;
        volume_blocks_ = layout.blocks;
    } else {
        model_ended_ = true;  // no blocks are looked for
    }
}

// Metadata blocks the file system writes just before data block `k` of a
// block-mapped file: the single indirect block before block 12; the double
// indirect and its first indirect block where the double range begins, one
// indirect block every `pointers_` blocks after; the same one level up in
// the triple range.
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
    const free_space_view::extent *e = view_.find(start_ + stream_block * bs_);
    if (!e) return 0;
    return (e->physical + (start_ + stream_block * bs_ - e->logical)) / bs_;
}

// An indirect block of a deleted file: cleared by the file system, or still
// holding the block numbers of the blocks that follow it, the first being
// the next block of the stream, then numbers of the volume, then zeros.
bool file_view::is_indirect(uint64_t stream_block) {
    const uint64_t at = start_ + stream_block * bs_;
    const free_space_view::extent *e = view_.find(at);
    if (!e || e->logical + e->length - at < bs_) return false;
    block_.resize(bs_);
    if (!read_fully(fd_, block_.data(), bs_, e->physical + (at - e->logical))) return false;
    const unsigned char *b = block_.data();
    bool zero = true;
    for (uint64_t i = 0; i < bs_ && zero; ++i) zero = b[i] == 0;
    if (zero) return true;
    const uint64_t next = physical_block(stream_block + 1);
    if (next == 0 || le32_at(b) != next) return false;
    bool ended = false;
    for (uint64_t i = 0; i < pointers_; ++i) {
        const uint32_t n = le32_at(b + 4 * i);
        if (n == 0) {
            ended = true;
        } else if (ended || n >= volume_blocks_) {
            return false;
        }
    }
    return true;
}

void file_view::place(uint64_t block) {
    while (!model_ended_ && placed_ <= block) {
        const uint64_t m = meta_before(placed_);
        if (m) {
            for (uint64_t i = 0; i < m; ++i) {
                if (!is_indirect(next_stream_ + i)) {
                    model_ended_ = true;
                    return;
                }
            }
            next_stream_ += m;
            stretches_.push_back({placed_, next_stream_});
        }
        // The blocks up to the next place of metadata follow in the stream.
        const uint64_t upto = std::min(next_meta(placed_ + 1), block + 1);
        next_stream_ += upto - placed_;
        placed_ = upto;
    }
}

bool file_view::locate(uint64_t at, uint64_t *physical, uint64_t *span) {
    uint64_t logical = 0;
    uint64_t in_stretch = UINT64_MAX;
    if (bs_ == 0) {
        logical = start_ + at;
    } else {
        const uint64_t block = at / bs_;
        place(block);
        auto it = std::upper_bound(stretches_.begin(), stretches_.end(), block,
                                   [](uint64_t v, const stretch &s) { return v < s.file_block; });
        --it;
        logical = start_ + (it->stream_block + (block - it->file_block)) * bs_ + at % bs_;
        if (it + 1 != stretches_.end()) {
            in_stretch = (it[1].file_block - block) * bs_ - at % bs_;
        } else if (!model_ended_) {
            // Up to the next place an indirect block may stand.
            const uint64_t next = next_meta(block + 1);
            if (next != UINT64_MAX) in_stretch = (next - block) * bs_ - at % bs_;
        }
    }
    if (logical < start_) return false;  // wrapped
    const free_space_view::extent *e = view_.find(logical);
    if (!e) return false;
    *physical = e->physical + (logical - e->logical);
    const uint64_t in_extent = e->logical + e->length - logical;
    *span = std::min(in_extent, in_stretch);
    return true;
}

uint64_t file_view::contiguous_head(uint64_t window_bytes) {
    if (bs_ == 0) return window_bytes;
    place(k_direct_blocks);
    if (stretches_.size() > 1) return std::min(window_bytes, k_direct_blocks * bs_);
    return window_bytes;
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

uint64_t file_view::logical_end(uint64_t length) {
    if (length == 0) return start_;
    uint64_t physical = 0, span = 0;
    if (!locate(length - 1, &physical, &span)) return view_.size();
    // The logical offset of that byte, found back from its extent.
    const auto &ex = view_.extents();
    auto it = std::upper_bound(ex.begin(), ex.end(), physical,
                               [](uint64_t v, const free_space_view::extent &e) { return v < e.physical; });
    --it;
    return it->logical + (physical - it->physical) + 1;
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
    cookie_io_functions_t io{};
    io.read = view_read;
    io.write = nullptr;  // inputs are never written
    io.seek = view_seek;
    io.close = view_close;
    FILE *f = fopencookie(s, "rb", io);
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
