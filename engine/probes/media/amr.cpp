// AMR narrow-band storage format: "#!AMR\n" and a run of frames that all
// repeat the first frame's header byte.
//
// A deep scan follows the frames as a phone writes them: the mode may
// change from frame to frame, and the silence descriptors (SID) and
// no-data frames of the pauses in a voice note are frames like the others,
// so a recording is no longer cut at its first pause.
#include "../probe_reader.h"
#include "../../file_types.h"

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

// Deep scan: the size of any frame of the storage format, header byte
// included: speech modes 0 to 7 and the silence descriptor (mode 8) with
// the quality bit set, and no-data frames (mode 15); 0 for any other byte.
uint64_t any_frame_size(unsigned char h) {
    static const unsigned char sizes[9] = {13, 14, 16, 18, 20, 21, 27, 32, 6};
    if (h & 0x83) return 0;  // padding bits
    const unsigned mode = (h >> 3) & 0x0F;
    if (mode == 15) return 1;
    if (mode > 8 || !(h & 0x04)) return 0;
    return sizes[mode];
}

// The frames from the reader's position, whatever their modes; returns how
// many there were and leaves the reader after the last whole one.
uint64_t walk_any_frames(lmr::probe_reader &in, uint64_t limit) {
    constexpr uint64_t k_max_frames = 1ull << 26;
    uint64_t frames = 0;
    uint64_t span = 0;
    if (const unsigned char *mem = in.in_memory(&span)) {
        const uint64_t start = in.tell();
        uint64_t at = 0;
        while (at < span && frames < k_max_frames) {
            const uint64_t f = any_frame_size(mem[at]);
            if (f == 0 || start + at + f > limit) {
                in.skip(at);
                return frames;
            }
            ++frames;
            at += f;
        }
        in.skip(at);
    }
    while (frames < k_max_frames) {
        unsigned char b;
        if (!in.peek_exact(&b, 1)) break;
        const uint64_t f = any_frame_size(b);
        if (f == 0 || in.tell() + f > limit) break;
        ++frames;
        in.skip(f);
    }
    return frames;
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

uint64_t lmr::deep_amr(recovery_state *state, search_spec_entry *, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    if (!found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    in.skip(k_magic_len);
    unsigned char first;
    if (!in.peek_exact(&first, 1) || any_frame_size(first) == 0) return 0;
    const uint64_t frames = walk_any_frames(in, limit);
    const uint64_t length = in.tell();
    if (frames < k_min_frames) return 0;
    lmr::diag("found a amr file, offset: %llu, file_size: %llu", (unsigned long long)offset,
              (unsigned long long)length);
    *found = 1;
    return length;
}
