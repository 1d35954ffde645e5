// Deep mode's MP3 probe: ID3v2 tags of versions 2.2 to 2.4, a walk of the
// MPEG audio frames to the last one, the APEv2 and ID3v1 tags after them,
// and MP3s without an ID3v2 tag found by a long chain of frames.
#include "probe_helpers.h"

using namespace lmrtest;

namespace {

// Frame headers and the lengths they give (worked out by hand).
struct Kind {
    unsigned char h[4];
    size_t length;
};
const Kind k_128k = {{0xFF, 0xFB, 0x90, 0x64}, 417};          // MPEG-1 layer III, 128 kbit/s, 44.1 kHz
const Kind k_128k_pad = {{0xFF, 0xFB, 0x92, 0x64}, 418};      // the same with a padding byte
const Kind k_48khz = {{0xFF, 0xFB, 0x94, 0x64}, 384};         // 128 kbit/s, 48 kHz
const Kind k_mpeg2 = {{0xFF, 0xF3, 0x80, 0xC4}, 208};         // MPEG-2 layer III, 64 kbit/s, 22.05 kHz
const Kind k_layer2 = {{0xFF, 0xFD, 0x90, 0x04}, 522};        // MPEG-1 layer II, 160 kbit/s, 44.1 kHz
const Kind k_mpeg25 = {{0xFF, 0xE3, 0x18, 0xC4}, 72};         // MPEG-2.5 layer III, 8 kbit/s, 8 kHz

// `n` frames of a kind, their contents random.
Bytes frames(int n, const Kind &k, uint32_t seed = 1) {
    Bytes b;
    std::mt19937 rng(seed);
    for (int i = 0; i < n; ++i) {
        b.insert(b.end(), k.h, k.h + 4);
        for (size_t j = 4; j < k.length; ++j) b.push_back(uint8_t(rng() & 0x7F));  // no FF
    }
    return b;
}

// An ID3v2 header of `size` bytes of frames (synch-safe) and the tag bytes.
Bytes id3(int version, size_t size, unsigned char flags = 0) {
    Bytes b = {'I', 'D', '3', uint8_t(version), 0, flags, uint8_t((size >> 21) & 0x7F), uint8_t((size >> 14) & 0x7F),
               uint8_t((size >> 7) & 0x7F), uint8_t(size & 0x7F)};
    for (size_t i = 0; i < size; ++i) b.push_back(i < 11 ? "TIT2\0\0\0\x01\0\0a"[i] : 0);
    if (version == 4 && (flags & 0x10)) {
        Bytes footer = b;
        footer.resize(10);
        footer[0] = '3', footer[1] = 'D', footer[2] = 'I';
        append(b, footer);
    }
    return b;
}

Bytes id3v1() {
    Bytes b = bytes_of("TAG");
    b.resize(128, ' ');
    return b;
}

// An APEv2 tag with a header, one item and the footer.
Bytes ape(bool header = true) {
    Bytes item = {5, 0, 0, 0, 0, 0, 0, 0};
    append(item, bytes_of("Title"));
    item.push_back(0);
    append(item, bytes_of("hello"));
    auto block = [&](bool is_header) {
        Bytes b = bytes_of("APETAGEX");
        uint32_t v[4] = {2000, uint32_t(item.size() + 32), 1, 0x80000000u | (is_header ? 0x20000000u : 0)};
        for (uint32_t x : v)
            for (int k = 0; k < 4; ++k) b.push_back(uint8_t(x >> (8 * k)));
        b.resize(32, 0);
        return b;
    };
    Bytes out = header ? block(true) : Bytes{};
    append(out, item);
    append(out, block(false));
    return out;
}

// The first `n` bytes of `b`.
Bytes slice(const Bytes &b, size_t n) { return Bytes(b.begin(), b.begin() + long(n)); }

// `b` with `text` written at `at`.
Bytes with_bytes(Bytes b, size_t at, const char *text) {
    memcpy(b.data() + at, text, strlen(text));
    return b;
}

// Probes `file` followed by random bytes (or the given tail), in deep mode,
// with all of it in memory, a few bytes or none; every way must agree.
ProbeRun::Result probe_deep(const Bytes &file, const std::string &what, const Bytes &tail = random_bytes(3000, 9)) {
    DeepScan deep;
    Bytes input = concat({file, tail});
    TempFile f(input);
    ProbeRun run(f.path(), "mp3");
    ProbeRun::Result first = run.probe(input, 0, input.size());
    for (size_t in_memory : {size_t(16), size_t(4)}) {
        auto r = run.probe(input, 0, in_memory);
        EXPECT_EQ(r.found, first.found) << what << ", " << in_memory << " bytes in memory";
        EXPECT_EQ(r.length, first.length) << what << ", " << in_memory << " bytes in memory";
    }
    return first;
}

struct Case {
    const char *what;
    Bytes file;
    bool found;
    size_t length;  // when found
};

void expect_deep_cases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        auto r = probe_deep(c.file, c.what);
        EXPECT_EQ(r.found, c.found ? 1 : 0) << c.what;
        if (c.found) {
            EXPECT_EQ(r.length, c.length) << c.what;
        }
    }
}

TEST(DeepMp3, EncoderFilesEndWhereTheyEnd) {
    for (const char *name : {"media/id3v23_v1.mp3", "media/id3v23_no_v1.mp3", "media/id3v24_v1.mp3"}) {
        Bytes mp3 = sample(name);
        auto r = probe_deep(mp3, name);
        EXPECT_EQ(r.found, 1) << name;
        EXPECT_EQ(r.length, mp3.size()) << name;
        // Followed at once by another MP3, tagged or not.
        r = probe_deep(mp3, name, sample("media/id3v23_v1.mp3"));
        EXPECT_EQ(r.length, mp3.size()) << name << " then a tagged MP3";
    }
}

TEST(DeepMp3, TagsBeforeAndAfterTheAudio) {
    const Bytes audio = frames(40, k_128k);
    const size_t n = audio.size();
    Bytes mixed = concat({frames(3, k_128k), frames(2, k_128k_pad), frames(3, k_128k)});
    expect_deep_cases({
        // Synch-safe sizes: 300 is 02 2C.
        {"ID3v2.2", concat({id3(2, 300), audio}), true, 310 + n},
        {"ID3v2.3", concat({id3(3, 1000), audio}), true, 1010 + n},
        {"ID3v2.4", concat({id3(4, 128), audio}), true, 138 + n},
        {"ID3v2.4 with a footer", concat({id3(4, 200, 0x10), audio}), true, 220 + n},
        {"two tags", concat({id3(3, 50), id3(4, 60), audio}), true, 60 + 70 + n},
        {"zeros after the tag", concat({id3(3, 100), Bytes(700, 0), audio}), true, 110 + 700 + n},
        {"other bytes after the tag", concat({id3(3, 100), random_bytes(900, 4), audio}), true, 110 + 900 + n},
        {"ID3v1 after", concat({id3(3, 100), audio, id3v1()}), true, 110 + n + 128},
        {"APEv2 and ID3v1 after", concat({id3(4, 100), audio, ape(), id3v1()}), true, 110 + n + ape().size() + 128},
        {"APEv2 footer alone, not taken", concat({id3(3, 100), audio, ape(false)}), true, 110 + n},
        {"frames with and without padding", concat({id3(3, 10), mixed}), true, 20 + mixed.size()},
        {"MPEG-2", concat({id3(3, 10), frames(20, k_mpeg2)}), true, 20 + 20 * 208},
        {"MPEG-2.5", concat({id3(3, 10), frames(20, k_mpeg25)}), true, 20 + 20 * 72},
        {"layer II", concat({id3(3, 10), frames(20, k_layer2)}), true, 20 + 20 * 522},
        {"a change of sample rate ends it", concat({id3(3, 10), audio, frames(10, k_48khz)}), true, 20 + n},
        {"the last frame cut short by ID3v1", concat({id3(3, 10), slice(audio, n - 200), id3v1()}), true,
         20 + n - 200 + 128},
        {"\"TAG\" and binary bytes in the last frame", concat({id3(3, 10), with_bytes(audio, n - 300, "TAG\x01\x02")}),
         true, 20 + n},
        {"one frame is not enough", concat({id3(3, 10), frames(1, k_128k)}), false, 0},
        {"no audio after the tag", concat({id3(3, 10), random_bytes(70000, 2)}), false, 0},
    });
}

TEST(DeepMp3, TagHeadersChecked) {
    const Bytes audio = frames(40, k_128k);
    auto with = [&](Bytes tag, size_t at, unsigned char v) {
        tag[at] = v;
        return concat({tag, audio});
    };
    expect_deep_cases({
        {"version 5", with(id3(3, 100), 3, 5), false, 0},
        {"size byte with its top bit", with(id3(3, 100), 9, 0x80 | 100), false, 0},
        {"a flag version 2.3 does not define", with(id3(3, 100), 5, 0x10), false, 0},
    });
}

TEST(DeepMp3, UntaggedFilesNeedALongChain) {
    std::vector<Case> cases = {
        {"32 frames", frames(32, k_128k), true, 32 * 417},
        {"31 frames", frames(31, k_128k), false, 0},
        {"1000 frames and ID3v1", concat({frames(1000, k_128k), id3v1()}), true, 1000 * 417 + 128},
        {"layer II", frames(100, k_layer2), false, 0},
        {"a reserved emphasis", [] {
             Kind k = k_128k;
             k.h[3] = 0x66;
             return frames(100, k);
         }(), false, 0},
    };
    expect_deep_cases(cases);
}

// The chunk may end inside the last frame: the file ends before it.
TEST(DeepMp3, FrameCutByTheChunkEnd) {
    DeepScan deep;
    Bytes input = concat({id3(3, 10), frames(40, k_128k)});
    input.resize(input.size() - 100);
    auto r = probe_once(input, "mp3", input.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, 20u + 39 * 417);
}

// Damaged copies: whatever the probe makes of them, every find stays
// inside the input (and the sanitizer build checks every read).
TEST(DeepMp3, DamagedCopiesStayInside) {
    DeepScan deep;
    probe_damaged_copies(sample("media/id3v24_v1.mp3"), "mp3", 150, 21);
    probe_damaged_copies(concat({frames(60, k_128k), ape(), id3v1()}), "mp3", 150, 22);
}

TEST(DeepMp3, ScanFindsEveryKindAtItsBlock) {
    struct Piece {
        const char *what;
        Bytes bytes;
        bool builtin;  // a candidate of the built-in rules
    };
    const std::vector<Piece> pieces = {
        {"untagged", concat({frames(200, k_128k), id3v1()}), false},
        {"ID3v2.4", sample("media/id3v24_v1.mp3"), false},
        {"ID3v2.3, no ID3v1", sample("media/id3v23_no_v1.mp3"), true},
        {"ID3v2.2", concat({id3(2, 300), frames(50, k_mpeg2), ape()}), false},
        {"ID3v2.3", sample("media/id3v23_v1.mp3"), true},
    };
    Bytes image = random_bytes(2048, 11);
    std::vector<std::pair<uint64_t, uint64_t>> want;
    std::vector<uint64_t> builtin_at;
    std::mt19937 rng(3);
    for (const Piece &p : pieces) {
        // A gap of random bytes whose block starts are zero.
        size_t gap = (512 - image.size() % 512) % 512 + 512 * (1 + rng() % 3);
        for (size_t i = 0; i < gap; ++i) image.push_back(image.size() % 512 ? uint8_t(rng()) : 0);
        want.push_back({image.size(), p.bytes.size()});
        if (p.builtin) builtin_at.push_back(image.size());
        append(image, p.bytes);
    }
    image.resize(image.size() + 4096, 0);
    TempFile f(image, "lmr-deep-mp3");

    std::vector<Find> finds;
    {
        DeepScan deep;
        finds = scan(f.path(), "mp3");
    }
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (const Find &x : finds) got.push_back({x.offset, x.length});
    EXPECT_EQ(got, want);

    // Off: only the ID3v2.3 files are candidates, as before.
    for (const Find &x : scan(f.path(), "mp3"))
        EXPECT_NE(std::find(builtin_at.begin(), builtin_at.end(), x.offset), builtin_at.end()) << x.offset;
}

}  // namespace
