// A deep scan of an image holding WebP, TIFF, camera RAW, 7z and gzip files
// at block starts between random bytes: each comes back at its offset,
// byte for byte, under its own name; a cut copy followed by another file
// is not reported and does not hide the file after it.
#include "engine/media/probe_helpers.h"
#include "raw_layouts.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

using namespace lmrtest;

namespace {

using Hit = std::tuple<uint64_t, uint64_t, std::string>;

// Random bytes up to the next block start and `extra` blocks more, with no
// signature at the block starts.
void noise_to_block(Bytes &image, size_t extra, uint32_t seed) {
    Bytes r = random_bytes((512 - image.size() % 512) % 512 + extra * 512, seed);
    for (size_t i = 0; i < r.size(); ++i)
        if ((image.size() + i) % 512 == 0) r[i] = 0;
    append(image, r);
}

TEST(ModernCardScan, EveryFileComesBackWhole) {
    std::vector<std::pair<std::string, Bytes>> files = {
        {"webp", sample("image/lossy.webp")},     {"webp", sample("image/animated.webp")},
        {"tif", sample("image/lzw.tif")},         {"tif", sample("image/tiles_be.tif")},
        {"7z", sample("archive/notes.7z")},       {"gz", sample("archive/readme.txt.gz")},
        {"tar.gz", sample("archive/notes.tar.gz")}, {"webp", sample("image/alpha.webp")},
    };
    for (const Raw &r : raws()) files.push_back({r.suffix, r.file});

    Bytes image = random_bytes(2000, 1);
    std::set<Hit> expected;
    uint32_t seed = 10;
    for (const auto &f : files) {
        noise_to_block(image, seed % 3, seed);
        ++seed;
        expected.insert(Hit(image.size(), f.second.size(), f.first));
        append(image, f.second);
    }
    // Cut copies, each followed at once (at the next block) by a whole file.
    for (const char *name : {"image/strips.tif", "archive/stored.7z", "archive/rgb.png.gz"}) {
        noise_to_block(image, 1, seed++);
        Bytes cut = sample(name);
        cut.resize(cut.size() / 2);
        append(image, cut);
        noise_to_block(image, 0, seed++);
        Bytes next = sample("image/lossless.webp");
        expected.insert(Hit(image.size(), next.size(), "webp"));
        append(image, next);
    }
    noise_to_block(image, 4, seed);
    TempFile f(image, "lmr-modern-card");

    std::vector<Find> finds;
    {
        DeepScan deep;
        finds = scan(f.path(), "webp,tif,cr2,nef,arw,dng,orf,rw2,pef,7z,gz,tar.gz,jpg,png");
    }
    std::set<Hit> got;
    for (const Find &x : finds) got.insert(Hit(x.offset, x.length, x.suffix));
    EXPECT_EQ(got, expected);

    // Outside deep mode none of them is reported.
    EXPECT_TRUE(scan(f.path(), "webp,tif,cr2,nef,arw,dng,orf,rw2,pef,7z,gz,tar.gz").empty());
}

}  // namespace
