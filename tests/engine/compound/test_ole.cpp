// Compound documents: real LibreOffice and xlwt files, the naming rules,
// the header and directory checks, the length estimate and crafted
// headers that must not be exploited.
#include "ole_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace lmrtest;

namespace {

constexpr int32_t k_ole_key = 15;

struct Outcome {
    bool found;
    uint64_t length;
    std::string suffix;
};

Outcome probe_ole_in(const Bytes &input, const char *suffixes, size_t offset = 0, size_t in_memory = SIZE_MAX) {
    TempFile f(input, "ole");
    ProbeRun run(f.path(), suffixes);
    int idx = -1;
    for (int i = 0; i < run.state()->spec_count; ++i)
        if (run.entry(i)->type_key == k_ole_key) idx = i;
    if (idx < 0) return {false, 0, ""};
    auto r = run.probe(input, offset, in_memory, idx);
    EXPECT_EQ(FAT, nullptr);
    EXPECT_EQ(dirlist, nullptr);
    return {r.found == 1, r.length, r.suffix};
}

OleEntry named(const std::string &name, uint32_t size = 100) {
    OleEntry e;
    e.name = name;
    e.size = size;
    return e;
}

// 1 FAT sector, one directory sector read (sector 1): the estimate is at
// least (1 + 1 + 5) * 512 bytes.
constexpr uint64_t k_min_len = 7 * 512;

}  // namespace

TEST(OleProbe, LibreOfficeAndXlwtFiles) {
    struct Case {
        const char *file;
        const char *suffix;
        uint64_t length;  // whole sectors: the estimate runs past the file
    } cases[] = {
        {"compound/doc_lo_text.doc", "doc", 74240},
        {"compound/xls_xlwt.xls", "xls", 118784},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        Bytes file = read_file(data_path(c.file));
        ASSERT_FALSE(file.empty());
        Bytes volume(1024 + file.size() + 4096, 0);
        std::fill(volume.begin(), volume.begin() + 1024, 0x11);
        std::copy(file.begin(), file.end(), volume.begin() + 1024);

        Outcome r = probe_ole_in(volume, "office", 1024);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.suffix, c.suffix);
        EXPECT_EQ(r.length, c.length);
        EXPECT_GE(r.length, file.size());
        EXPECT_EQ(r.length % 512, 0u);

        Outcome partial = probe_ole_in(volume, "doc,xls", 1024, 600);
        EXPECT_TRUE(partial.found);
        EXPECT_EQ(partial.length, c.length);

        // The other kind was asked for: named, but not reported.
        Outcome other = probe_ole_in(volume, std::string(c.suffix) == "doc" ? "xls" : "doc", 1024);
        EXPECT_FALSE(other.found);
        EXPECT_EQ(other.suffix, c.suffix);
    }
}

TEST(OleProbe, FirstClassifyingStreamNamesTheDocument) {
    struct Case {
        std::vector<OleEntry> entries;
        const char *suffix;
    } cases[] = {
        {{named("\x05SummaryInformation"), named("PowerPoint Document"), named("WordDocument")}, "ppt"},
        {{named("Workbook"), named("WordDocument")}, "xls"},
        {{named("Book")}, "xls"},
        {{named("1Table"), named("WordDocument")}, "doc"},
        {{named("VisioDocument")}, "vis"},
        {{named("Contents"), named("\x01CompObj")}, "ole"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.suffix);
        Outcome r = probe_ole_in(make_ole(c.entries).bytes, "ole,doc,xls,ppt");
        EXPECT_EQ(r.suffix, c.suffix);
        EXPECT_EQ(r.found, std::string(c.suffix) != "vis");
    }
    // A storage does not name the file; only streams do.
    OleEntry storage = named("WordDocument");
    storage.type = 1;
    EXPECT_EQ(probe_ole_in(make_ole({storage, named("Workbook")}).bytes, "xls").suffix, "xls");
    // Unnamed compound files are reported only when "ole" is asked for.
    EXPECT_FALSE(probe_ole_in(make_ole({named("Contents")}).bytes, "doc,ppt,xls").found);
}

TEST(OleProbe, HeaderChecks) {
    OleDoc good = make_ole({named("WordDocument")});
    EXPECT_TRUE(probe_ole_in(good.bytes, "doc").found);
    struct Patch {
        size_t at;
        uint32_t value;
        bool wide;
    } bad[] = {
        {30, 12, false},   // 4096-byte sectors
        {32, 7, false},    // mini sectors not 64 bytes
        {34, 1, false},    // reserved
        {36, 1, true},     // reserved
        {40, 1, true},     // directory sector count
        {44, 0, true},     // FAT sectors
        {44, 101, true},
        {72, 101, true},   // DIFAT sectors
    };
    for (const Patch &p : bad) {
        SCOPED_TRACE(p.at);
        OleDoc d = good;
        if (p.wide) d.put32(p.at, p.value);
        else d.put16(p.at, p.value);
        EXPECT_FALSE(probe_ole_in(d.bytes, "doc").found);
    }
    OleDoc neg_dir = good;
    neg_dir.put32(48, 0xFFFFFFFE);
    EXPECT_FALSE(probe_ole_in(neg_dir.bytes, "doc").found);
    // Cut inside the header's FAT list, or before the directory.
    Bytes cut(good.bytes.begin(), good.bytes.begin() + 300);
    EXPECT_FALSE(probe_ole_in(cut, "doc").found);
    Bytes no_dir(good.bytes.begin(), good.bytes.begin() + 1024 + 100);
    EXPECT_FALSE(probe_ole_in(no_dir, "doc").found);
}

TEST(OleProbe, DirectoryEntryNames) {
    // A leading control character is dropped, so "\x01@x" is a name that
    // starts with "@": refused.  "x@y" is not.
    EXPECT_FALSE(probe_ole_in(make_ole({named("WordDocument"), named("\x01@x")}).bytes, "doc").found);
    EXPECT_TRUE(probe_ole_in(make_ole({named("WordDocument"), named("x@y")}).bytes, "doc").found);

    EXPECT_TRUE(probe_ole_in(make_ole({named("WordDocument"), named("a.b.c")}).bytes, "doc").found);
    EXPECT_FALSE(probe_ole_in(make_ole({named("WordDocument"), named("a.b.c.d.")}).bytes, "doc").found);
    EXPECT_FALSE(probe_ole_in(make_ole({named("WordDocument"), named("MsoDataCatalog")}).bytes, "doc").found);

    for (int bad_len : {0, 65}) {
        OleEntry e = named("Data");
        e.name_len = bad_len;
        EXPECT_FALSE(probe_ole_in(make_ole({named("WordDocument"), e}).bytes, "doc").found) << bad_len;
    }
    // An object type with the high bit set.
    OleEntry odd = named("Data");
    odd.type = 0x81;
    EXPECT_FALSE(probe_ole_in(make_ole({named("WordDocument"), odd}).bytes, "doc").found);
}

TEST(OleProbe, DirectoryOfMoreThan500EntriesIsRefused) {
    std::vector<OleEntry> many(499, named("Data"));
    many.insert(many.begin(), named("WordDocument"));
    // Root plus 500 entries over 126 directory sectors.
    Outcome at_limit = probe_ole_in(make_ole(std::vector<OleEntry>(many.begin(), many.end() - 1)).bytes, "doc");
    EXPECT_TRUE(at_limit.found);
    EXPECT_FALSE(probe_ole_in(make_ole(many).bytes, "doc").found);
}

TEST(OleProbe, LengthEstimate) {
    // Structures alone: bounded below by the sectors read.
    Outcome small = probe_ole_in(make_ole({named("WordDocument", 100)}).bytes, "doc");
    EXPECT_EQ(small.length, k_min_len);

    // Streams over the cutoff count in 512-byte sectors, those under it in
    // 64-byte mini sectors: 1024 + 512 (FAT) + 512 (directory) + 100352 +
    // 128.
    Outcome big = probe_ole_in(make_ole({named("WordDocument", 100000), named("Data", 100)}).bytes, "doc");
    EXPECT_EQ(big.length, 102400u + 512u);

    // A first mini-FAT sector beyond the sectors read sets the length.
    OleDoc far = make_ole({named("WordDocument", 100)});
    far.put32(60, 40);
    EXPECT_EQ(probe_ole_in(far.bytes, "doc").length, 40u * 512);
    // ... one close to them is moved past them.
    far.put32(60, 3);
    EXPECT_EQ(probe_ole_in(far.bytes, "doc").length, k_min_len);
}

TEST(OleProbe, CraftedCountsAndChainsAreRefusedSafely) {
    OleDoc base = make_ole({named("WordDocument")});

    // DIFAT sectors that would not fit the FAT list: two for one FAT sector.
    OleDoc difat = base;
    difat.put32(68, 1);
    difat.put32(72, 2);
    EXPECT_FALSE(probe_ole_in(difat.bytes, "doc").found);
    // One DIFAT sector fits (here the directory sector doubles as one).
    difat.put32(72, 1);
    EXPECT_TRUE(probe_ole_in(difat.bytes, "doc").found);

    // Stream of 2 GiB, or counts whose estimate leaves 32 bits.
    EXPECT_FALSE(probe_ole_in(make_ole({named("WordDocument", 0x80000000u)}).bytes, "doc").found);
    OleDoc minifat = base;
    minifat.put32(64, 0x7FFFFFFF);
    EXPECT_FALSE(probe_ole_in(minifat.bytes, "doc").found);
    OleDoc far = base;
    far.put32(60, 0x7FFFFFF0);
    EXPECT_FALSE(probe_ole_in(far.bytes, "doc").found);

    // A directory chain that loops over full sectors ends.
    std::vector<OleEntry> seven(7, named("WordDocument"));
    OleDoc loop = make_ole(seven);  // root + 7: two full sectors, 1 -> 2
    loop.set_next(2, 1);
    EXPECT_FALSE(probe_ole_in(loop.bytes, "doc").found);
    // A sector that names itself as its successor ends the chain.
    OleDoc self = make_ole(seven);
    self.set_next(2, 2);
    EXPECT_TRUE(probe_ole_in(self.bytes, "doc").found);
}

TEST(OleProbe, SectorBeyondTheFatListIsNotFollowed) {
    // The directory sits at sector 14000, whose FAT entry would be in FAT
    // sector number 109 of the list: the header lists only 109 (0..108).
    OleDoc d = make_ole({named("WordDocument")});
    Bytes big(size_t(14000 + 2) * 512, 0);
    for (size_t i = 0; i < 1024; ++i) big[i] = d.bytes[i];                           // header, FAT
    for (size_t i = 0; i < 512; ++i) big[(14000 + 1) * 512 + i] = d.bytes[1024 + i];  // directory
    for (int i = 0; i < 4; ++i) big[48 + i] = uint8_t(14000 >> (8 * i));
    EXPECT_FALSE(probe_ole_in(big, "doc").found);
}
