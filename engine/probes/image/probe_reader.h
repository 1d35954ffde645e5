// The reader every picture probe walks its candidate with: a stream window
// on the input from the candidate's first byte to the end of the chunk, fed
// first from the scan buffer.  Released (with its file handle) on scope exit.
#pragma once

#include "../../engine_internal.h"

namespace lmr::image {

class probe_reader {
public:
    probe_reader(const recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
                 uint64_t limit) {
        s_.path = state ? state->InputFile : nullptr;
        s_.base = offset;
        s_.limit = limit;
        stream_init(&s_);
        r_ = bs_init(&s_, 1024);
        if (r_ && data && available > 0) bs_set_data(r_, data, uint64_t(available));
    }
    ~probe_reader() { bs_free(r_); }
    probe_reader(const probe_reader &) = delete;
    probe_reader &operator=(const probe_reader &) = delete;

    bool ok() const { return r_ != nullptr; }
    bs *get() { return r_; }

    // Exactly `n` bytes at the current position, or false.
    bool peek(unsigned char *dst, uint32_t n) { return bs_peek(r_, dst, n) == n; }
    bool read(unsigned char *dst, uint32_t n) { return bs_read(r_, dst, n) == n; }
    void skip(uint64_t n) { bs_skip(r_, n); }
    uint64_t tell() const { return bs_tell(r_); }

private:
    stream s_{};
    bs *r_ = nullptr;
};

}  // namespace lmr::image
