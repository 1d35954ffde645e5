// MP4/QuickTime/3GP, ASF and MPEG program stream probes.
#include "probe_helpers.h"

using namespace lmrtest;

TEST(Mp4Probe, EncoderFilesBySubtypeAndRequestedNames) {
    struct Case {
        const char *file;
        const char *requested;
        int32_t found;
        const char *suffix;
    } cases[] = {
        {"media/moov_first.mp4", "mp4", 1, "mp4"},
        {"media/mdat_first.mp4", "mp4", 1, "mp4"},
        {"media/mdat_first.mp4", "mov,3gp", 0, "mp4"},
        {"media/quicktime.mov", "mov", 1, "mov"},
        {"media/quicktime.mov", "mp4", 0, "mov"},
        {"media/h263.3gp", "3gp", 1, "3gp"},
        {"media/h263.3gp", "mp4,mov", 0, "3gp"},
        {"media/brand_3g2a.3gp", "mp4", 1, "mp4"},  // only brand 3gp4 makes a "3gp"
        {"media/brand_3g2a.3gp", "3gp", 0, "mp4"},
    };
    for (auto &c : cases) {
        Bytes file = sample(c.file);
        Bytes input = file;
        append(input, random_bytes(2048, 5));
        TempFile f(input);
        ProbeRun run(f.path(), c.requested);
        DiagCapture diag;
        auto r = run.probe(input, 0, 40);
        EXPECT_EQ(c.found, r.found) << c.file << " asked as " << c.requested;
        EXPECT_EQ(c.suffix, r.suffix) << c.file;
        EXPECT_EQ(file.size(), r.length) << c.file;
        if (c.found) {
            EXPECT_TRUE(diag.has(std::string("found a ") + c.suffix +
                                 " file, offset: 0, file_size: " + std::to_string(file.size())));
        }
    }
}

TEST(Mp4Probe, BoxWalkRules) {
    Bytes mdat = box("mdat", 3000);
    ProbeCase cases[] = {
        {"ftyp free mdat", concat({ftyp("isom"), box("free", 0), mdat}), 1, 24 + 8 + 3008},
        {"metadata box before mdat", concat({ftyp("isom"), box("meta", 40), mdat}), 0, 0},
        {"no mdat", concat({ftyp("isom"), box("moov", 100)}), 0, 0},
        {"no ftyp", concat({box("moov", 100), mdat}), 0, 0},
        {"pnot box accepted", concat({ftyp("qt  "), box("pnot", 12), mdat}), 1, 24 + 20 + 3008},
        {"mdat to end of file (size 0)", concat({ftyp("isom"), box("free", 0), Bytes{0, 0, 0, 0, 'm', 'd', 'a', 't', 1, 2}}), 0, 0},
    };
    expect_cases(cases, "mp4,mov");
}

TEST(Mp4Probe, LargeSizeFormAndBoxesPastTheChunk) {
    // An mdat in the 64-bit size form.
    Bytes large = ftyp("isom");
    Bytes mdat = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0x10, 0x10};
    mdat.resize(0x1010, 0x22);
    append(large, mdat);
    append(large, box("moov", 64));
    Bytes input = large;
    append(input, Bytes(500, 0));
    {
        auto r = probe_once(input, "mp4", 100);
        EXPECT_EQ(1, r.found);
        EXPECT_EQ(large.size(), r.length);
    }
    // An mdat that claims more than the input holds: cut at the input's end.
    Bytes cut = sample("media/mdat_first.mp4");
    cut.resize(cut.size() - 5000);
    auto r = probe_once(cut, "mp4", 100);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(cut.size(), r.length);
}

TEST(AsfProbe, HeaderChecksAndFileSizeField) {
    Bytes wmv = sample("media/wmv2_wma2.wmv");
    {
        Bytes input = wmv;
        append(input, random_bytes(4096, 9));
        DiagCapture diag;
        auto r = probe_once(input, "wmv", 200);
        EXPECT_EQ(1, r.found);
        EXPECT_EQ(wmv.size(), r.length);
        // Header object of this file: 759 bytes, file-properties object 104.
        EXPECT_TRUE(diag.has("header size: 104, file_size: " + std::to_string(wmv.size())));
    }
    const size_t props = size_t(std::search(wmv.begin(), wmv.end(), search_spec[0].footer.value,
                                            search_spec[0].footer.value + 6) - wmv.begin());
    ASSERT_LT(props, 759u);
    auto variant = [&](size_t at, std::initializer_list<unsigned char> bytes) {
        Bytes b = wmv;
        std::copy(bytes.begin(), bytes.end(), b.begin() + long(at));
        return b;
    };
    ProbeCase cases[] = {
        {"reserved byte 2", variant(28, {2}), 0, 0},
        {"no header objects", variant(24, {0, 0, 0, 0}), 0, 0},
        {"header size zero", variant(16, {0, 0, 0, 0, 0, 0, 0, 0}), 0, 0},
        {"file size zero", variant(props + 40, {0, 0, 0, 0, 0, 0, 0, 0}), 0, 0},
        {"file size past the input", variant(props + 40, {0, 0, 0, 0, 0, 0, 0, 0x40}), 1, wmv.size()},
    };
    expect_cases(cases, "wmv");
}

TEST(MpgProbe, NeverReports) {
    Bytes pack = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8};
    append(pack, Bytes(4000, 0));
    pack[2048] = 0, pack[2050] = 1, pack[2051] = 0xB9;
    TempFile f(pack);
    ProbeRun run(f.path(), "mpg");
    EXPECT_EQ(0, run.probe(pack, 0, 16).found);
    EXPECT_TRUE(scan(f.path(), "mpg").empty());
}
