// AMR narrow-band storage format: "#!AMR\n" and a run of frames that all
// repeat the first frame's header byte.
#include "../probe_reader.h"

namespace {

constexpr uint64_t k_magic_len = 6;
constexpr uint64_t k_min_frames = 10;

// Frame size, header byte included, for a header byte of mode 0 to 7 with
// the quality bit set; 0 for every other byte.
uint64_t frame_size(unsigned char h) {
    static const unsigned char sizes[8] = {13, 14, 16, 18, 20, 21, 27, 32};
    if ((h & ~0x38) != 0x04) return 0;
    return sizes[(h >> 3) & 7];
}

}  // namespace

extern "C" uint64_t probe_amr(recovery_state *state, search_spec_entry *, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    in.skip(k_magic_len);
    unsigned char first[8];
    if (!in.peek_exact(first, sizeof first)) return 0;
    const unsigned char h = first[0];
    const uint64_t f = frame_size(h);
    if (f == 0) return 0;

    uint64_t frames = 0;
    // Frames in the scan buffer are walked in place; the rest, and the
    // frame that crosses the buffer's end, through the reader.
    uint64_t span = 0;
    if (const unsigned char *mem = in.in_memory(&span)) {
        const uint64_t start = in.tell();
        uint64_t at = 0;
        while (at < span && mem[at] == h && start + at + f <= limit) {
            ++frames;
            at += f;
        }
        in.skip(at);
    }
    for (;;) {
        unsigned char b;
        if (!in.peek_exact(&b, 1) || b != h) break;
        // A frame cut by the end of the chunk is not part of the file.
        if (in.tell() + f > limit) break;
        ++frames;
        in.skip(f);
    }

    uint64_t length = k_magic_len + frames * f;
    if (frames >= k_min_frames) {
        lmr::diag("found a amr file, offset: %llu, file_size: %llu", (unsigned long long)offset,
                  (unsigned long long)length);
        *found = 1;
    }
    return length;
}
