// Deep mode's 7z, gzip and tar walks: an archive made by the packaged tools ends
// where its own structure says, checked by its CRCs; a cut or damaged copy
// is not taken; outside deep mode neither is found.
#include "engine/media/probe_helpers.h"

#include <gtest/gtest.h>

using namespace lmrtest;

namespace {

Bytes archive(const std::string &name) { return sample("archive/" + name); }

ProbeRun::Result probe_placed(const Bytes &file, const char *suffixes, size_t in_memory) {
    Bytes input = random_bytes(512, 5);
    append(input, file);
    append(input, random_bytes(3000, 9));
    TempFile f(input);
    ProbeRun run(f.path(), suffixes);
    DiagCapture quiet;
    return run.probe(input, 512, in_memory);
}

void expect_whole(const Bytes &file, const char *suffixes, const std::string &suffix, const std::string &what) {
    DeepScan deep;
    for (size_t in_memory : {file.size() + 3000, size_t(40), size_t(0)}) {
        auto r = probe_placed(file, suffixes, in_memory);
        EXPECT_EQ(r.found, 1) << what << ", " << in_memory << " in memory";
        EXPECT_EQ(r.length, file.size()) << what;
        EXPECT_EQ(r.suffix, suffix) << what;
    }
}

TEST(ModernArchives, SevenZipEndsAfterItsHeader) {
    for (const char *name : {"notes.7z", "stored.7z"}) {
        Bytes a = archive(name);
        expect_whole(a, "7z", "7z", name);
        EXPECT_EQ(probe_placed(a, "7z", a.size()).found, 0) << name << " outside deep mode";
        DeepScan deep;
        Bytes cut(a.begin(), a.end() - 1);
        EXPECT_EQ(probe_once(cut, "7z", cut.size()).found, 0) << name << " cut";
        // A flipped byte in the header at the end, or in the start header.
        for (size_t at : {a.size() - 3, size_t(14)}) {
            Bytes b = a;
            b[at] ^= 0x40;
            EXPECT_EQ(probe_once(b, "7z", b.size()).found, 0) << name << " byte " << at;
        }
        probe_damaged_copies(a, "7z", 100, 31);
    }
}

TEST(ModernArchives, GzipEndsAfterItsTrailerAndTellsTarInside) {
    expect_whole(archive("readme.txt.gz"), "gz", "gz", "readme.txt.gz");
    expect_whole(archive("rgb.png.gz"), "gz,tar.gz", "gz", "rgb.png.gz");
    expect_whole(archive("notes.tar.gz"), "gz,tar.gz", "tar.gz", "notes.tar.gz");
    expect_whole(archive("notes.tar.gz"), "gzip,tar.gz", "tar.gz", "asked for under the other spelling");
    {
        DeepScan deep;
        // Each is passed over when only the other kind is asked for.
        EXPECT_EQ(probe_placed(archive("notes.tar.gz"), "gz", 0).found, 0);
        EXPECT_EQ(probe_placed(archive("readme.txt.gz"), "tar.gz", 0).found, 0);
    }
    EXPECT_EQ(probe_placed(archive("readme.txt.gz"), "gz", 0).found, 0) << "outside deep mode";

    DeepScan deep;
    Bytes a = archive("readme.txt.gz");
    // Cut in the deflate data or in the trailer; a trailer whose CRC or
    // size disagrees; a damaged deflate stream.
    for (size_t keep : {a.size() / 2, a.size() - 1, a.size() - 5}) {
        Bytes cut(a.begin(), a.begin() + long(keep));
        EXPECT_EQ(probe_once(cut, "gz", cut.size()).found, 0) << "cut to " << keep;
    }
    for (size_t at : {a.size() - 8, a.size() - 2, a.size() / 2}) {
        Bytes b = a;
        b[at] ^= 0x11;
        EXPECT_EQ(probe_once(b, "gz", b.size()).found, 0) << "byte " << at;
    }
    // A header of reserved flags, or a name field that never ends.
    Bytes flags = a;
    flags[3] |= 0x20;
    EXPECT_EQ(probe_once(flags, "gz", flags.size()).found, 0);
    Bytes name = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 3};
    append(name, Bytes(200000, 'a'));
    EXPECT_EQ(probe_once(name, "gz", name.size()).found, 0);
    probe_damaged_copies(archive("notes.tar.gz"), "gz,tar.gz", 100, 37);
}

// The smallest member: an empty deflate block and its trailer.
TEST(ModernArchives, AnEmptyGzipMemberIsWhole) {
    DeepScan deep;
    const Bytes empty = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    auto r = probe_once(empty, "gz", empty.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, empty.size());
}

// The tar archive as tar writes it: the two zero blocks and the zeros that
// pad them to a whole record are the archive's end.
TEST(ModernArchives, TarEndsWithItsZeroBlocksAndRecord) {
    for (const char *name : {"notes.tar", "card_gnu.tar"}) {
        Bytes a = archive(name);
        ASSERT_EQ(a.size() % 10240, 0u) << name;
        expect_whole(a, "tar", "tar", name);
        EXPECT_EQ(probe_placed(a, "tar", a.size()).found, 0) << name << " outside deep mode";
        DeepScan deep;
        probe_damaged_copies(a, "tar", 100, 41);
    }
}

// Where the archive's end is lost or damaged it ends after its last whole
// member; a first header whose checksum fails is no tar.
TEST(ModernArchives, TarWithoutItsEndStopsAfterItsLastWholeMember) {
    DeepScan deep;
    const Bytes a = archive("notes.tar");
    // The members' ends, walked by hand: header, then the data's blocks.
    std::vector<size_t> ends;
    for (size_t at = 0; at + 512 <= a.size() && a[at] != 0;) {
        const size_t size = size_t(std::stoull(std::string(a.begin() + long(at) + 124, a.begin() + long(at) + 135), nullptr, 8));
        at += 512 + (size + 511) / 512 * 512;
        ends.push_back(at);
    }
    ASSERT_GE(ends.size(), 3u);
    const size_t last = ends.back();

    // The end blocks overwritten by other bytes, or cut off.
    Bytes other(a.begin(), a.begin() + long(last));
    append(other, random_bytes(4096, 3));
    auto r = probe_once(other, "tar", other.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, last);
    Bytes cut(a.begin(), a.begin() + long(last) + 100);
    r = probe_once(cut, "tar", cut.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, last);
    // A member cut short is not whole: the archive ends before it.
    Bytes short_member(a.begin(), a.begin() + long(ends[1]) - 1);
    r = probe_once(short_member, "tar", short_member.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, ends[0]);
    // One zero block is no end.
    Bytes one_zero(a.begin(), a.begin() + long(last));
    append(one_zero, Bytes(512, 0));
    append(one_zero, random_bytes(1024, 4));
    r = probe_once(one_zero, "tar", one_zero.size());
    EXPECT_EQ(r.length, last);
    // A damaged header in the middle ends the archive before it.
    Bytes damaged = a;
    damaged[ends[1] + 20] ^= 0x01;
    r = probe_once(damaged, "tar", damaged.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, ends[1]);
    // Zeros after the archive that are not its padding stay out of it.
    Bytes more = a;
    append(more, Bytes(20480, 0));
    EXPECT_EQ(probe_once(more, "tar", more.size()).length, a.size());
    // The first header damaged: nothing.
    Bytes first = a;
    first[10] ^= 0x01;
    EXPECT_EQ(probe_once(first, "tar", first.size()).found, 0);
    // A member whose size field claims more than the input holds is not
    // whole: the archive ends before it.
    Bytes huge = a;
    unsigned char *h = &huge[ends[0]];
    ASSERT_EQ(h[156], '0');  // a file's member
    memcpy(h + 124, "77777777777", 11);
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : h[i];
    char field[8];
    snprintf(field, sizeof field, "%06o", sum);
    memcpy(h + 148, field, 7);
    r = probe_once(huge, "tar", huge.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, ends[0]);
}

// A scan finds tar by its magic at byte 257 of a block, beside mp4 by its
// "ftyp" at byte 4: both shifted headers are tested in one run, and each
// find keeps its own block.
TEST(ModernArchives, TarAndMp4ShiftedHeadersInOneScan) {
    DeepScan deep;
    const Bytes tar = archive("notes.tar");
    const Bytes mp4 = sample("media/moov_first.mp4");
    Bytes image(4096, 0);
    const size_t tar_at = image.size();
    append(image, tar);
    pad_to(image, 4096);
    const size_t mp4_at = image.size();
    append(image, mp4);
    pad_to(image, 4096);
    const size_t tar2_at = image.size() + 1024;
    image.resize(tar2_at, 0);
    append(image, archive("card_gnu.tar"));
    image.resize(image.size() + 8192, 0);
    TempFile f(image);
    auto finds = scan(f.path(), "mp4,tar");
    ASSERT_EQ(finds.size(), 3u);
    EXPECT_EQ(finds[0].offset, tar_at);
    EXPECT_EQ(finds[0].length, tar.size());
    EXPECT_EQ(finds[0].suffix, "tar");
    EXPECT_EQ(finds[1].offset, mp4_at);
    EXPECT_EQ(finds[1].suffix, "mp4");
    EXPECT_EQ(finds[2].offset, tar2_at);
    EXPECT_EQ(finds[2].suffix, "tar");
}

}  // namespace
