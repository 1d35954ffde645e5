// A whole scan of an image file holding pictures at sector-aligned offsets
// between random bytes: every picture is reported at its offset and length.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <tuple>

using lmrtest::Bytes;
using lmrtest::TempFile;

namespace {

using Find = std::tuple<uint64_t, uint64_t, std::string>;

void collect(void *context, r_info *info) {
    static_cast<std::set<Find> *>(context)->insert(Find(info->offset, info->length, info->suffix));
}

// Random bytes whose sector starts carry no picture signature.
void append_noise(Bytes &out, size_t n, std::mt19937 &rng) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(rng());
        if ((out.size() % 512) == 0) c = 0;
        out.push_back(c);
    }
}

TEST(ImageScan, FindsEveryPictureAtItsOffset) {
    struct Pic {
        const char *name;
        bool reported;
    };
    const Pic pics[] = {
        {"jfif.jpg", true},           {"png_edge_10240.png", true}, {"gif87a_128.gif", true},
        {"height_2000.bmp", true},    {"no_app0.jpg", false},       {"jfif_exif_thumb.jpg", true},
        {"png_edge_10239.png", false}, {"gif89a_animated_pil.gif", true}, {"height_2001.bmp", false},
        {"progressive.jpg", true},    {"rgb.png", true},            {"gif89a_comment.gif", true},
        {"palette.bmp", true},        {"exif_first_thumb.jpg", true}, {"v5.bmp", true},
    };
    std::mt19937 rng(42);
    Bytes image;
    std::set<Find> expected;
    append_noise(image, 3 * 512 + 17, rng);
    for (const Pic &p : pics) {
        append_noise(image, (512 - image.size() % 512) % 512 + 512 * (rng() % 4), rng);
        Bytes pic = lmrtest::read_file(lmrtest::data_path(std::string("image/") + p.name));
        ASSERT_FALSE(pic.empty()) << p.name;
        std::string suffix = std::string(p.name).substr(std::string(p.name).rfind('.') + 1);
        if (p.reported) expected.insert(Find(image.size(), pic.size(), suffix));
        image.insert(image.end(), pic.begin(), pic.end());
    }
    append_noise(image, 5000, rng);
    TempFile f(image, "lmr-image-scan");

    std::set<Find> finds;
    skip_exist = 0;
    is_formated = 0;
    set_callbacks(&finds, collect, nullptr, nullptr);
    start_recovery2(f.path().c_str(), "jpg,png,gif,bmp", "", 0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);

    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
    EXPECT_EQ(finds, expected);
    for (const Find &x : finds) {
        // Byte for byte: the exported range is the picture.
        TempFile out({}, "lmr-image-export");
        ASSERT_EQ(general_file_export(f.path().c_str(), std::get<0>(x), std::get<1>(x), out.path().c_str()), 0);
        Bytes got = lmrtest::read_file(out.path());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), image.begin() + std::get<0>(x)) && got.size() == std::get<1>(x))
            << std::get<2>(x) << " at " << std::get<0>(x);
    }
}

}  // namespace
