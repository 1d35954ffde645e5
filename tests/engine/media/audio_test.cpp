// MP3, AMR and RIFF (AVI/WAVE) probes on encoder output and on crafted
// variants of it.
#include "probe_helpers.h"

using namespace lmrtest;

namespace {

// An AMR stream of `frames` frames of the given header byte and size,
// followed by `tail`.
Bytes amr(int frames, unsigned char header, size_t size, const Bytes &tail = {}) {
    Bytes b = bytes_of("#!AMR\n");
    for (int i = 0; i < frames; ++i) {
        b.push_back(header);
        b.insert(b.end(), size - 1, 0x5A);
    }
    append(b, tail);
    return b;
}

}  // namespace

TEST(Mp3Probe, RunsThroughTheTrailingTagAndNeedsOne) {
    Bytes with = sample("media/id3v23_v1.mp3");
    Bytes without = sample("media/id3v23_no_v1.mp3");
    ASSERT_EQ(0, memcmp(with.data() + with.size() - 128, "TAG", 3));

    // Followed by unrelated data, read partly through the probe's own handle.
    Bytes input = with;
    append(input, random_bytes(3000, 1));
    TempFile f(input);
    ProbeRun run(f.path(), "mp3");
    for (size_t in_memory : {size_t(16), size_t(700), input.size()}) {
        auto r = run.probe(input, 0, in_memory);
        EXPECT_EQ(1, r.found) << in_memory;
        EXPECT_EQ(with.size(), r.length) << in_memory;
    }

    TempFile g(without);
    ProbeRun run2(g.path(), "mp3");
    EXPECT_EQ(0, run2.probe(without, 0, without.size()).found);
}

// An MP3 without a trailing tag followed by others: it ends where the next
// begins instead of taking that one's tag, so every file comes back alone.
TEST(Mp3Probe, UntaggedFileEndsWhereTheNextBegins) {
    Bytes with = sample("media/id3v23_v1.mp3");
    Bytes without = sample("media/id3v23_no_v1.mp3");
    Bytes input = without;
    append(input, without);
    append(input, with);
    TempFile f(input);
    ProbeRun run(f.path(), "mp3");
    for (size_t in_memory : {size_t(16), input.size()}) {
        auto first = run.probe(input, 0, in_memory);
        EXPECT_EQ(1, first.found) << in_memory;
        EXPECT_EQ(without.size(), first.length) << in_memory;
        auto second = run.probe(input, without.size(), in_memory);
        EXPECT_EQ(1, second.found) << in_memory;
        EXPECT_EQ(without.size(), second.length) << in_memory;
        auto third = run.probe(input, 2 * without.size(), in_memory);
        EXPECT_EQ(1, third.found) << in_memory;
        EXPECT_EQ(with.size(), third.length) << in_memory;
    }
}

TEST(Mp3Probe, TagCutByTheChunkEndIsBoundedByIt) {
    Bytes with = sample("media/id3v23_v1.mp3");
    Bytes cut(with.begin(), with.end() - 100);  // "TAG" and 25 bytes of its fields
    auto r = probe_once(cut, "mp3", 64);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(cut.size(), r.length);
}

TEST(AmrProbe, EncoderFilesAreFoundWhole) {
    for (const char *name : {"media/nb_mode0.amr", "media/nb_mode2.amr", "media/nb_mode7.amr"}) {
        Bytes b = sample(name);
        Bytes input = b;
        append(input, Bytes(700, 0));
        DiagCapture diag;
        auto r = probe_once(input, "amr", 600);
        EXPECT_EQ(1, r.found) << name;
        EXPECT_EQ(b.size(), r.length) << name;
        EXPECT_TRUE(diag.has("found a amr file, offset: 0, file_size: " + std::to_string(b.size()))) << name;
    }
}

TEST(AmrProbe, FrameRunRules) {
    ProbeCase cases[] = {
        {"ten frames of mode 7", amr(10, 0x3C, 32), 1, 6 + 320},
        {"nine frames", amr(9, 0x3C, 32), 0, 0},
        {"mode change after 20 frames", amr(20, 0x14, 16, amr(30, 0x3C, 32)), 1, 6 + 20 * 16},
        {"no-data frame ends it", amr(12, 0x04, 13, Bytes{0x7C, 0, 0}), 1, 6 + 12 * 13},
        {"header byte of mode 8", amr(30, 0x44, 13), 0, 0},
        {"quality bit clear", amr(30, 0x38, 32), 0, 0},
        {"header only", bytes_of("#!AMR\n\x3C"), 0, 0},
    };
    expect_cases(cases, "amr");
}

TEST(RiffProbe, FormTypeAndRequestedNames) {
    Bytes avi = sample("media/mpeg4_mp3.avi");
    Bytes wav = sample("media/pcm_mono.wav");
    struct Case {
        const Bytes *input;
        const char *requested;
        int32_t found;
        const char *suffix;
    } cases[] = {
        {&avi, "avi", 1, "avi"}, {&avi, "wav", 0, "avi"},     {&avi, "rif", 0, "avi"},
        {&wav, "wav", 1, "wav"}, {&wav, "avi,rif", 0, "wav"}, {&wav, "avi,wav", 1, "wav"},
    };
    for (auto &c : cases) {
        Bytes input = *c.input;
        append(input, random_bytes(1024, 3));
        auto r = probe_once(input, c.requested, 64);
        EXPECT_EQ(c.found, r.found) << c.suffix << " asked as " << c.requested;
        EXPECT_EQ(c.suffix, r.suffix) << c.requested;
        if (c.found) {
            EXPECT_EQ(c.input->size(), r.length);
        }
    }
}

TEST(RiffProbe, MalformedHeadersAndOversizedField) {
    Bytes wav = sample("media/pcm_mono.wav");
    Bytes avi = sample("media/mpeg4_mp3.avi");

    Bytes no_list = avi;
    memcpy(no_list.data() + 12, "JUNK", 4);
    Bytes zero_size = wav;
    zero_size[4] = zero_size[5] = zero_size[6] = zero_size[7] = 0;
    Bytes other_form = wav;
    memcpy(other_form.data() + 8, "WEBP", 4);
    Bytes short_header(wav.begin(), wav.begin() + 15);
    for (const Bytes *b : {&no_list, &zero_size, &other_form, &short_header}) {
        TempFile f(*b);
        ProbeRun run(f.path(), "avi,wav");
        EXPECT_EQ(0, run.probe(*b, 0, b->size()).found);
    }

    // A size field larger than the input: the find stops at the input's end.
    Bytes big = wav;
    big[7] = 0x7F;
    auto r = probe_once(big, "wav", 512);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(big.size(), r.length);
}
