// The shared sample collection, when it lies beside the work tree: every
// picture that should be found is found byte for byte, the others are not.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

using lmrtest::Bytes;
using lmrtest::TempFile;

namespace {

const std::string k_corpus = std::string(LUMAREK_SOURCE_DIR) + "/../shared/corpus/";

TEST(CorpusPictures, FoundByteExact) {
    struct stat st;
    if (stat(k_corpus.c_str(), &st) != 0) GTEST_SKIP() << "no sample collection at " << k_corpus;
    struct Sample {
        const char *name;
        bool found;
    };
    const Sample samples[] = {
        {"jpg_exif_app1first_thumb.jpg", true}, {"jpg_jfif_baseline_01.jpg", true},
        {"jpg_jfif_baseline_02.jpg", true},     {"jpg_jfif_baseline_03.jpg", true},
        {"jpg_jfif_exif_thumb.jpg", true},      {"jpg_progressive_01.jpg", true},
        {"jpg_progressive_02.jpg", true},       {"jpg_neg_no_app0.jpg", false},
        {"png_edge_10240.png", true},           {"png_gray16_01.png", true},
        {"png_interlaced_01.png", true},        {"png_palette_01.png", true},
        {"png_rgb_01.png", true},               {"png_rgba_01.png", true},
        {"png_edge_10239.png", false},          {"png_small_01.png", false},
        {"png_small_02.png", false},            {"gif87a_01.gif", true},
        {"gif87a_2colour.gif", true},           {"gif89a_animated.gif", true},
        {"gif89a_animated_pil.gif", true},      {"gif89a_comment.gif", true},
        {"bmp_24bit_v3.bmp", true},             {"bmp_24bit_v5.bmp", true},
        {"bmp_8bit_palette.bmp", true},         {"bmp_height_2000.bmp", true},
        {"bmp_neg_tall.bmp", false},
    };
    std::map<std::string, std::pair<int, int>> tally;  // suffix: byte-exact finds, samples
    for (const Sample &s : samples) {
        std::string path = k_corpus + s.name;
        Bytes pic = lmrtest::read_file(path);
        ASSERT_FALSE(pic.empty()) << path;
        std::string suffix = std::string(s.name).substr(0, 3);
        // In memory as a scan window would hold it, and through the file.
        lmrtest::ProbeRun run(path, suffix.c_str());
        for (size_t in_memory : {pic.size(), size_t(64)}) {
            auto r = run.probe(pic, 0, in_memory);
            EXPECT_EQ(r.found, s.found ? 1 : 0) << s.name << " with " << in_memory << " bytes in memory";
            if (s.found) {
                EXPECT_EQ(r.length, pic.size()) << s.name;
            }
        }
        auto r = run.probe(pic, 0, pic.size());
        if (s.found && r.found && r.length == pic.size()) tally[suffix].first++;
        if (s.found) tally[suffix].second++;
    }
    for (const auto &t : tally)
        printf("%s: %d of %d pictures found byte-exact\n", t.first.c_str(), t.second.first, t.second.second);
}

// In a deep scan every picture of the collection is found byte for byte,
// those the built-in rules refuse included.
TEST(CorpusPictures, EveryOneFoundByteExactInADeepScan) {
    struct stat st;
    if (stat(k_corpus.c_str(), &st) != 0) GTEST_SKIP() << "no sample collection at " << k_corpus;
    lmrtest::DeepScan deep;
    int pictures = 0;
    for (const char *prefix : {"jpg_", "png_"}) {
        std::string list = lmrtest::run("ls " + k_corpus + " | grep '^" + prefix + "'");
        for (size_t at = 0, nl; (nl = list.find('\n', at)) != std::string::npos; at = nl + 1) {
            const std::string name = list.substr(at, nl - at), path = k_corpus + name;
            Bytes pic = lmrtest::read_file(path);
            lmrtest::ProbeRun run(path, std::string(prefix, 3).c_str());
            for (size_t in_memory : {pic.size(), size_t(64)}) {
                auto r = run.probe(pic, 0, in_memory);
                EXPECT_EQ(r.found, 1) << name << " with " << in_memory << " bytes in memory";
                EXPECT_EQ(r.length, pic.size()) << name;
            }
            ++pictures;
        }
    }
    EXPECT_GE(pictures, 17);
}

}  // namespace
