// MP4/QuickTime/3GP in a deep scan: every 3GPP brand names a 3gp, the
// other top-level boxes of the format are walked, and a second "ftyp" is
// where the next file begins.
#include "probe_helpers.h"

using namespace lmrtest;

TEST(Mp4Deep, EveryThreeGppBrandIsA3gpTheAudioBrandsAreM4aAndTheOtherMpeg4BrandsStayMp4) {
    struct Case {
        const char *brand;
        const char *deep;  // suffix in a deep scan
        const char *rule;  // suffix by the built-in rules
    } cases[] = {
        {"3gp4", "3gp", "3gp"}, {"3gp5", "3gp", "mp4"}, {"3gp6", "3gp", "mp4"}, {"3gp7", "3gp", "mp4"},
        {"3gp8", "3gp", "mp4"}, {"3gp9", "3gp", "mp4"}, {"3g2a", "3gp", "mp4"}, {"3g2c", "3gp", "mp4"},
        {"3ge6", "3gp", "mp4"}, {"3ge9", "3gp", "mp4"}, {"3gg6", "3gp", "mp4"}, {"3gr9", "3gp", "mp4"},
        {"3gs7", "3gp", "mp4"}, {"isom", "mp4", "mp4"}, {"iso6", "mp4", "mp4"}, {"mp41", "mp4", "mp4"},
        {"mp42", "mp4", "mp4"}, {"avc1", "mp4", "mp4"}, {"M4V ", "mp4", "mp4"}, {"M4A ", "m4a", "mp4"}, {"M4B ", "m4a", "mp4"},
        {"qt  ", "mov", "mov"}, {"3gp3", "mp4", "mp4"}, {"3gex", "mp4", "mp4"},
    };
    // A real 3GP with its brand changed, whole in memory and mostly not.
    Bytes real = sample("media/h263.3gp");
    ASSERT_EQ(memcmp(real.data() + 8, "3gp4", 4), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.brand);
        Bytes file = real;
        memcpy(file.data() + 8, c.brand, 4);
        Bytes input = file;
        append(input, random_bytes(3000, 8));
        for (bool deep : {true, false}) {
            DeepScan mode(deep);
            const char *want = deep ? c.deep : c.rule;
            for (size_t in_memory : {size_t(40), input.size()}) {
                auto r = probe_once(input, "mp4,mov,3gp,m4a", in_memory);
                EXPECT_EQ(r.found, 1);
                EXPECT_EQ(r.suffix, want) << deep;
                EXPECT_EQ(r.length, file.size());
            }
            // Reported only under its own name.
            auto other = probe_once(input, std::string(want) == "3gp" ? "mp4,mov,m4a" : "3gp", input.size());
            EXPECT_EQ(other.found, 0) << deep;
        }
    }
}

TEST(Mp4Deep, MetadataAndFragmentBoxesAreWalkedAndASecondFtypEndsTheFile) {
    Bytes mdat = box("mdat", 3000);
    ProbeCase cases[] = {
        {"metadata box before mdat", concat({ftyp("isom"), box("meta", 40), mdat}), 1, 24 + 48 + 3008},
        {"fragmented", concat({ftyp("iso6"), box("moov", 200), box("sidx", 44), box("moof", 100), mdat,
                              box("moof", 100), box("mdat", 500), box("mfra", 60)}),
         1, 24 + 208 + 52 + 108 + 3008 + 108 + 508 + 68},
        {"user data after moov", concat({ftyp("mp42"), mdat, box("moov", 300), box("udta", 30)}), 1,
         24 + 3008 + 308 + 38},
        {"unknown box still ends the walk", concat({ftyp("isom"), mdat, box("moov", 30), box("zzzz", 30)}), 1,
         24 + 3008 + 38},
        {"no mdat", concat({ftyp("isom"), box("moov", 100), box("meta", 10)}), 0, 0},
        // Pictures stored as ISO media are no videos.
        {"HEIF picture", concat({ftyp("heic"), box("meta", 300), mdat}), 0, 0},
        {"AVIF picture", concat({ftyp("avif"), box("meta", 300), mdat}), 0, 0},
        {"HEIF sequence", concat({ftyp("msf1"), box("meta", 30), box("moov", 90), mdat}), 0, 0},
    };
    {
        DeepScan mode;
        expect_cases(cases, "mp4");
    }
    // Two files back to back: by the built-in rules the second one's ftyp
    // is walked like any box and the two come back as one; a deep scan ends
    // the first where the second begins.
    Bytes first = concat({ftyp("isom"), box("moov", 100), mdat});
    Bytes second = concat({ftyp("3gp6"), box("free", 8), box("mdat", 700), box("moov", 90)});
    Bytes both = first;
    append(both, second);
    append(both, Bytes(512, 0));
    {
        DeepScan mode;
        auto r = probe_once(both, "mp4,3gp", both.size());
        EXPECT_EQ(r.found, 1);
        EXPECT_EQ(r.length, first.size());
        EXPECT_EQ(r.suffix, "mp4");
    }
    {
        DeepScan mode(false);
        auto r = probe_once(both, "mp4,3gp", both.size());
        EXPECT_EQ(r.length, first.size() + second.size());
    }
}
