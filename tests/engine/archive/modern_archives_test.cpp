// Deep mode's 7z and gzip walks: an archive made by the packaged tools ends
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

}  // namespace
