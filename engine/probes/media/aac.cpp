// Raw AAC in ADTS frames, as voice recorders write it (MPEG-4 frames
// without CRC, "FF F1", as the signature finds them): a chain of frames,
// each with its own header and length, all of one stream (same MPEG
// version, profile, sampling rate and channels).  The file ends after the
// last frame of the chain; a chain too short to tell it from chance is no
// file.
#include "../probe_reader.h"
#include "../../file_types.h"

namespace {

constexpr uint32_t k_header = 7;
// Sixteen frames are about a third of a second of sound; random bytes pass
// the sync and the stream fields of so many frames in a row practically
// never.
constexpr uint64_t k_min_frames = 16;
constexpr uint64_t k_max_frames = 1u << 24;

// The frame length, or 0 when `h` is not an ADTS header.
uint32_t frame_length(const unsigned char *h) {
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return 0;  // sync, layer 0
    if (((h[2] >> 2) & 0x0F) > 12) return 0;               // sampling rate index
    const uint32_t len = uint32_t(h[3] & 3) << 11 | uint32_t(h[4]) << 3 | h[5] >> 5;
    const uint32_t min = (h[1] & 1) ? k_header : k_header + 2;  // a CRC follows when the bit is clear
    return len > min ? len : 0;
}

// The fields every frame of one stream repeats: version, profile,
// sampling rate index, channel configuration.
uint32_t stream_key(const unsigned char *h) {
    return uint32_t(h[1] & 0x08) << 16 | uint32_t(h[2] & 0xFD) << 8 | (h[3] & 0xC0);
}

}  // namespace

uint64_t lmr::deep_aac(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;

    unsigned char h[k_header];
    if (!in.peek_exact(h, k_header) || frame_length(h) == 0) return 0;
    const uint32_t key = stream_key(h);
    uint64_t frames = 0, end = 0;
    while (frames < k_max_frames) {
        const uint64_t at = in.tell();
        if (bound - at < k_header || !in.peek_exact(h, k_header)) break;
        const uint32_t len = frame_length(h);
        if (len == 0 || stream_key(h) != key || len > bound - at) break;
        ++frames;
        in.skip(len);
        end = at + len;
    }
    if (frames < k_min_frames) return 0;
    lmr::diag("found a aac file, offset: %llu, file_size: %llu", (unsigned long long)offset,
              (unsigned long long)end);
    entry->suffix = "aac";
    *found = 1;
    return end;
}
