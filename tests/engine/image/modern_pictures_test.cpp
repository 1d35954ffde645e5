// Deep mode's WebP and TIFF walks: real files made by the packaged
// encoders and camera RAW layouts built by hand end where their structure
// ends, are named by it, and a cut or damaged copy is never taken past what
// it holds.  Outside deep mode none of them is found.
#include "engine/media/probe_helpers.h"
#include "raw_layouts.h"

#include <gtest/gtest.h>

using namespace lmrtest;

namespace {

// Probes `file` placed after random bytes and followed by others, with all
// of it in memory, a few bytes or none: every way gives the same answer.
ProbeRun::Result probe_placed(const Bytes &file, const char *suffixes, const std::string &what) {
    Bytes input = random_bytes(1024, 5);
    append(input, file);
    append(input, random_bytes(3000, 9));
    TempFile f(input);
    ProbeRun run(f.path(), suffixes);
    ProbeRun::Result first{};
    bool have = false;
    for (size_t in_memory : {input.size(), size_t(20), size_t(0)}) {
        DiagCapture quiet;
        auto r = run.probe(input, 1024, in_memory);
        if (!have) first = r, have = true;
        EXPECT_EQ(r.found, first.found) << what << ", " << in_memory << " in memory";
        EXPECT_EQ(r.length, first.length) << what << ", " << in_memory << " in memory";
    }
    return first;
}

void expect_whole(const Bytes &file, const char *suffixes, const std::string &suffix, const std::string &what) {
    DeepScan deep;
    auto r = probe_placed(file, suffixes, what);
    EXPECT_EQ(r.found, 1) << what;
    EXPECT_EQ(r.length, file.size()) << what;
    EXPECT_EQ(r.suffix, suffix) << what;
}

const char *k_all_tiff = "tif,cr2,nef,arw,dng,orf,rw2,pef";

TEST(ModernPictures, WebpSamplesEndAtTheirRiffSize) {
    for (const char *name : {"lossy.webp", "lossless.webp", "alpha.webp", "animated.webp"}) {
        Bytes pic = image_sample(name);
        expect_whole(pic, "webp", "webp", name);
        // The RIFF row's other forms are not disturbed by the WebP hand-on.
        expect_whole(pic, "avi,wav,webp", "webp", std::string(name) + " among RIFF forms");
    }
    // Not asked for, or not in deep mode: not found.
    Bytes pic = image_sample("lossy.webp");
    {
        DeepScan deep;
        EXPECT_EQ(probe_placed(pic, "avi,wav", "unasked").found, 0);
    }
    EXPECT_EQ(probe_placed(pic, "webp", "plain scan").found, 0);
}

TEST(ModernPictures, DamagedWebpIsNotTaken) {
    DeepScan deep;
    Bytes pic = image_sample("animated.webp");
    // Cut short: the RIFF size reaches past the input.
    Bytes cut(pic.begin(), pic.end() - 1);
    EXPECT_EQ(probe_once(cut, "webp", cut.size()).found, 0);
    // A RIFF size that disagrees with the chunks, either way.
    for (int delta : {-2, 2, 100}) {
        Bytes b = pic;
        uint32_t size = uint32_t(b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24) + uint32_t(delta);
        for (int i = 0; i < 4; ++i) b[4 + i] = uint8_t(size >> (8 * i));
        append(b, random_bytes(200, 3));
        EXPECT_EQ(probe_once(b, "webp", b.size()).found, 0) << delta;
    }
    // A chunk size that overruns the file.
    Bytes b = image_sample("lossy.webp");
    b[16] = 0xFF;
    b[17] = 0xFF;
    EXPECT_EQ(probe_once(b, "webp", b.size()).found, 0);
    probe_damaged_copies(pic, "webp", 300, 17);
}

TEST(ModernPictures, TiffSamplesEndAfterTheirFurthestStructure) {
    for (const char *name : {"strips.tif", "lzw.tif", "tiles_be.tif", "jpeg.tif", "pages.tif"}) {
        Bytes pic = image_sample(name);
        expect_whole(pic, "tif", "tif", name);
        // A cut copy is not whole: no find (its last strip is gone).
        DeepScan deep;
        Bytes cut(pic.begin(), pic.end() - 1);
        EXPECT_EQ(probe_once(cut, "tif", cut.size()).found, 0) << name;
    }
    EXPECT_EQ(probe_placed(image_sample("strips.tif"), "tif", "plain scan").found, 0);
}

TEST(ModernPictures, CameraRawLayoutsAreNamedAndEndAfterTheirLastBlock) {
    for (const Raw &r : raws()) {
        expect_whole(r.file, k_all_tiff, r.suffix, r.suffix);
        // Asked for under its own name alone, in either byte order.
        expect_whole(r.file, r.suffix, r.suffix, std::string(r.suffix) + " alone");
        DeepScan deep;
        Bytes cut(r.file.begin(), r.file.end() - 1);
        EXPECT_EQ(probe_once(cut, k_all_tiff, cut.size()).found, 0) << r.suffix;
        // Another kind asked for: the file is passed over.
        EXPECT_EQ(probe_once(r.file, "tif", r.file.size()).found, 0) << r.suffix;
    }
}

TEST(ModernPictures, HostileDirectoriesEndTheWalk) {
    DeepScan deep;
    // A chain that points back at itself, and at the header.
    for (uint32_t next : {8u, 0u + 4u}) {
        TiffBuilder t(true);
        uint32_t strip = t.blob(payload(100, 1));
        uint32_t d = t.directory({t.long_entry(273, strip), t.long_entry(279, 100)});
        t.first(d);
        t.chain(d, next == 8 ? d : next);
        auto r = probe_once(t.bytes(), "tif", t.size());
        if (r.found) {
            EXPECT_EQ(r.length, t.size());
        }
    }
    // A strip far past the input, a directory count past the input, an
    // entry of an unknown type, a count that overflows 32 bits.
    {
        TiffBuilder t(true);
        uint32_t d = t.directory({t.long_entry(273, 0x7FFFFFF0u), t.long_entry(279, 100)});
        t.first(d);
        EXPECT_EQ(probe_once(t.bytes(), "tif", t.size()).found, 0);
    }
    {
        TiffBuilder t(true);
        uint32_t strip = t.blob(payload(100, 1));
        uint32_t d = t.directory({t.long_entry(273, strip), t.long_entry(279, 100)});
        t.first(d);
        t.put16(d, 0xFFFF);
        EXPECT_EQ(probe_once(t.bytes(), "tif", t.size()).found, 0);
    }
    {
        TiffBuilder t(true);
        uint32_t strip = t.blob(payload(100, 1));
        uint32_t d = t.directory({t.long_entry(273, strip), {279, 99, 1, t.u32(100)}});
        t.first(d);
        EXPECT_EQ(probe_once(t.bytes(), "tif", t.size()).found, 0);
    }
    {
        TiffBuilder t(true);
        uint32_t d = t.directory({{273, TiffBuilder::LONG, 0xFFFFFFFFu, t.u32(16)}, t.long_entry(279, 100)});
        t.first(d);
        t.bytes().resize(t.size() + 200, 0);
        EXPECT_EQ(probe_once(t.bytes(), "tif", t.size()).found, 0);
    }
    for (const Raw &r : raws()) probe_damaged_copies(r.file, k_all_tiff, 150, 23);
    probe_damaged_copies(image_sample("pages.tif"), "tif", 200, 29);
}

}  // namespace

// The camera RAW layouts the benchmark's card holds are the ones built here.
TEST(RawLayouts, CommittedSamplesAreTheBuiltLayouts) {
    for (const lmrtest::Raw &r : lmrtest::raws())
        EXPECT_TRUE(lmrtest::sample(std::string("image/layout.") + r.suffix) == r.file) << r.suffix;
}
