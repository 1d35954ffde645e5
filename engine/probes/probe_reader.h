// The byte reader every format probe works through: a stream over the input
// from the candidate's offset up to the end of its chunk, seeded with the
// candidate's bytes already in memory.  The reader (and the file handle its
// first refill opens) goes with the scope.
#pragma once

#include "../engine_internal.h"

#include <cstring>

namespace lmr {

class probe_reader {
public:
    probe_reader(const recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
                 uint64_t limit)
        : data_(data), limit_(limit) {
        // The memory head never reaches past the chunk.
        head_ = available > 0 ? uint64_t(available) : 0;
        if (head_ > limit_) head_ = limit_;
        s_.path = state ? state->InputFile : nullptr;
        s_.base = offset;
        s_.limit = limit;
        stream_init(&s_);
        open();
    }
    ~probe_reader() { bs_free(r_); }
    probe_reader(const probe_reader &) = delete;
    probe_reader &operator=(const probe_reader &) = delete;

    bs *get() const { return r_; }
    explicit operator bool() const { return r_ != nullptr; }
    uint64_t limit() const { return limit_; }
    // How many of the candidate's bytes the scan buffer holds, at most
    // up to the end of the chunk.
    uint64_t head() const { return head_; }

    // Drops the reader and starts a fresh one at the candidate's first byte.
    void renew() {
        bs_free(r_);
        open();
    }

    // Up to `n` bytes at the current position; returns how many there were.
    // A walk reads many small records from the scan buffer: those are
    // served here, and the reader is asked for the rest.
    uint32_t peek(void *dst, uint32_t n) {
        if (r_ && dst) {
            const uint64_t p = r_->base + r_->pos;
            if (p < clean_ && n <= clean_ - p) {
                memcpy(dst, data_ + p, n);
                return n;
            }
        }
        return bs_peek(r_, dst, n);
    }
    uint32_t read(void *dst, uint32_t n) {
        if (r_ && dst && n) {
            const uint64_t p = r_->base + r_->pos;
            if (p < clean_ && n <= clean_ - p && r_->pos <= UINT32_MAX - n) {
                memcpy(dst, data_ + p, n);
                r_->pos += n;
                r_->refilled = 0;
                return n;
            }
        }
        return bs_read(r_, dst, n);
    }
    // Exactly `n` bytes at the current position, or false.
    bool peek_exact(void *dst, uint32_t n) { return peek(dst, n) == n; }
    bool read_exact(void *dst, uint32_t n) { return read(dst, n) == n; }
    void skip(uint64_t n) {
        if (r_ && r_->fill == 0 && r_->base == 0) {
            const uint64_t to = uint64_t(r_->pos) + n;
            if (to >= n && to <= r_->head_len && to <= UINT32_MAX) {
                r_->pos = uint32_t(to);
                return;
            }
        }
        bs_skip(r_, n);
    }
    uint64_t tell() const { return r_ ? r_->base + r_->pos : 0; }

    // The bytes of the memory head from the current position on (null and
    // 0 when the position lies beyond it): a walk over many small records
    // can step through them in place, then tell the reader how far it got.
    // The span ends before any unreadable sector of the scan window.
    const unsigned char *in_memory(uint64_t *count) const {
        const uint64_t p = tell();
        *count = p < clean_ ? clean_ - p : p < head_ ? readable_bytes(data_ + p, head_ - p) : 0;
        return *count ? data_ + p : nullptr;
    }

    // Whether the byte at stream position `p` lies in a sector of the scan
    // window that could not be read.
    bool unreadable_at(uint64_t p) const { return p < head_ && readable_bytes(data_ + p, 1) == 0; }

private:
    void open() {
        r_ = bs_init(&s_, 1024);
        if (r_) bs_set_data(r_, data_, head_);
        clean_ = r_ && data_ ? readable_bytes(data_, r_->head_len) : 0;
    }

    stream s_{};
    bs *r_ = nullptr;
    const unsigned char *data_;
    uint64_t limit_;
    uint64_t head_;
    uint64_t clean_ = 0;  // the head's bytes before its first unreadable sector
};

// The requested-names rule: a sub-type is reported only when its name occurs
// in the entry's comma-joined list of requested names.
inline bool name_requested(const search_spec_entry *entry, const char *name) {
    return entry && name && strstr(entry->requested, name) != nullptr;
}

}  // namespace lmr
