// Deep mode's picture probes: a PNG of any size ends at IEND after a walk
// that checks every chunk's CRC; a JPEG may begin with any segment and ends
// where its marker structure ends, whatever thumbnails or stray FF D9
// bytes its segments hold.
#include "engine/media/probe_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <tuple>

using namespace lmrtest;

namespace {

// Probes `pic` placed after random bytes and followed by `tail`, with all
// of it in memory, a few bytes, or none (the rest through the probe's own
// reads).  Every way must give the same answer; returns it.
ProbeRun::Result probe_deep(const Bytes &pic, const char *suffix, const std::string &what, Bytes tail = {}) {
    DeepScan deep;
    if (tail.empty()) tail = random_bytes(4096, 7);
    Bytes input = random_bytes(1536, 3);
    input.insert(input.end(), pic.begin(), pic.end());
    input.insert(input.end(), tail.begin(), tail.end());
    TempFile f(input);
    ProbeRun run(f.path(), suffix);
    ProbeRun::Result first{};
    bool have = false;
    for (size_t in_memory : {input.size(), size_t(16), size_t(0)}) {
        auto r = run.probe(input, 1536, in_memory);
        if (!have) first = r, have = true;
        EXPECT_EQ(r.found, first.found) << what << ", " << in_memory << " bytes in memory";
        EXPECT_EQ(r.length, first.length) << what << ", " << in_memory << " bytes in memory";
    }
    return first;
}

void expect_deep(const Bytes &pic, const char *suffix, uint64_t length, const std::string &what,
                 const Bytes &tail = {}) {
    auto r = probe_deep(pic, suffix, what, tail);
    EXPECT_EQ(r.found, 1) << what;
    EXPECT_EQ(r.length, length) << what;
}

void expect_no_deep(const Bytes &pic, const char *suffix, const std::string &what) {
    EXPECT_EQ(probe_deep(pic, suffix, what).found, 0) << what;
}

Bytes slice(const Bytes &b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

TEST(DeepPictures, SamplesEndWhereTheFileEnds) {
    // The pictures the built-in rules refuse (under 10 KiB, DQT first)
    // among them.
    for (const char *name : {"png_small.png", "png_edge_10239.png", "png_edge_10240.png", "rgb.png", "no_app0.jpg",
                             "jfif.jpg", "jfif_baseline.jpg", "progressive.jpg", "jfif_exif_thumb.jpg",
                             "exif_first_thumb.jpg"}) {
        Bytes pic = image_sample(name);
        std::string suffix = std::string(name).substr(std::string(name).rfind('.') + 1);
        expect_deep(pic, suffix.c_str(), pic.size(), name);
        // Followed at once by another picture of its kind, it still ends at
        // its own end.
        expect_deep(pic, suffix.c_str(), pic.size(), std::string(name) + " then another", image_sample(name));
    }
}

// Every shorter window of a sample: nothing found, nothing read outside it
// (the sanitizer build checks the reads).
TEST(DeepPictures, TruncatedPicturesAreNotFound) {
    DeepScan deep;
    for (const char *name : {"png_small.png", "exif_first_thumb.jpg", "progressive.jpg"}) {
        Bytes pic = image_sample(name);
        TempFile f(pic);
        ProbeRun run(f.path(), std::string(name).substr(std::string(name).rfind('.') + 1).c_str());
        for (size_t t = 0; t < pic.size(); t += (t < 64 ? 1 : 29)) {
            for (size_t in_memory : {t, t < 16 ? t : size_t(16)}) {
                int32_t found = 0;
                probe_file(run.state(), run.entry(), pic.data(), int32_t(in_memory), 0, t, &found);
                ASSERT_EQ(found, 0) << name << " cut to " << t << ", " << in_memory << " in memory";
            }
        }
    }
}

// ---- PNG ----------------------------------------------------------------

uint32_t crc32_bitwise(const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return c ^ 0xFFFFFFFFu;
}

// A chunk with its CRC.
Bytes chunk(const char *type, const Bytes &body) {
    Bytes c = {uint8_t(body.size() >> 24), uint8_t(body.size() >> 16), uint8_t(body.size() >> 8),
               uint8_t(body.size())};
    for (int i = 0; i < 4; ++i) c.push_back(uint8_t(type[i]));
    c.insert(c.end(), body.begin(), body.end());
    uint32_t crc = crc32_bitwise(c.data() + 4, c.size() - 4);
    c.insert(c.end(), {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
    return c;
}

// png_small.png: IHDR gAMA cHRM bKGD tIME IDAT tEXt tEXt IEND.
struct SmallPng {
    Bytes png = image_sample("png_small.png");
    size_t idat = 130, text = 1978, iend = 2076;
    SmallPng() { EXPECT_EQ(0, memcmp(png.data() + idat + 4, "IDAT", 4)); }
    Bytes head() const { return slice(png, 0, idat); }          // signature to IDAT
    Bytes idat_chunk() const { return slice(png, idat, text); }
    Bytes tail() const { return slice(png, text, png.size()); }  // tEXt, tEXt, IEND
};

TEST(DeepPng, EveryChunkChecked) {
    SmallPng s;
    const Bytes &png = s.png;
    // An empty chunk before IEND (the built-in rule ends there): the walk
    // goes on to IEND.
    Bytes empty = concat({slice(png, 0, s.iend), chunk("teXt", {}), slice(png, s.iend, png.size())});
    expect_deep(empty, "png", empty.size(), "empty chunk before IEND");
    // Several IDAT chunks.
    Bytes data = slice(png, s.idat + 8, s.text - 4);
    Bytes split = concat({s.head(), chunk("IDAT", slice(data, 0, 100)), chunk("IDAT", slice(data, 100, data.size())),
                       s.tail()});
    expect_deep(split, "png", split.size(), "image data in two chunks");

    struct Bad {
        const char *what;
        Bytes png;
    };
    auto flip = [&](size_t at) {
        Bytes b = png;
        b.at(at) ^= 0x01;
        return b;
    };
    const Bad bad[] = {
        {"a byte of image data", flip(s.idat + 500)},
        {"a byte of a CRC", flip(s.text - 2)},
        {"a byte of IHDR", flip(20)},
        {"the IEND CRC", flip(png.size() - 1)},
        {"a type that is not letters", concat({s.head(), chunk("ID4T", {1, 2, 3}), slice(png, s.idat, png.size())})},
        {"no image data", concat({s.head(), s.tail()})},
        {"IHDR not first", concat({slice(png, 0, 8), chunk("tEXt", {'a', 0, 'b'}), slice(png, 8, png.size())})},
        {"IEND with data", concat({slice(png, 0, s.iend), chunk("IEND", {0})})},
        {"a length over 2^31 - 1", concat({s.head(), Bytes{0x80, 0, 0, 0, 't', 'E', 'X', 't'}, s.idat_chunk(), s.tail()})},
        {"no IEND", slice(png, 0, s.iend)},
    };
    for (const Bad &b : bad) expect_no_deep(b.png, "png", b.what);
}

// The CRC is taken in runs of many lengths (and in place or through the
// reader): chunks of every length up to 300 bytes and a few long ones all
// check, and one flipped bit anywhere in a long one is caught.
TEST(DeepPng, CrcOfEveryLength) {
    SmallPng s;
    Bytes png = s.head();
    auto add = [&](const Bytes &c) { png.insert(png.end(), c.begin(), c.end()); };
    for (size_t n = 0; n <= 300; ++n) add(chunk("tEXt", random_bytes(n, uint32_t(n))));
    for (size_t n : {4096u, 65536u + 13, 200000u}) add(chunk("zTXt", random_bytes(n, uint32_t(n))));
    const size_t long_chunk = png.size() - (200000 + 12);
    png.insert(png.end(), s.png.begin() + long(s.idat), s.png.end());
    expect_deep(png, "png", png.size(), "chunks of many lengths");
    for (size_t at : {size_t(8), size_t(15), size_t(16), size_t(63), size_t(64), size_t(1000), size_t(199999)}) {
        Bytes bad = png;
        bad[long_chunk + 8 + at] ^= 0x80;
        expect_no_deep(bad, "png", "a bit flipped at " + std::to_string(at));
    }
}

// ---- JPEG ---------------------------------------------------------------

// The offset of the `n`th (from 0) marker FF `code` of a JPEG, walking its
// segments and, after each scan, its entropy-coded data.
size_t nth_marker(const Bytes &j, unsigned char code, int n) {
    size_t p = 2;
    while (p + 4 <= j.size()) {
        unsigned char m = j[p + 1];
        if (m == code && n-- == 0) return p;
        if (m == 0xD9) break;
        p += 2 + size_t(j[p + 2] << 8 | j[p + 3]);
        if (m != 0xDA) continue;
        while (p + 1 < j.size() && !(j[p] == 0xFF && j[p + 1] != 0 && (j[p + 1] < 0xD0 || j[p + 1] > 0xD7))) ++p;
    }
    ADD_FAILURE() << "no marker " << int(code);
    return 0;
}

Bytes segment(unsigned char code, const Bytes &body) {
    Bytes s = {0xFF, code, uint8_t((body.size() + 2) >> 8), uint8_t(body.size() + 2)};
    s.insert(s.end(), body.begin(), body.end());
    return s;
}

TEST(DeepJpeg, AnyFirstSegment) {
    Bytes jpg = image_sample("jfif.jpg");  // APP0 DQT SOF0 DHT SOS
    const Bytes soi = {0xFF, 0xD8}, app0 = slice(jpg, 2, nth_marker(jpg, 0xDB, 0));
    const Bytes rest = slice(jpg, 2 + app0.size(), jpg.size());
    const Bytes com = segment(0xFE, {'h', 'i'});
    struct Case {
        const char *what;
        Bytes jpg;
        bool found;
    };
    const Case cases[] = {
        {"DQT first", concat({soi, rest}), true},
        {"a comment first", concat({soi, com, app0, rest}), true},
        {"APP13 first", concat({soi, segment(0xED, {'P', 'h', 'o'}), rest}), true},
        {"fill bytes before the first", concat({soi, {0xFF, 0xFF}, app0, rest}), true},
        {"the scan before the frame", concat({soi, slice(jpg, nth_marker(jpg, 0xDA, 0), jpg.size())}), false},
        {"end-of-image first", concat({soi, {0xFF, 0xD9}, app0, rest}), false},
        {"a reserved marker first", concat({soi, segment(0x02, {0, 0}), app0, rest}), false},
        {"start-of-image again", concat({soi, soi, app0, rest}), false},
    };
    for (const Case &c : cases) {
        if (c.found) {
            expect_deep(c.jpg, "jpg", c.jpg.size(), c.what);
        } else {
            expect_no_deep(c.jpg, "jpg", c.what);
        }
    }
}

TEST(DeepJpeg, EndFromTheMarkerStructure) {
    Bytes prog = image_sample("progressive.jpg");
    // An FF D9 inside a comment between two scans: the built-in search stops
    // there, the deep walk passes the segment whole.
    const size_t second_scan = nth_marker(prog, 0xDA, 1);
    Bytes commented = concat({slice(prog, 0, second_scan), segment(0xFE, {0xFF, 0xD9, 0xFF, 0xD9}),
                           slice(prog, second_scan, prog.size())});
    expect_deep(commented, "jpg", commented.size(), "FF D9 in a comment between scans");
    {
        TempFile f(commented);
        ProbeRun run(f.path(), "jpg");
        auto r = run.probe(commented, 0, commented.size());
        EXPECT_EQ(r.found, 1);
        EXPECT_EQ(r.length, second_scan + 6) << "the built-in rule ends at the first FF D9 after the scan header";
    }
    // Restart markers and stuffed zeros are data; a marker a scan cannot
    // hold ends the walk without a find, as does the start of another
    // picture inside the data.
    Bytes jpg = image_sample("jfif_baseline.jpg");
    const size_t data = nth_marker(jpg, 0xDA, 0) + 14;  // SOS of three components
    Bytes restarts = jpg;
    restarts.insert(restarts.begin() + long(data) + 100, {0xFF, 0xD3, 0xFF, 0x00, 0xFF, 0xFF, 0xD4});
    expect_deep(restarts, "jpg", restarts.size(), "restart markers, a stuffed zero and a fill byte");
    for (unsigned char bad : {0xD8, 0x01, 0xC0, 0xF7}) {
        Bytes cut = jpg;
        cut[data + 101] = 0xFF;
        cut[data + 102] = bad;
        expect_no_deep(cut, "jpg", "marker " + std::to_string(bad) + " in the data");
    }
    // A picture cut short and followed by another: the first is not found,
    // the second whole.
    Bytes two = concat({slice(jpg, 0, data + 3000), jpg});
    expect_no_deep(two, "jpg", "cut short, then another picture");
}

// The segments before the first scan must describe a frame with its tables,
// and the scan header must agree with its length.
TEST(DeepJpeg, FrameAndScanHeadersChecked) {
    Bytes jpg = image_sample("jfif.jpg");
    const size_t sof = nth_marker(jpg, 0xC0, 0), sos = nth_marker(jpg, 0xDA, 0);
    Bytes no_tables = jpg;
    for (size_t p = 2; p < sos; p += 2 + size_t(no_tables[p + 2] << 8 | no_tables[p + 3]))
        if (no_tables[p + 1] == 0xC4) no_tables[p + 1] = 0xE5;
    expect_no_deep(no_tables, "jpg", "no Huffman table");
    expect_no_deep(concat({slice(jpg, 0, sof), slice(jpg, nth_marker(jpg, 0xC4, 0), jpg.size())}), "jpg", "no frame");
    Bytes count = jpg;
    count[sos + 4] = 2;
    expect_no_deep(count, "jpg", "scan component count disagreeing with the length");
}

// A picture whose multi-picture index (APP2 "MPF") names a second picture
// stored after it: the find holds both.
Bytes with_mpf(const Bytes &first, const Bytes &second, uint32_t second_offset_adjust = 0) {
    // APP2: "MPF\0", then a big-endian TIFF header, an index of two entries
    // (count, version, number of pictures, entries) and the 32 entry bytes.
    Bytes body = {'M', 'P', 'F', 0, 'M', 'M', 0, '*', 0, 0, 0, 8};
    auto be16 = [&](uint32_t v) { body.insert(body.end(), {uint8_t(v >> 8), uint8_t(v)}); };
    auto be32 = [&](uint32_t v) {
        body.insert(body.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    };
    be16(3);
    be16(0xB000), be16(7), be32(4), body.insert(body.end(), {'0', '1', '0', '0'});
    be16(0xB001), be16(4), be32(1), be32(2);
    be16(0xB002), be16(7), be32(32), be32(8 + 2 + 3 * 12 + 4);
    be32(0);  // no next index
    const size_t app2 = 4 + body.size() + 32;
    const uint32_t first_size = uint32_t(first.size() + app2);
    be32(0x20030000), be32(first_size), be32(0), be16(0), be16(0);
    // The second picture's offset counts from the TIFF header, 10 bytes in.
    be32(0x00010001), be32(uint32_t(second.size())), be32(first_size - 10 + second_offset_adjust), be16(0), be16(0);
    return concat({slice(first, 0, 2), segment(0xE2, body), slice(first, 2, first.size()), second});
}

TEST(DeepJpeg, MultiPictureIndex) {
    Bytes a = image_sample("jfif.jpg"), b = image_sample("no_app0.jpg");
    Bytes both = with_mpf(a, b);
    expect_deep(both, "jpg", both.size(), "two pictures");
    // An index that points beside the second picture: the first alone.
    Bytes off = with_mpf(a, b, 1);
    expect_deep(off, "jpg", off.size() - b.size(), "index pointing beside the picture");
}

// ---- bounds and the scan ---------------------------------------------------

// A picture cut inside its data and followed by free space (zeros): the
// walks give no find and stop within their bound.
TEST(DeepPictures, WalksThroughZerosAreBounded) {
    DeepScan deep;
    const uint64_t chunk = 256ull << 20;
    for (const char *name : {"jfif_baseline.jpg", "rgb.png"}) {
        Bytes pic = image_sample(name);
        Bytes half(pic.begin(), pic.begin() + long(pic.size() / 2));
        if (std::string(name) == "rgb.png") {  // an IDAT chunk longer than the bound
            half = slice(pic, 0, 8 + 25);
            half.insert(half.end(), {0x7F, 0xFF, 0xFF, 0xFF, 'I', 'D', 'A', 'T'});
        }
        TempFile file(half);
        ASSERT_EQ(truncate(file.path().c_str(), off_t(chunk)), 0);
        ProbeRun run(file.path(), std::string(name).substr(std::string(name).rfind('.') + 1).c_str());
        const uint64_t before = bytes_read();
        int32_t found = 0;
        probe_file(run.state(), run.entry(), half.data(), int32_t(half.size()), 0, chunk, &found);
        EXPECT_EQ(found, 0) << name;
        EXPECT_LE(bytes_read() - before, (64u << 20) + (1u << 20)) << name;
    }
}

using Find = std::tuple<uint64_t, uint64_t, std::string>;

std::set<Find> scan_image(const std::string &path, bool deep_on) {
    static std::set<Find> finds;
    finds.clear();
    DeepScan deep(deep_on);
    skip_exist = 0;
    is_formated = 0;
    set_callbacks(nullptr, [](void *, r_info *i) { finds.insert(Find(i->offset, i->length, i->suffix)); }, nullptr,
                  nullptr);
    DiagCapture quiet;
    start_recovery2(path.c_str(), "jpg,png", "", 0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    return finds;
}

TEST(DeepPictures, ScanFindsWhatTheBuiltInRulesMiss) {
    struct Pic {
        std::string name;
        Bytes bytes;
        bool builtin;  // found by the built-in rules too
    };
    Bytes jpg = image_sample("jfif_baseline.jpg");
    std::vector<Pic> pics = {
        {"png_small.png", image_sample("png_small.png"), false},
        {"no_app0.jpg", image_sample("no_app0.jpg"), false},
        {"rgb.png", image_sample("rgb.png"), true},
        {"jfif_exif_thumb.jpg", image_sample("jfif_exif_thumb.jpg"), true},
        {"png_edge_10239.png", image_sample("png_edge_10239.png"), false},
        {"progressive.jpg", image_sample("progressive.jpg"), true},
        // Last, so that the built-in rules' search for its end finds none.
        {"cut jpg", slice(jpg, 0, jpg.size() / 2), false},
    };
    Bytes image = random_bytes(1024, 5);
    std::set<Find> deep_want, builtin_want;
    for (const Pic &p : pics) {
        image.resize((image.size() + 511) / 512 * 512 + 512, 0);
        const std::string suffix = p.name.substr(p.name.rfind('.') + 1);
        if (p.name != "cut jpg") deep_want.insert(Find(image.size(), p.bytes.size(), suffix));
        if (p.builtin) builtin_want.insert(Find(image.size(), p.bytes.size(), suffix));
        image.insert(image.end(), p.bytes.begin(), p.bytes.end());
    }
    image.resize(image.size() + 4096, 0);
    TempFile f(image, "lmr-deep-images");
    EXPECT_EQ(scan_image(f.path(), true), deep_want);
    // Off, the built-in rules find what they find today, and nothing more.
    std::set<Find> builtin = scan_image(f.path(), false);
    for (const Find &want : builtin_want) EXPECT_EQ(builtin.count(want), 1u) << std::get<0>(want);
    for (const Find &got : builtin)
        EXPECT_FALSE(deep_want.count(got) && !builtin_want.count(got)) << "built-in rules found " << std::get<0>(got);
}

}  // namespace
