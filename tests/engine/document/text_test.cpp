// Text probes: the UTF-8 walk and its 5000-byte floor, the first-character
// rule, the ASCII variant, and the text scan mode of the driver.
#include "../media/probe_helpers.h"

using namespace lmrtest;

namespace {

const std::string k_zh = "\xE4\xB8\xAD\xE6\x96\x87";  // two 3-byte characters

Bytes utf8_text(size_t at_least) {
    std::string s;
    while (s.size() < at_least) s += "Line of text, " + k_zh + " and more.\r\n";
    return bytes_of(s);
}

struct Probed {
    int32_t found;
    uint64_t length;
    std::vector<std::string> diag;
};

Probed probe_text(const Bytes &input, const char *suffix = "txt", bool ascii_variant = false) {
    TempFile f(input);
    ProbeRun run(f.path(), suffix);
    DiagCapture diag;
    if (!ascii_variant) {
        auto r = run.probe(input, 0, 300);
        return {r.found, r.length, diag.lines()};
    }
    int32_t found = 0;
    uint64_t len = probe_txt2(run.state(), run.entry(), input.data(),
                              int32_t(std::min<size_t>(input.size(), 300)), 0, input.size(), &found);
    return {found, len, diag.lines()};
}

}  // namespace

TEST(TextProbe, FiveThousandByteFloor) {
    auto short_one = probe_text(sample("document/bom_5000.txt"));
    EXPECT_EQ(0, short_one.found);
    EXPECT_NE(short_one.diag.end(), std::find(short_one.diag.begin(), short_one.diag.end(), "file too short!"));

    Bytes ok = sample("document/bom_5001.txt");
    Bytes input = ok;
    input.push_back(0);
    auto r = probe_text(input);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(ok.size(), r.length);
}

TEST(TextProbe, FirstNonBlankByteDecides) {
    Bytes ascii_first = utf8_text(20000);
    EXPECT_EQ(0, probe_text(ascii_first).found);

    Bytes zh_first = bytes_of("\r\n\t  " + k_zh);
    append(zh_first, utf8_text(8000));
    auto r = probe_text(zh_first);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(zh_first.size(), r.length);

    Bytes digit_first = bytes_of("\xEF\xBB\xBF");
    digit_first[0] = '1';
    append(digit_first, utf8_text(8000));
    EXPECT_EQ(0, probe_text(digit_first).found);
}

TEST(TextProbe, WalkEndsBeforeTheFirstBadByte) {
    Bytes body = bytes_of("\xEF\xBB\xBF");
    append(body, utf8_text(6000));
    const std::vector<Bytes> breakers = {
        {0x00}, {0x01}, {0x7F}, {0x1B, 'x'}, {0xE4, 0xB8, 'a'}, {0x80}, {0xFE}, {0xFF},
    };
    for (const Bytes &bad : breakers) {
        Bytes input = body;
        append(input, bad);
        append(input, utf8_text(3000));
        auto r = probe_text(input);
        EXPECT_EQ(1, r.found) << int(bad[0]);
        EXPECT_EQ(body.size(), r.length) << int(bad[0]);
    }
    // A sequence cut by the end of the input is not counted; one that
    // straddles the 512-byte reads is.
    Bytes cut = body;
    cut.push_back(0xE4);
    cut.push_back(0xB8);
    EXPECT_EQ(body.size(), probe_text(cut).length);
    Bytes straddle = bytes_of("\xEF\xBB\xBF");
    append(straddle, Bytes(508, 'a'));
    append(straddle, bytes_of(k_zh));
    append(straddle, utf8_text(6000));
    EXPECT_EQ(straddle.size(), probe_text(straddle).length);
}

TEST(TextProbe, AsciiVariant) {
    Bytes text = bytes_of("  Plain words\n");
    while (text.size() < 700) append(text, bytes_of("more plain words\n"));
    auto r = probe_text(text, "txt", true);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(text.size(), r.length);
    EXPECT_EQ("N=2", r.diag.at(0));
    EXPECT_EQ("firstchar=50", r.diag.at(1));

    Bytes markup = bytes_of("<html>");
    append(markup, text);
    EXPECT_EQ(0, probe_text(markup, "txt", true).found);
    Bytes hundred(text.begin(), text.begin() + 100);
    hundred.push_back(0);
    append(hundred, text);
    EXPECT_EQ(0, probe_text(hundred, "txt", true).found);
}

TEST(TextScan, TextFirstModeProbesQualifyingBlocks) {
    // No byte-order mark: only the text scan mode offers this block.
    Bytes zh = bytes_of("\n\n\n" + k_zh);
    append(zh, utf8_text(7000));
    Bytes image(1024, 0);
    const uint64_t at = image.size();
    append(image, zh);
    image.push_back(0);
    pad_to(image, 512);
    append(image, Bytes(1024, 0));
    TempFile f(image);
    auto finds = scan(f.path(), "txt");
    ASSERT_EQ(1u, finds.size());
    EXPECT_EQ(at, finds[0].offset);
    EXPECT_EQ(zh.size(), finds[0].length);
    EXPECT_EQ("txt", finds[0].suffix);
}

TEST(DocumentScan, DamagedFilesNeverGiveFindsPastTheInput) {
    probe_damaged_copies(sample("document/two_updates_lf.pdf"), "pdf", 60, 21);
    probe_damaged_copies(sample("document/linearized_cr.pdf"), "pdf", 60, 22);
    probe_damaged_copies(sample("document/p1024.sqlite"), "sqlite", 80, 23);
    probe_damaged_copies(sample("document/bom_5001.txt"), "txt", 40, 24);
}
