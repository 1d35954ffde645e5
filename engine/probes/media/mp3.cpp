// MP3.
//
// By the built-in rule, an MP3 with a leading ID3 tag (version 2.3) runs to
// its trailing ID3v1 tag, found by its "TAG" letters within the type's size
// limit, or, when another such MP3 begins before that tag, up to where it
// begins.
//
// In deep mode the file is read as it is built: an ID3v2 tag of version
// 2.2, 2.3 or 2.4 (its size from synch-safe bytes, plus a footer when its
// flag says so), then MPEG audio frames, each header giving the frame's
// length, up to the last frame that agrees with the first on version,
// layer and sample rate; then an APEv2 and an ID3v1 tag where they follow
// (an ID3v1 tag also where it cuts the last frame short).
// A file without an ID3v2 tag starts at its first frame, and only a long
// chain of frames makes it one.
#include "../probe_reader.h"
#include "../../file_types.h"

namespace {

constexpr uint64_t k_id3v1_size = 128;  // "TAG" and 125 bytes of fields

uint64_t builtin_mp3(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                     uint64_t offset, uint64_t limit, int32_t *found) {
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    in.skip(4);  // "ID3" and the major version
    int32_t hit = 0;
    uint64_t dist = bs_search(in.get(), entry->footer.value, entry->footer.len, entry->max_len,
                              entry->footer.table, entry->case_sen, &hit);
    if (!hit) return 0;
    const uint64_t tag_rel = dist - uint64_t(entry->footer.len);  // from offset 4

    // A file without a trailing tag must not run on into the next MP3 and
    // take its tag (the two would come back as one, and the second be
    // skipped): if another such MP3 begins before the tag, the file ends
    // where it begins.  Only the bytes before the tag are searched.
    in.renew();
    in.skip(4);
    int32_t next_hit = 0;
    uint64_t next = bs_search(in.get(), entry->header.value, entry->header.len, tag_rel,
                              entry->header.table, entry->case_sen, &next_hit);
    if (next_hit) {
        uint64_t next_rel = next - uint64_t(entry->header.len);
        if (next_rel < tag_rel) {
            *found = 1;
            return 4 + next_rel;
        }
    }

    // The tag's fields follow its three letters; keep them, as far as the
    // chunk holds them.
    uint64_t tag_start = 4 + tag_rel;
    uint64_t end = tag_start + k_id3v1_size;
    if (end > limit) end = limit;
    *found = 1;
    return end;
}

// ---- deep mode ----------------------------------------------------------

// Frames a file without an ID3v2 tag must begin with, one after the other,
// to be taken for an MP3: about a second of audio.  A frame header at a
// block start of random bytes is rare (about one block in 16,000) and the
// next one where its length points rarer still, so the bound is kept by
// far; the length guards against short runs of frames inside other files
// (the audio of a video, a stream's packets).
constexpr int k_chain_untagged = 32;
// After an ID3v2 tag, audio that starts right there needs two frames; audio
// found further on (after junk) needs the long chain.
constexpr int k_chain_tagged = 2;
// How far past an ID3v2 tag the first frame is looked for.
constexpr uint64_t k_audio_search = 64 * 1024;
// Consecutive ID3v2 tags taken before the audio.
constexpr int k_max_id3v2 = 4;
// Bound on an APEv2 tag (its items and footer).
constexpr uint32_t k_max_ape = 16u << 20;
// The longest frame (MPEG-2.5 layer II at 160 kbit/s and 8 kHz, padded).
constexpr uint32_t k_max_frame = 2881;

// Bit rates in kbit/s by [MPEG-1 or not][layer - 1][index]; 0: not allowed.
constexpr uint16_t k_bitrate[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
// Sample rates in Hz of MPEG-1; MPEG-2 halves them, MPEG-2.5 quarters them.
constexpr uint32_t k_rate[3] = {44100, 48000, 32000};

// One frame header: its length in bytes and what every frame of the same
// stream shares (version, layer, sample rate).
struct mpeg_frame {
    uint32_t length;
    uint32_t kind;
    int layer;
};

bool parse_frame(const unsigned char *h, mpeg_frame *f) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const int layer_bits = (h[1] >> 1) & 3;
    const int bit_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (version == 1 || layer_bits == 0 || rate_index == 3 || (h[3] & 3) == 2) return false;
    const int layer = 4 - layer_bits;
    const uint32_t kbit = k_bitrate[version == 3 ? 0 : 1][layer - 1][bit_index];
    if (kbit == 0) return false;  // free format or a forbidden index
    const uint32_t rate = k_rate[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const uint32_t bits = kbit * 1000;
    if (layer == 1) {
        f->length = (12 * bits / rate + uint32_t(padding)) * 4;
    } else if (layer == 3 && version != 3) {
        f->length = 72 * bits / rate + uint32_t(padding);
    } else {
        f->length = 144 * bits / rate + uint32_t(padding);
    }
    f->kind = uint32_t(h[1] & 0x1E) << 2 | uint32_t(rate_index);
    f->layer = layer;
    return true;
}

// Puts the reader at stream position `at`, also backwards.
void move_to(lmr::probe_reader &in, uint64_t at) {
    if (at < in.tell()) in.renew();
    in.skip(at - in.tell());
}

// A run of frames: where it ends and how many whole frames it has.
struct frame_run {
    uint64_t end;
    int frames;
    uint64_t last = 0;  // where the last frame starts
};

// Walks the frames from `at`, each of the first one's kind and whole within
// the chunk, up to the first position that holds no such frame.
frame_run walk_frames(lmr::probe_reader &in, uint64_t at) {
    frame_run run{at, 0};
    uint32_t kind = 0;
    unsigned char h[4];
    move_to(in, at);
    for (;;) {
        mpeg_frame f;
        if (!in.peek_exact(h, 4) || !parse_frame(h, &f)) break;
        if (run.frames > 0 && f.kind != kind) break;
        if (f.length > in.limit() || run.end > in.limit() - f.length) break;  // cut by the chunk's end
        kind = f.kind;
        run.last = run.end;
        run.end += f.length;
        if (run.frames < INT32_MAX) ++run.frames;
        in.skip(f.length);
    }
    return run;
}

// Reads `n` bytes at stream position `at`.
bool peek_at(lmr::probe_reader &in, uint64_t at, unsigned char *dst, uint32_t n) {
    move_to(in, at);
    return in.peek_exact(dst, n);
}

// An ID3v2 header at `h` (10 bytes): the tag's whole length, or 0.
uint64_t id3v2_length(const unsigned char *h) {
    if (h[0] != 'I' || h[1] != 'D' || h[2] != '3') return 0;
    const unsigned version = h[3], flags = h[5];
    if (version < 2 || version > 4 || h[4] == 0xFF) return 0;
    // Flags a version does not define must be clear.
    static constexpr unsigned char k_defined[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    if (flags & ~k_defined[version]) return 0;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;  // synch-safe size
    uint64_t size = uint64_t(h[6]) << 21 | uint64_t(h[7]) << 14 | uint64_t(h[8]) << 7 | h[9];
    uint64_t total = 10 + size;
    if (version == 4 && (flags & 0x10)) total += 10;  // footer
    return total;
}

// Where the audio after the tags begins: right there (after zero bytes), or
// where a long chain of frames starts within the search distance.  Returns
// the run of frames, or frames 0.
frame_run tagged_audio(lmr::probe_reader &in, uint64_t at) {
    // Zero padding beyond the tag's own size.
    uint64_t p = at;
    while (p - at < k_audio_search) {
        uint64_t count = 0;
        move_to(in, p);
        if (const unsigned char *m = in.in_memory(&count)) {
            uint64_t k = 0;
            while (k < count && p + k - at < k_audio_search && m[k] == 0) ++k;
            p += k;
            if (k < count) break;
            continue;
        }
        unsigned char b;
        if (!in.peek_exact(&b, 1) || b != 0) break;
        ++p;
    }
    frame_run run = walk_frames(in, p);
    if (run.frames >= k_chain_tagged) return run;
    // Something else first: the first long chain of frames within reach.
    unsigned char h[4];
    for (uint64_t q = at; q - at < k_audio_search; ++q) {
        if (!peek_at(in, q, h, 4)) break;
        mpeg_frame f;
        if (!parse_frame(h, &f)) continue;
        frame_run r = walk_frames(in, q);
        if (r.frames >= k_chain_untagged) return r;
    }
    return frame_run{at, 0};
}

// Whether the 128 bytes at `t` look like an ID3v1 tag: "TAG", then title,
// artist, album and year as text (no control characters but zeros).
bool id3v1_like(const unsigned char *t) {
    if (memcmp(t, "TAG", 3) != 0) return false;
    for (int i = 3; i < 3 + 30 * 3 + 4; ++i)
        if (t[i] != 0 && t[i] < 0x20) return false;
    return true;
}

// A last frame cut short by the end of the file, an ID3v1 tag after it: its
// header gave a length that runs into the tag and past it.  The file ends
// with the tag, which must then lie within that frame's length.
uint64_t tag_in_last_frame(lmr::probe_reader &in, const frame_run &run) {
    unsigned char f[k_max_frame + k_id3v1_size];
    const uint64_t span = run.end - run.last;
    if (run.frames == 0 || span > k_max_frame || span < 8) return 0;
    uint32_t n = uint32_t(span + k_id3v1_size);
    if (run.last + n > in.limit()) n = uint32_t(in.limit() - run.last);
    move_to(in, run.last);
    n = in.peek(f, n);
    for (uint32_t t = 4; t + k_id3v1_size <= n && t < span; ++t)
        if (f[t] == 'T' && id3v1_like(f + t)) return run.last + t + k_id3v1_size;
    return 0;
}

// The tags that may follow the audio: an APEv2 tag (with its header), then
// an ID3v1 tag.  Returns the end after them.
uint64_t trailing_tags(lmr::probe_reader &in, const frame_run &run) {
    uint64_t end = run.end;
    unsigned char t[32];
    if (peek_at(in, end, t, 32) && memcmp(t, "APETAGEX", 8) == 0) {
        const uint32_t version = htoi(t + 8, 1), size = htoi(t + 12, 1), flags = htoi(t + 20, 1);
        const bool is_header = (flags & 0x20000000u) != 0, has_header = (flags & 0x80000000u) != 0;
        if ((version == 1000 || version == 2000) && size >= 32 && size <= k_max_ape) {
            unsigned char footer[32];
            if (is_header && has_header && peek_at(in, end + size, footer, 32) &&
                memcmp(footer, "APETAGEX", 8) == 0 && htoi(footer + 12, 1) == size) {
                end += 32 + uint64_t(size);
            } else if (!is_header && size == 32) {
                end += 32;  // a footer alone: a tag without items
            }
        }
    }
    unsigned char v1[3];
    if (peek_at(in, end, v1, 3) && memcmp(v1, "TAG", 3) == 0) {
        end += k_id3v1_size;
        if (end > in.limit()) end = in.limit();
        return end;
    }
    if (end == run.end) {
        if (uint64_t cut = tag_in_last_frame(in, run)) return cut;
    }
    return end;
}

uint64_t walk_deep(recovery_state *state, const unsigned char *data, int32_t available, uint64_t offset,
                  uint64_t limit, int32_t *found) {
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    unsigned char h[10];
    if (!in.peek_exact(h, 4)) return 0;

    frame_run run{0, 0};
    if (h[0] == 'I') {
        // One ID3v2 tag or a few in a row, then the audio.
        uint64_t at = 0;
        for (int tags = 0; tags < k_max_id3v2 && peek_at(in, at, h, 10); ++tags) {
            uint64_t len = id3v2_length(h);
            if (len == 0) break;
            at += len;
        }
        if (at == 0 || at >= limit) return 0;
        run = tagged_audio(in, at);
        if (run.frames == 0) return 0;
    } else {
        mpeg_frame f;
        if (!parse_frame(h, &f) || f.layer != 3) return 0;
        run = walk_frames(in, 0);
        if (run.frames < k_chain_untagged) return 0;
    }
    *found = 1;
    return trailing_tags(in, run);
}

}  // namespace

// The deep scan's test at a block start: an ID3v2 header of a version the
// walk reads, or an MPEG audio layer III frame header.  `p` holds 4 bytes.
bool lmr::mp3_deep_start(const unsigned char *p) {
    if (p[0] == 'I') return p[1] == 'D' && p[2] == '3' && p[3] >= 2 && p[3] <= 4;
    mpeg_frame f;
    return parse_frame(p, &f) && f.layer == 3;
}

extern "C" uint64_t probe_mp3(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    return builtin_mp3(state, entry, data, available, offset, limit, found);
}

uint64_t lmr::deep_mp3(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                      uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    return walk_deep(state, data, available, offset, limit, found);
}
