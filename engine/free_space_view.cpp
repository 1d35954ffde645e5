// Free space read as one stream, and the files a candidate would be in it.
// The walk of a block-mapped file's indirect blocks is in
// ext2_indirect_blocks.cpp.
#include "free_space_view.h"
#include "free_runs.h"

#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace lmr {

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

file_view::file_view(const free_space_view &view, int fd, uint64_t start, const block_map_volume &layout,
                     indirect_index &indirect)
    : view_(view), indirect_(indirect), fd_(fd), start_(start) {
    if (layout.block_mapped && layout.block_size >= 1024 && start % layout.block_size == 0) {
        bs_ = layout.block_size;
        pointers_ = bs_ / 4;
        volume_blocks_ = layout.blocks;
        journal_ = layout.journal;
    }
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
