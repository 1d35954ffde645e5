// The deep walks of a modern card's pictures and sounds (ISO still
// pictures and audio, Ogg, FLAC, Matroska/WebM, ADTS), called directly on
// encoder output and on damaged or rearranged copies of it.
#include "card_walks.h"

using namespace lmrtest;

namespace {

struct Sample {
    const char *file;
    probe_fn fn;
    const char *suffix;
};

const Sample k_samples[] = {
    {"media/photo.heic", lmr::deep_heif, "heic"},      {"media/photo.avif", lmr::deep_heif, "avif"},
    {"media/cr3_layout.cr3", lmr::deep_heif, "cr3"},  {"media/voice.m4a", lmr::deep_m4a, "m4a"},
    {"media/voice.ogg", lmr::deep_ogg, "ogg"},         {"media/voice.opus", lmr::deep_ogg, "opus"},
    {"media/voice.oga", lmr::deep_ogg, "oga"},         {"media/voice.flac", lmr::deep_flac, "flac"},
    {"media/voice_id3v1.flac", lmr::deep_flac, "flac"}, {"media/clip.mkv", lmr::deep_mkv, "mkv"},
    {"media/clip.webm", lmr::deep_mkv, "webm"},        {"media/live.webm", lmr::deep_mkv, "webm"},
    {"media/voice.aac", lmr::deep_aac, "aac"},
};

uint32_t le32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The Ogg pages of a stream, as byte strings.
std::vector<Bytes> ogg_pages(const Bytes &b) {
    std::vector<Bytes> pages;
    size_t at = 0;
    while (at + 27 <= b.size() && memcmp(b.data() + at, "OggS", 4) == 0) {
        size_t segs = b[at + 26], body = 0;
        for (size_t i = 0; i < segs; ++i) body += b[at + 27 + i];
        size_t size = 27 + segs + body;
        pages.emplace_back(b.begin() + long(at), b.begin() + long(at + size));
        at += size;
    }
    return pages;
}

// How far past a cut a find may run.  Ogg pages and FLAC frames carry
// CRCs: the walk stops at the cut.  Boxes, EBML elements and ADTS frames
// carry only their lengths: the piece the cut splits is taken as long as
// it says, so the find may run on to where the whole file would have
// ended, never further.
uint64_t overshoot(const Sample &s, const Bytes &file, size_t cut) {
    if (s.fn == lmr::deep_ogg || s.fn == lmr::deep_flac) return 0;
    return file.size() - cut;
}

}  // namespace

TEST(CardWalks, EverySampleIsFoundWholeUnderItsNameWithOtherBytesAfterIt) {
    for (const Sample &s : k_samples) {
        SCOPED_TRACE(s.file);
        const Bytes file = sample(s.file);
        ASSERT_FALSE(file.empty());
        // Random bytes after it, then another file of the suite.
        Bytes input = file;
        append(input, random_bytes(5000, 21));
        append(input, sample("media/voice.ogg"));
        for (size_t in_memory : {size_t(64), size_t(4096), input.size()}) {
            auto r = walk(s.fn, input, k_card_names, in_memory);
            EXPECT_EQ(1, r.found) << in_memory;
            EXPECT_EQ(file.size(), r.length) << in_memory;
            EXPECT_EQ(s.suffix, r.suffix) << in_memory;
        }
        // A walk that names sub-types reports only a requested one; the
        // size limit bounds every walk.
        if (s.fn != lmr::deep_flac && s.fn != lmr::deep_aac) {
            EXPECT_EQ(0, walk(s.fn, input, "jpg,mp4", input.size()).found);
        }
        auto small = walk(s.fn, input, k_card_names, input.size(), file.size() / 2);
        if (small.found) {
            EXPECT_LE(small.length, file.size() / 2);
        }
    }
}

// A file cut short, or damaged inside, gives no find or one that ends
// before the damage or (where only lengths are written) no further than
// the whole file would have.
TEST(CardWalks, CutOrDamagedFilesEndBeforeTheDamageAndNeverRunIntoTheNext) {
    const Bytes next = sample("media/photo.heic");
    for (const Sample &s : k_samples) {
        SCOPED_TRACE(s.file);
        const Bytes file = sample(s.file);
        for (double at : {0.3, 0.6, 0.9}) {
            const size_t cut = size_t(double(file.size()) * at);
            Bytes input(file.begin(), file.begin() + long(cut));
            append(input, next);
            auto r = walk(s.fn, input, k_card_names, input.size());
            if (r.found) {
                EXPECT_LE(r.length, cut + overshoot(s, file, cut)) << at;
            }

            Bytes damaged = file;
            for (size_t k = 0; k < 8; ++k) damaged[cut + k] ^= 0x5A;
            append(damaged, next);
            auto d = walk(s.fn, damaged, k_card_names, damaged.size());
            if (d.found) {
                EXPECT_LE(d.length, file.size()) << at;
            }
        }
    }
}

// The streams that check every piece (Ogg pages, FLAC frames) keep what is
// whole: a cut file comes back up to its last whole page or frame.
TEST(CardWalks, OggAndFlacKeepTheirWholePagesAndFrames) {
    const Bytes ogg = sample("media/voice.ogg");
    const auto pages = ogg_pages(ogg);
    ASSERT_GT(pages.size(), 6u);
    size_t five = 0;
    for (int i = 0; i < 5; ++i) five += pages[size_t(i)].size();
    Bytes cut(ogg.begin(), ogg.begin() + long(five + pages[5].size() / 2));
    append(cut, random_bytes(2000, 5));
    auto r = walk(lmr::deep_ogg, cut, "ogg", cut.size());
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(five, r.length);

    const Bytes flac = sample("media/voice.flac");
    Bytes half(flac.begin(), flac.begin() + long(flac.size() / 2));
    append(half, random_bytes(3000, 6));
    auto f = walk(lmr::deep_flac, half, "flac", half.size());
    EXPECT_EQ(1, f.found);
    EXPECT_LE(f.length, flac.size() / 2);
    EXPECT_GT(f.length, flac.size() / 4);
    // What it keeps ends where a frame begins in the whole file.
    EXPECT_EQ(0xFF, flac[f.length]);
    EXPECT_EQ(0xF8, flac[f.length + 1] & 0xFE);
}

// Pages of two streams interleaved (sound and another stream of one
// recording) are followed by their serial numbers; a page of a stream that
// never opened ends the file.
TEST(CardWalks, OggFollowsInterleavedStreamsBySerialNumber) {
    const auto a = ogg_pages(sample("media/voice.ogg"));
    const auto b = ogg_pages(sample("media/voice.opus"));
    ASSERT_NE(le32(a[0].data() + 14), le32(b[0].data() + 14));
    Bytes both = a[0];
    append(both, b[0]);
    for (size_t i = 1; i < std::max(a.size(), b.size()); ++i) {
        if (i < a.size()) append(both, a[i]);
        if (i < b.size()) append(both, b[i]);
    }
    Bytes input = both;
    append(input, random_bytes(3000, 7));
    auto r = walk(lmr::deep_ogg, input, "ogg,opus", 100);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(both.size(), r.length);
    EXPECT_EQ("ogg", r.suffix);

    // The same first stream with a foreign page in the middle.
    Bytes foreign;
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 4) append(foreign, b[3]);
        append(foreign, a[i]);
    }
    size_t four = 0;
    for (size_t i = 0; i < 4; ++i) four += a[i].size();
    auto f = walk(lmr::deep_ogg, foreign, "ogg", foreign.size());
    EXPECT_EQ(1, f.found);
    EXPECT_EQ(four, f.length);
}

// Files whose end is not written where the walk looks first: a HEIF whose
// "mdat" runs to the end of the file ends with its last item; a FLAC that
// does not count its samples ends with its last frame; a Matroska Segment
// larger than the input holds is walked to its last whole element.
TEST(CardWalks, EndsTakenFromTheStructureWhenTheSizeIsNotWritten) {
    Bytes heic = sample("media/photo.heic");
    const size_t mdat = heic.size() - 5195;
    ASSERT_EQ(0, memcmp(heic.data() + mdat + 4, "mdat", 4));
    memset(heic.data() + mdat, 0, 4);
    Bytes input = heic;
    append(input, random_bytes(4000, 8));
    auto h = walk(lmr::deep_heif, input, "heic", input.size());
    EXPECT_EQ(1, h.found);
    EXPECT_EQ(heic.size(), h.length);
    // ...and without its item locations it has no end: no find.
    Bytes no_iloc = input;
    for (size_t i = 0; i + 4 < mdat; ++i)
        if (memcmp(no_iloc.data() + i, "iloc", 4) == 0) memcpy(no_iloc.data() + i, "xloc", 4);
    EXPECT_EQ(0, walk(lmr::deep_heif, no_iloc, "heic", no_iloc.size()).found);

    Bytes flac = sample("media/voice.flac");
    // STREAMINFO's total samples: the low 36 bits of bytes 21 to 25.
    flac[21] &= 0xF0;
    memset(flac.data() + 22, 0, 4);
    Bytes tail = flac;
    append(tail, random_bytes(4000, 9));
    auto f = walk(lmr::deep_flac, tail, "flac", tail.size());
    EXPECT_EQ(1, f.found);
    EXPECT_EQ(flac.size(), f.length);

    const Bytes mkv = sample("media/clip.mkv");
    Bytes cut(mkv.begin(), mkv.begin() + long(mkv.size() * 3 / 4));
    auto m = walk(lmr::deep_mkv, cut, "mkv", cut.size());
    EXPECT_EQ(1, m.found);
    EXPECT_LE(m.length, cut.size());
    EXPECT_GT(m.length, 0u);
}

// Random bytes behind each format's signature, and damaged copies of the
// samples: no find from noise, and no find reaches past the input.
TEST(CardWalks, NoiseBehindTheSignaturesIsNoFileAndDamageStaysInBounds) {
    const std::vector<std::pair<probe_fn, Bytes>> heads = {
        {lmr::deep_heif, bytes_of(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24))},
        {lmr::deep_m4a, bytes_of(std::string("\0\0\0\x14" "ftypM4A \0\0\0\0M4A ", 20))},
        {lmr::deep_ogg, bytes_of(std::string("OggS\0\x02", 6))},
        {lmr::deep_flac, bytes_of(std::string("fLaC\x80\0\0\x22\x10\0\x10\0", 12))},
        {lmr::deep_mkv, bytes_of(std::string("\x1A\x45\xDF\xA3\x9F\x42\x82\x84webm", 12))},
        {lmr::deep_aac, Bytes{0xFF, 0xF1, 0x50, 0x80}},
    };
    for (uint32_t seed = 0; seed < 40; ++seed) {
        for (auto &h : heads) {
            Bytes input = h.second;
            append(input, random_bytes(20000, seed));
            auto r = walk(h.first, input, k_card_names, input.size());
            EXPECT_EQ(0, r.found) << seed << " " << r.suffix;
        }
    }
    std::mt19937 rng(77);
    for (const Sample &s : k_samples) {
        const Bytes file = sample(s.file);
        for (int round = 0; round < 30; ++round) {
            Bytes b = file;
            for (int k = 1 + int(rng() % 16); k > 0; --k) b[rng() % std::min<size_t>(b.size(), 4096)] ^= uint8_t(rng());
            if (rng() % 3 == 0) b.resize(1 + rng() % b.size());
            auto r = walk(s.fn, b, k_card_names, rng() % 2 ? b.size() : rng() % b.size());
            if (r.found) {
                ASSERT_LE(r.length, b.size()) << s.file << " round " << round;
            }
        }
    }
}

// A voice note with pauses (silence descriptors and no-data frames) and a
// change of mode: the deep walk keeps it whole, the built-in rule still
// ends it at the first frame of another header byte.
TEST(CardWalks, AmrVoiceNoteWithPausesIsWholeInADeepScan) {
    const Bytes note = sample("media/amr_pauses.amr");
    Bytes input = note;
    append(input, Bytes(3000, 0));  // the zero padding of its last cluster
    append(input, random_bytes(2000, 10));
    for (size_t in_memory : {size_t(16), input.size()}) {
        for (bool deep : {true, false}) {
            DeepScan mode(deep);
            auto r = probe_once(input, "amr", in_memory);
            EXPECT_EQ(1, r.found);
            EXPECT_EQ(deep ? note.size() : 6u + 60 * 32, r.length) << deep << " " << in_memory;
        }
    }
    // A file that starts in a pause is a voice note too; zeros after the
    // magic are not.
    Bytes pause = bytes_of("#!AMR\n");
    append(pause, Bytes(12, 0x7C));
    append(pause, Bytes(note.begin() + 6, note.end()));
    EXPECT_EQ(pause.size(), walk(lmr::deep_amr, pause, "amr", pause.size()).length);
    Bytes bad = bytes_of("#!AMR\n");
    append(bad, Bytes(400, 0x00));
    EXPECT_EQ(0, walk(lmr::deep_amr, bad, "amr", bad.size()).found);
}

// ISO media behind the one "ftyp" signature: a deep scan names still
// pictures and audio by their brands, each only when its name is asked
// for; the built-in rules know none of them and keep finding video.
TEST(CardWalks, IsoMediaIsToldApartByBrandInADeepScanOnly) {
    const struct {
        const char *file;
        const char *deep;  // the name a deep scan finds it under
    } cases[] = {
        {"media/photo.heic", "heic"},      {"media/photo.avif", "avif"}, {"media/cr3_layout.cr3", "cr3"},
        {"media/voice.m4a", "m4a"},        {"media/moov_first.mp4", "mp4"},
    };
    // The built-in rules walk the boxes of a raw photo and of MPEG-4 audio
    // as they walk a video's, and call them mp4.
    auto rule_finds = [](const std::string &deep) { return deep == "mp4" || deep == "m4a" || deep == "cr3"; };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes file = sample(c.file);
        Bytes input = file;
        append(input, random_bytes(3000, 12));
        {
            DeepScan mode(true);
            auto r = probe_once(input, "mp4,mov,3gp,heic,avif,cr3,m4a", 200);
            EXPECT_EQ(1, r.found);
            EXPECT_EQ(c.deep, r.suffix);
            EXPECT_EQ(file.size(), r.length);
            EXPECT_EQ(0, probe_once(input, "mov,3gp", input.size()).found);
        }
        DeepScan mode(false);
        auto r = probe_once(input, "mp4,mov,3gp,heic,avif,cr3,m4a", input.size());
        EXPECT_EQ(rule_finds(c.deep), r.found == 1);
        if (r.found) {
            EXPECT_EQ("mp4", r.suffix);
        }
    }
}

// A deep scan of an image: each sample at a block start, other files
// (a JPEG, an MP3) between them and random bytes after each, is found byte
// for byte under its name; the files around it are found as before.
TEST(CardWalks, DeepScanFindsEverySampleWholeAmongOtherFiles) {
    Bytes image = random_bytes(2048, 13);
    std::vector<Find> expected;
    const Bytes jpg = sample("image/jfif.jpg");
    for (const Sample &s : k_samples) {
        const Bytes file = sample(s.file);
        expected.push_back({image.size(), file.size(), s.suffix});
        append(image, file);
        append(image, random_bytes(300, uint32_t(image.size())));
        pad_to(image, 4096);
        expected.push_back({image.size(), jpg.size(), "jpg"});
        append(image, jpg);
        pad_to(image, 4096);
    }
    TempFile f(image);
    DeepScan mode(true);
    std::string names = std::string(k_card_names) + ",jpg";
    auto finds = scan(f.path(), names.c_str());
    ASSERT_EQ(expected.size(), finds.size());
    for (size_t k = 0; k < finds.size(); ++k) {
        EXPECT_EQ(expected[k].offset, finds[k].offset) << k << " " << expected[k].suffix;
        EXPECT_EQ(expected[k].length, finds[k].length) << k << " " << expected[k].suffix;
        EXPECT_EQ(expected[k].suffix, finds[k].suffix) << k;
    }
}

// An item-location box whose extents take no bytes, with the largest counts
// its fields allow, is read in one pass (a walk may not spin on counts).
TEST(CardWalks, HeifItemLocationsWithEmptyExtentsAreReadInOnePass) {
    auto be = [](Bytes &b, uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
    };
    Bytes iloc;
    be(iloc, 0, 4);                  // size, set below
    append(iloc, bytes_of("iloc"));
    be(iloc, 1u << 24, 4);           // version 1
    be(iloc, 0, 2);                  // offset, length, base and index sizes 0
    be(iloc, 65535, 2);              // items
    for (int i = 0; i < 65535; ++i) {
        be(iloc, uint64_t(i), 2);    // item ID
        be(iloc, 0, 2);              // construction method
        be(iloc, 0, 2);              // data reference
        be(iloc, 65535, 2);          // extents
    }
    const uint32_t n = uint32_t(iloc.size());
    iloc[0] = uint8_t(n >> 24), iloc[1] = uint8_t(n >> 16), iloc[2] = uint8_t(n >> 8), iloc[3] = uint8_t(n);
    Bytes meta;
    be(meta, 12 + iloc.size(), 4);
    append(meta, bytes_of("meta"));
    be(meta, 0, 4);
    append(meta, iloc);
    Bytes file = bytes_of(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24));
    append(file, meta);
    Bytes mdat;
    be(mdat, 1008, 4);
    append(mdat, bytes_of("mdat"));
    append(mdat, random_bytes(1000, 14));
    append(file, mdat);
    Bytes input = file;
    append(input, random_bytes(2000, 15));
    auto r = walk(lmr::deep_heif, input, "heic", input.size());
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(file.size(), r.length);
}
