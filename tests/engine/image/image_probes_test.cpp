// The picture probes on real samples and on crafted variants: where each
// file ends, and which candidates are refused.
#include "engine/media/probe_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using lmrtest::Bytes;
using lmrtest::ProbeRun;
using lmrtest::TempFile;
using lmrtest::image_sample;
using lmrtest::random_bytes;

namespace {

std::string suffix_of(const std::string &name) { return name.substr(name.rfind('.') + 1); }

constexpr size_t k_lead = 1536;

// Places `pic` inside random bytes, writes that input to a file and probes
// the candidate with all of the picture in memory, a few bytes, or none.
struct Probe {
    int32_t found;
    uint64_t length;
};

std::vector<Probe> probe_embedded(const Bytes &pic, const char *suffix, uint32_t seed = 1) {
    Bytes input = random_bytes(k_lead, seed);
    input.insert(input.end(), pic.begin(), pic.end());
    Bytes tail = random_bytes(4096, seed + 1);
    input.insert(input.end(), tail.begin(), tail.end());
    TempFile f(input);
    ProbeRun run(f.path(), suffix);
    std::vector<Probe> out;
    for (size_t in_memory : {input.size(), size_t(16), size_t(3), size_t(0)}) {
        auto r = run.probe(input, k_lead, in_memory);
        out.push_back({r.found, r.length});
        EXPECT_EQ(r.suffix, suffix) << "the reported suffix never changes";
    }
    return out;
}

void expect_found(const Bytes &pic, const char *suffix, uint64_t length, const std::string &what) {
    for (const Probe &p : probe_embedded(pic, suffix)) {
        EXPECT_EQ(p.found, 1) << what;
        EXPECT_EQ(p.length, length) << what;
    }
}

void expect_not_found(const Bytes &pic, const char *suffix, const std::string &what) {
    for (const Probe &p : probe_embedded(pic, suffix)) EXPECT_EQ(p.found, 0) << what;
}

TEST(ImageSamples, EachEndsWhereTheFileEnds) {
    const char *found[] = {"jfif.jpg",           "progressive.jpg", "jfif_exif_thumb.jpg", "exif_first_thumb.jpg",
                           "png_edge_10240.png", "rgb.png",         "gif87a_128.gif",      "gif89a_comment.gif",
                           "gif89a_animated_pil.gif", "height_2000.bmp", "palette.bmp", "v5.bmp"};
    for (const char *name : found) {
        Bytes pic = image_sample(name);
        expect_found(pic, suffix_of(name).c_str(), pic.size(), name);
    }
    const char *refused[] = {"no_app0.jpg", "png_edge_10239.png", "height_2001.bmp"};
    for (const char *name : refused) expect_not_found(image_sample(name), suffix_of(name).c_str(), name);
}

// Every shorter window of a sample: nothing is found, nothing is read
// outside the window (the sanitizer build checks the reads).
void truncations(const std::string &name, size_t stride_through_file) {
    Bytes pic = image_sample(name);
    TempFile f(pic);
    ProbeRun run(f.path(), suffix_of(name).c_str());
    for (size_t t = 0; t < pic.size(); ++t) {
        int32_t found = 0;
        probe_file(run.state(), run.entry(), pic.data(), int32_t(t), 0, t, &found);
        ASSERT_EQ(found, 0) << name << " cut to " << t << " bytes in memory";
        if (t % stride_through_file == 0) {
            probe_file(run.state(), run.entry(), pic.data(), int32_t(t < 16 ? t : 16), 0, t, &found);
            ASSERT_EQ(found, 0) << name << " cut to " << t << " bytes, read through the file";
        }
    }
}

TEST(ImageSamples, TruncatedPicturesAreNotFound) {
    truncations("jfif_exif_thumb.jpg", 61);
    truncations("png_edge_10240.png", 37);
    truncations("gif89a_comment.gif", 7);
}

// Damaged pictures: random bytes overwritten, read from memory and through
// the file.  The probes must stay inside the window and end; a structural
// find never reaches past it.
TEST(ImageSamples, DamagedPicturesStayInsideTheWindow) {
    std::mt19937 rng(9);
    for (const char *name : {"jfif_exif_thumb.jpg", "rgb.png", "gif89a_comment.gif", "palette.bmp"}) {
        const Bytes clean = image_sample(name);
        for (int round = 0; round < 60; ++round) {
            Bytes pic = clean;
            for (int i = 0, n = 1 + int(rng() % 8); i < n; ++i) {
                size_t at = rng() % (round < 30 ? std::min<size_t>(pic.size(), 64) : pic.size());
                pic[at] = static_cast<unsigned char>(rng());
            }
            pic.resize(pic.size() - rng() % 200);
            TempFile f(pic);
            ProbeRun run(f.path(), suffix_of(name).c_str());
            for (size_t in_memory : {pic.size(), size_t(24)}) {
                auto r = run.probe(pic, 0, in_memory);
                if (r.found && suffix_of(name) != "bmp") {
                    ASSERT_LE(r.length, pic.size()) << name;
                }
            }
        }
    }
}

// JPEG: header walk and footer search.

// Replaces the marker byte of every segment of type `from` before the scan.
Bytes retag_segments(Bytes jpg, unsigned char from, unsigned char to) {
    size_t pos = 2;
    while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF) {
        unsigned char m = jpg[pos + 1];
        if (m == from) jpg[pos + 1] = to;
        if (m == 0xDA) break;
        pos += 2 + size_t(jpg[pos + 2] << 8 | jpg[pos + 3]);
    }
    return jpg;
}

TEST(JpegProbe, RefusesHeadersItCannotTrust) {
    Bytes jpg = image_sample("jfif.jpg");
    Bytes app13 = jpg;
    app13[3] = 0xED;
    expect_not_found(app13, "jpg", "APP13 first");
    expect_not_found(retag_segments(jpg, 0xC4, 0xE5), "jpg", "no Huffman table");
    expect_not_found(retag_segments(jpg, 0xDB, 0xE5), "jpg", "no quantisation table");
    // Fill bytes between segments are passed over.
    Bytes filled(jpg.begin(), jpg.begin() + 20);
    filled.insert(filled.end(), {0xFF, 0xFF, 0xFF});
    filled.insert(filled.end(), jpg.begin() + 20, jpg.end());
    ASSERT_EQ(jpg[20], 0xFF);
    expect_found(filled, "jpg", filled.size(), "fill bytes");
}

TEST(JpegProbe, FooterSearchBoundedByTheMaximumSize) {
    Bytes jpg = image_sample("progressive.jpg");
    TempFile f(jpg);
    ProbeRun run(f.path(), "jpg");
    // Position after the scan header: where the footer search starts.
    size_t p = 2;
    while (jpg[p] == 0xFF) p += 2 + size_t(jpg[p + 2] << 8 | jpg[p + 3]);
    uint64_t needed = jpg.size() - p;
    run.entry()->max_len = needed - 1;
    EXPECT_EQ(run.probe(jpg, 0, 32).found, 0);
    run.entry()->max_len = needed;
    auto r = run.probe(jpg, 0, 32);
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, jpg.size());
}

// PNG.

Bytes png_chunk(const char *type, const Bytes &body) {
    Bytes c = {uint8_t(body.size() >> 24), uint8_t(body.size() >> 16), uint8_t(body.size() >> 8),
               uint8_t(body.size())};
    c.insert(c.end(), type, type + 4);
    c.insert(c.end(), body.begin(), body.end());
    c.insert(c.end(), 4, 0x5A);  // CRCs are not checked
    return c;
}

TEST(PngProbe, EndsAtTheFirstEmptyChunk) {
    Bytes png = image_sample("rgb.png");
    // An empty chunk just before IEND: the file ends after it.
    Bytes early(png.begin(), png.end() - 12);
    Bytes empty = png_chunk("tEXt", {});
    early.insert(early.end(), empty.begin(), empty.end());
    early.insert(early.end(), png.end() - 12, png.end());
    expect_found(early, "png", png.size(), "empty chunk before IEND");

    // Width or height not positive: refused.
    for (size_t field : {size_t(16), size_t(20)}) {
        for (uint32_t v : {0u, 0x80000000u}) {
            Bytes bad = png;
            bad[field] = uint8_t(v >> 24);
            bad[field + 1] = bad[field + 2] = bad[field + 3] = 0;
            expect_not_found(bad, "png", "width/height field");
        }
    }
    // A chunk length that runs past the data: no find.
    Bytes huge = png;
    huge[33] = huge[34] = huge[35] = huge[36] = 0xFF;
    expect_not_found(huge, "png", "oversized chunk");
}

// GIF, built block by block.

struct Gif {
    Bytes b;
    static void table(Bytes &b, int entries) {
        for (int i = 0; i < 3 * entries; ++i) b.push_back(uint8_t(i * 37));
    }
    static unsigned char bits(int entries) {
        int n = 0;
        while ((2 << n) < entries) ++n;
        return uint8_t(n);
    }
    Gif(const char *version, int global) {
        b.assign(version, version + 6);
        b.insert(b.end(), {0x10, 0x00, 0x08, 0x00});
        b.push_back(global ? uint8_t(0x80 | bits(global)) : 0x00);
        b.insert(b.end(), {0x00, 0x00});
        if (global) table(b, global);
    }
    Gif &sub_blocks(size_t total, unsigned char fill) {
        while (total) {
            size_t n = total < 255 ? total : 255;
            b.push_back(uint8_t(n));
            b.insert(b.end(), n, fill);
            total -= n;
        }
        b.push_back(0);
        return *this;
    }
    Gif &image(int local, size_t data) {
        b.insert(b.end(), {0x2C, 0, 0, 0, 0, 0x10, 0, 0x08, 0});
        b.push_back(local ? uint8_t(0x80 | bits(local)) : 0x00);
        if (local) table(b, local);
        b.push_back(0x02);  // LZW minimum code size
        return sub_blocks(data, 0x3B);  // trailer bytes inside the data
    }
    Gif &graphic_control() {
        b.insert(b.end(), {0x21, 0xF9, 0x04, 0x01, 0x0A, 0x00, 0x3B, 0x00});
        return *this;
    }
    Gif &comment(const std::string &text) {
        b.insert(b.end(), {0x21, 0xFE});
        b.push_back(uint8_t(text.size()));
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
        return *this;
    }
    Gif &application() {
        const char id[] = "NETSCAPE2.0";
        b.insert(b.end(), {0x21, 0xFF, 0x0B});
        b.insert(b.end(), id, id + 11);
        b.insert(b.end(), {0x03, 0x01, 0x00, 0x00, 0x00});
        return *this;
    }
    Gif &plain_text() {
        b.insert(b.end(), {0x21, 0x01, 0x0C});
        b.insert(b.end(), 12, 0x01);
        return sub_blocks(300, 'x');
    }
    Bytes end() {
        b.push_back(0x3B);
        return b;
    }
};

TEST(GifProbe, ColourTablesAndExtensionsEndAfterTheTrailer) {
    for (const char *version : {"GIF87a", "GIF89a"}) {
        for (int global : {0, 2, 128, 256}) {
            Bytes gif = Gif(version, global)
                            .graphic_control()
                            .comment("carved by a test")
                            .application()
                            .image(0, 700)
                            .plain_text()
                            .graphic_control()
                            .image(4, 10)
                            .image(256, 0)
                            .end();
            expect_found(gif, "gif", gif.size(), std::string(version) + " global " + std::to_string(global));
        }
    }
}

TEST(GifProbe, RefusesUnknownBlocks) {
    Gif base("GIF89a", 4);
    base.image(0, 20);
    Bytes unknown_label = Gif(base).b;
    unknown_label.insert(unknown_label.end(), {0x21, 0x77, 0x00, 0x3B});
    expect_not_found(unknown_label, "gif", "unknown extension label");
    Bytes stray = Gif(base).b;
    stray.insert(stray.end(), {0x00, 0x3B});
    expect_not_found(stray, "gif", "stray byte");
    Bytes version = Gif(base).end();
    memcpy(version.data(), "GIF88a", 6);
    expect_not_found(version, "gif", "unknown version");
}

// BMP: header fields only.

Bytes bmp_header(uint32_t file_size, uint32_t info_size, int32_t width, int32_t height) {
    Bytes b(54, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B';
    b[1] = 'M';
    put(2, file_size);
    put(10, 54);
    put(14, info_size);
    put(18, uint32_t(width));
    put(22, uint32_t(height));
    return b;
}

TEST(BmpProbe, HeaderFieldsDecide) {
    expect_found(bmp_header(8054, 40, 1, 2000), "bmp", 8054, "height 2000");
    expect_found(bmp_header(8054, 1000, 1, 1), "bmp", 8054, "info header 1000");
    // The size field is taken as it is, even past the data that follows.
    expect_found(bmp_header(500000, 40, 3, 3), "bmp", 500000, "size beyond the data");
    expect_found(bmp_header(54, 40, 3, 3), "bmp", 54, "headers only");
    expect_not_found(bmp_header(8054, 40, 1, 2001), "bmp", "height 2001");
    expect_not_found(bmp_header(8054, 40, 1, -20), "bmp", "top-down");
    expect_not_found(bmp_header(8054, 40, 0, 20), "bmp", "width 0");
    expect_not_found(bmp_header(8054, 40, -5, 20), "bmp", "negative width");
    expect_not_found(bmp_header(8054, 0, 1, 20), "bmp", "info header 0");
    expect_not_found(bmp_header(8054, 1001, 1, 20), "bmp", "info header 1001");
    // A size field that does not cover the headers cannot be a bitmap.
    expect_not_found(bmp_header(0, 40, 3, 3), "bmp", "size 0");
    expect_not_found(bmp_header(53, 40, 3, 3), "bmp", "size below the headers");
    Bytes short_header = bmp_header(8054, 40, 1, 1);
    short_header.resize(37);
    TempFile f(short_header);
    ProbeRun run(f.path(), "bmp");
    EXPECT_EQ(run.probe(short_header, 0, 37).found, 0);
}

// A picture stored top down (negative height) is a bitmap to a deep scan,
// within the same bound on its height.
TEST(BmpProbe, TopDownPicturesInADeepScan) {
    lmrtest::DeepScan deep;
    expect_found(bmp_header(8054, 40, 1, -20), "bmp", 8054, "top-down");
    expect_found(bmp_header(8054, 40, 1, -2000), "bmp", 8054, "top-down, height 2000");
    expect_not_found(bmp_header(8054, 40, 1, -2001), "bmp", "top-down, height 2001");
    expect_not_found(bmp_header(8054, 40, 1, INT32_MIN), "bmp", "the most negative height");
    Bytes pic = lmrtest::read_file(lmrtest::data_path("image/palette.bmp"));
    ASSERT_GT(pic.size(), 26u);
    int32_t h = int32_t(pic[22] | pic[23] << 8 | pic[24] << 16 | uint32_t(pic[25]) << 24);
    uint32_t flipped = uint32_t(-h);
    for (int i = 0; i < 4; ++i) pic[22 + i] = uint8_t(flipped >> (8 * i));
    expect_found(pic, "bmp", pic.size(), "palette.bmp stored top down");
}

}  // namespace
