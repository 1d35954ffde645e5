// A probe's view of the input: a stream window with its own lazily opened
// handle, and the byte reader that serves the scan buffer's bytes first.
#include "engine_internal.h"
#include "scan_run.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {
constexpr uint32_t k_search_window = 10240;
}  // namespace

void lmr::window_marks::mark(uint64_t at, uint64_t len) {
    if (!window || len == 0) return;
    // Runs come in ascending order; touching ones are joined.
    if (!runs.empty() && runs.back().second >= at) {
        runs.back().second = std::max(runs.back().second, at + len);
    } else {
        runs.push_back({at, at + len});
    }
    any = true;
}

uint64_t lmr::window_marks::readable(const unsigned char *p, uint64_t n) const {
    const uintptr_t from = reinterpret_cast<uintptr_t>(window), here = reinterpret_cast<uintptr_t>(p);
    if (!any || !window || here < from) return n;
    const uint64_t at = uint64_t(here - from);
    // The first run that ends after `at`.
    auto run = std::upper_bound(runs.begin(), runs.end(), at,
                                [](uint64_t v, const std::pair<uint64_t, uint64_t> &r) { return v < r.second; });
    if (run == runs.end()) return n;
    if (run->first <= at) return 0;
    return std::min(n, run->first - at);
}

uint64_t lmr::readable_bytes(const unsigned char *p, uint64_t n) {
    const scan_run *run = running_here();
    return run ? run->unreadable.readable(p, n) : n;
}

extern "C" {

void stream_init(stream *s) {
    if (s) s->file = nullptr;
}

int stream_free(stream *s) {
    if (!s || !s->file) return 0;
    int r = fclose(s->file);
    s->file = nullptr;
    return r;
}

int stream_seek(stream *s, uint64_t position, int whence) {
    (void)whence;  // always from the start of the window
    if (!s) return 1;
    if (!s->file) {
        // While a candidate of the joined free space is probed, its reader
        // reads the file's bytes wherever they lie.
        const lmr::scan_run *run = lmr::running_here();
        lmr::file_view *view = run ? run->probing_view : nullptr;
        s->file = view ? lmr::open_view_stream(s->path, view) : lmr::open_input(s->path);
        if (!s->file) return 1;
    }
    if (position > UINT64_MAX - s->base) return 1;
    return seek_aligned(s->file, s->base + position) == 0 ? 0 : 1;
}

uint32_t stream_read(stream *s, void *destination, uint32_t count) {
    if (!s || !destination) return 0;
    if (!s->file && stream_seek(s, 0, SEEK_SET) != 0) return 0;
    return static_cast<uint32_t>(fread(destination, 1, count, s->file));
}

bs *bs_init(stream *s, uint32_t capacity) {
    auto *r = static_cast<bs *>(calloc(1, sizeof(bs)));
    if (!r) return nullptr;
    r->buffer = static_cast<unsigned char *>(malloc(capacity ? capacity : 1));
    if (!r->buffer) {
        free(r);
        return nullptr;
    }
    r->capacity = capacity;
    r->stream = s;
    r->need_seek = 1;
    if (s) s->file = nullptr;
    return r;
}

void bs_free(bs *reader) {
    if (!reader) return;
    free(reader->buffer);
    stream_free(reader->stream);
    free(reader);
}

void bs_set_data(bs *reader, const unsigned char *head, uint64_t head_len) {
    if (!reader) return;
    // The memory head is part of the window: bytes at or past the stream's
    // limit are never served, whether they come from memory or the file.
    if (head && reader->stream && head_len > reader->stream->limit) head_len = reader->stream->limit;
    reader->head = head;
    reader->head_len = head ? head_len : 0;
}

void bs_reset(bs *reader) {
    if (!reader) return;
    reader->fill = 0;
    reader->pos = 0;
    reader->base = 0;
    reader->need_seek = 1;
}

static uint32_t refill_read(bs *r, unsigned char *dst, uint32_t wanted) {
    uint32_t delivered = 0;
    while (wanted > 0) {
        if (r->pos + uint64_t(wanted) < r->fill) {
            memcpy(dst + delivered, r->buffer + r->pos, wanted);
            r->pos += wanted;
            delivered += wanted;
            break;
        }
        if (r->pos < r->fill) {
            uint32_t n = r->fill - r->pos;
            memcpy(dst + delivered, r->buffer + r->pos, n);
            r->pos = r->fill;
            delivered += n;
            wanted -= n;
            continue;
        }
        // Buffer exhausted: refill from the reader's position.
        r->base += r->pos;
        r->pos = 0;
        r->fill = 0;
        if (!r->stream || r->base >= r->stream->limit) break;
        if (r->need_seek) {
            if (stream_seek(r->stream, r->base, SEEK_SET) != 0) break;
            r->need_seek = 0;
        }
        uint64_t left = r->stream->limit - r->base;
        uint32_t ask = left < r->capacity ? uint32_t(left) : r->capacity;
        r->fill = stream_read(r->stream, r->buffer, ask);
        r->refilled = 1;
        if (r->fill == 0) {
            r->need_seek = 1;
            break;
        }
    }
    return delivered;
}

uint32_t bs_read(bs *reader, void *destination, uint32_t count) {
    if (!reader || !destination || count == 0) return 0;
    auto *dst = static_cast<unsigned char *>(destination);
    reader->refilled = 0;
    uint64_t p = reader->base + reader->pos;
    if (p < reader->head_len) {
        uint64_t in_head = reader->head_len - p;
        uint64_t wanted = count < in_head ? count : in_head;
        uint64_t readable = lmr::readable_bytes(reader->head + p, wanted);
        if (readable < wanted) {
            // Sectors the scan could not read: the read ends before them,
            // as a read of the device would.
            memcpy(dst, reader->head + p, size_t(readable));
            reader->pos += uint32_t(readable);
            return uint32_t(readable);
        }
        if (count <= in_head) {
            memcpy(dst, reader->head + p, count);
            reader->pos += count;
            return count;
        }
        memcpy(dst, reader->head + p, size_t(in_head));
        reader->pos += uint32_t(in_head);
        return uint32_t(in_head) + refill_read(reader, dst + in_head, count - uint32_t(in_head));
    }
    return refill_read(reader, dst, count);
}

uint32_t bs_peek(bs *reader, void *destination, uint32_t count) {
    if (!reader) return 0;
    // Within the memory head nothing moves: copy and leave.
    uint64_t p = reader->base + reader->pos;
    if (destination && p < reader->head_len && count <= reader->head_len - p &&
        lmr::readable_bytes(reader->head + p, count) == count) {
        memcpy(destination, reader->head + p, count);
        return count;
    }
    bs saved = *reader;
    uint64_t at = reader->base + reader->pos;
    uint32_t n = bs_read(reader, destination, count);
    if (reader->refilled && reader->base == at) {
        // The refill started right at the peeked position: the buffer now
        // holds exactly the bytes from there, so keep it and stand at its
        // start (the handle already sits after it).
        reader->pos = 0;
        return n;
    }
    bool refilled = reader->refilled;
    // The buffer now holds bytes of another position: drop it, so the next
    // read takes the bytes again from the restored position.
    *reader = saved;
    if (refilled) {
        reader->need_seek = 1;
        reader->fill = 0;
    }
    return n;
}

void bs_skip(bs *reader, uint64_t count) {
    if (!reader) return;
    uint64_t target = reader->base + reader->pos + count;
    if (target < reader->base + reader->pos) target = UINT64_MAX;  // saturate
    // Stay in 32-bit index space: a skip beyond what the buffer (or the
    // memory head) holds re-bases the reader, and the next refill seeks.
    uint64_t rel = target - reader->base;
    bool in_head = reader->fill == 0 && reader->base == 0 && target <= reader->head_len;
    if (in_head || rel <= reader->fill) {
        if (rel <= UINT32_MAX) {
            reader->pos = uint32_t(rel);
            return;
        }
    }
    reader->base = target;
    reader->pos = 0;
    reader->fill = 0;
    reader->need_seek = 1;
}

uint64_t bs_tell(const bs *reader) { return reader ? reader->base + reader->pos : 0; }

// Moves the reader to an absolute stream position, also backwards: the
// buffer serves it when it holds that position, else the memory head, else
// the next refill positions the stream there.
static void bs_set_position(bs *r, uint64_t target) {
    uint64_t cur = r->base + r->pos;
    if (target >= cur) {
        bs_skip(r, target - cur);
        return;
    }
    if (r->fill > 0 && target >= r->base) {
        r->pos = uint32_t(target - r->base);
        return;
    }
    r->fill = 0;
    r->need_seek = 1;
    if (target < r->head_len && target <= UINT32_MAX) {
        r->base = 0;
        r->pos = uint32_t(target);
    } else {
        r->base = target;
        r->pos = 0;
    }
}

uint64_t bs_search(bs *reader, const unsigned char *pattern, int32_t n, uint64_t max_size,
                   const int32_t *table, int32_t case_sen, int32_t *found) {
    if (!reader || !pattern || !table || n <= 0 || uint32_t(n) >= k_search_window) return 0;
    uint64_t total = 0;
    // Bytes still in the memory head are searched where they lie: most
    // footers are found there, without a copy or an allocation.
    const uint64_t start = bs_tell(reader);
    if (start < reader->head_len) {
        uint64_t span = reader->head_len - start;
        if (span > max_size) span = max_size;
        // Up to an unreadable sector at most; the reads below stop there.
        span = lmr::readable_bytes(reader->head + start, span);
        if (span >= uint64_t(n)) {
            const unsigned char *from = reader->head + start;
            const unsigned char *hit =
                bm_search_skipn(pattern, n, from, int64_t(span), table, case_sen, 0, n - 1);
            if (hit) {
                uint64_t k = uint64_t(hit - from);
                bs_set_position(reader, start + k);
                if (found) *found = 1;
                return k + uint64_t(n);
            }
            // Go on after the head, keeping the last n - 1 bytes in view so
            // that a match across its end is still found.
            total = span - uint64_t(n - 1);
            bs_set_position(reader, start + total);
        }
    }
    auto *window = static_cast<unsigned char *>(malloc(k_search_window));
    if (!window) return 0;
    // `total` is the distance from the starting position to window[0];
    // window[kept] is always the byte at the reader's position.  A match
    // must end within max_size bytes of the start.
    uint32_t kept = 0;
    for (;;) {
        uint64_t seen = total + kept;
        if (seen >= max_size) break;
        uint32_t want = k_search_window - kept;
        if (max_size - seen < want) want = uint32_t(max_size - seen);
        uint64_t here = bs_tell(reader);  // stream position of window[kept]
        uint32_t got = bs_read(reader, window + kept, want);
        if (got == 0) break;
        const unsigned char *hit =
            bm_search_skipn(pattern, n, window, kept + got, table, case_sen, 0, n - 1);
        if (hit) {
            // Leave the reader on the match's first byte, which may lie in
            // the bytes kept from the previous window.
            uint64_t k = uint64_t(hit - window);
            bs_set_position(reader, here - kept + k);
            if (found) *found = 1;
            free(window);
            return total + k + uint64_t(n);
        }
        uint32_t have = kept + got;
        if (have < uint32_t(n)) {
            // Fewer bytes than the pattern: keep them all and read on.
            kept = have;
            continue;
        }
        memmove(window, window + have - n, size_t(n));
        total += have - uint32_t(n);
        kept = uint32_t(n);
    }
    free(window);
    return total;
}

uint16_t htos(const unsigned char *p, int little) {
    return little ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]);
}

uint32_t htoi(const unsigned char *p, int little) {
    if (little) return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

uint64_t htoll(const unsigned char *p, int little) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t(p[little ? i : 7 - i]) << (8 * i);
    return v;
}

uint64_t adjust_bs(uint64_t value, uint64_t unit) {
    if (unit == 0) return value;
    uint64_t r = value % unit;
    return r ? value + (unit - r) : value;
}

void reverse_string(char *destination, const char *source, int from, int to) {
    if (!destination || !source || from < 0) return;
    for (int i = from, j = to - 1; i < to; ++i, --j) destination[i] = source[j];
}

}  // extern "C"
