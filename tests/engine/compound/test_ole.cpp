// Compound documents: real LibreOffice and xlwt files, the naming rules,
// the header and directory checks, the length from the allocation table
// (and the estimate without it) and crafted headers that must not be
// exploited.
#include "ole_writer.h"

#include "engine/file_types.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace lmrtest;

namespace {

const int32_t k_ole_key = lmr::row_key("ole");

ProbeOutcome probe_ole_in(const Bytes &input, const char *suffixes, size_t offset = 0, size_t in_memory = SIZE_MAX) {
    ProbeOutcome o = probe_row(k_ole_key, input, suffixes, offset, in_memory);
    EXPECT_EQ(FAT, nullptr);
    EXPECT_EQ(dirlist, nullptr);
    return o;
}

OleEntry named(const std::string &name, uint32_t size = 100) {
    OleEntry e;
    e.name = name;
    e.size = size;
    return e;
}

// A second FAT sector listed past the end of the input: the table cannot be
// read whole, so the length is estimated.
OleDoc without_table(OleDoc d) {
    d.put32(44, 2);
    d.put32(80, 100000);
    return d;
}

// 2 FAT sectors, one directory sector read (sector 1): the estimate is at
// least (1 + 1 + 5) * 512 bytes.
constexpr uint64_t k_min_len = 7 * 512;

}  // namespace

TEST(OleProbe, LibreOfficeAndXlwtFiles) {
    struct Case {
        const char *file;
        const char *suffix;
    } cases[] = {
        {"compound/doc_lo_text.doc", "doc"},
        {"compound/xls_xlwt.xls", "xls"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        Bytes file = read_file(data_path(c.file));
        ASSERT_FALSE(file.empty());
        Bytes volume(1024 + file.size() + 4096, 0);
        std::fill(volume.begin(), volume.begin() + 1024, 0x11);
        std::copy(file.begin(), file.end(), volume.begin() + 1024);

        ProbeOutcome r = probe_ole_in(volume, "office", 1024);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.suffix, c.suffix);
        EXPECT_EQ(r.length, file.size());

        ProbeOutcome partial = probe_ole_in(volume, "doc,xls", 1024, 600);
        EXPECT_TRUE(partial.found);
        EXPECT_EQ(partial.length, file.size());

        // The other kind was asked for: named, but not reported.
        ProbeOutcome other = probe_ole_in(volume, std::string(c.suffix) == "doc" ? "xls" : "doc", 1024);
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
        ProbeOutcome r = probe_ole_in(make_ole(c.entries).bytes, "ole,doc,xls,ppt");
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
    ProbeOutcome at_limit = probe_ole_in(make_ole(std::vector<OleEntry>(many.begin(), many.end() - 1)).bytes, "doc");
    EXPECT_TRUE(at_limit.found);
    EXPECT_FALSE(probe_ole_in(make_ole(many).bytes, "doc").found);
}

TEST(OleProbe, LengthRunsToTheLastSectorInUse) {
    // Header, FAT (sector 0) and directory (sector 1): the streams' sizes
    // do not count, the table does.
    OleDoc d = make_ole({named("WordDocument", 100000)});
    EXPECT_EQ(probe_ole_in(d.bytes, "doc").length, 3u * 512);

    // Stream sectors 3..9 chained, sector 2 free, and bytes of something
    // else after the document.
    for (uint32_t n = 3; n < 9; ++n) d.set_next(n, n + 1);
    d.set_next(9, 0xFFFFFFFE);
    d.bytes.resize(11 * 512, 0x55);
    EXPECT_EQ(probe_ole_in(d.bytes, "doc").length, 11u * 512);
    // Any entry but free marks its sector: a lone FAT mark far out (here
    // in a second FAT sector, number 10) sets the end.
    d.put32(44, 2);
    d.put32(80, 10);
    d.bytes.resize(12 * 512, 0xFF);
    for (size_t i = 0; i < 4; ++i) d.bytes[11 * 512 + 4 * 40 + i] = i == 0 ? 0xFD : 0xFF;  // sector 168
    EXPECT_EQ(probe_ole_in(d.bytes, "doc").length, (168u + 2) * 512);
}

TEST(OleProbe, LengthEstimateWithoutTheTable) {
    // Structures alone: bounded below by the sectors read.
    ProbeOutcome small = probe_ole_in(without_table(make_ole({named("WordDocument", 100)})).bytes, "doc");
    EXPECT_TRUE(small.found);
    EXPECT_EQ(small.length, k_min_len);

    // Streams over the cutoff count in 512-byte sectors, those under it in
    // 64-byte mini sectors: 1024 + 1024 (FAT) + 512 (directory) + 100352 +
    // 128.
    ProbeOutcome big = probe_ole_in(without_table(make_ole({named("WordDocument", 100000), named("Data", 100)})).bytes,
                               "doc");
    EXPECT_EQ(big.length, 103424u);

    // A first mini-FAT sector beyond the sectors read sets the length.
    OleDoc far = without_table(make_ole({named("WordDocument", 100)}));
    far.put32(60, 40);
    EXPECT_EQ(probe_ole_in(far.bytes, "doc").length, 40u * 512);
    // ... one close to them is moved past them.
    far.put32(60, 3);
    EXPECT_EQ(probe_ole_in(far.bytes, "doc").length, k_min_len);
    // A FAT sector number that is not a sector also leaves the estimate.
    OleDoc free_entry = make_ole({named("WordDocument", 100)});
    free_entry.put32(44, 2);
    EXPECT_EQ(probe_ole_in(free_entry.bytes, "doc").length, k_min_len);
}

TEST(OleProbe, PictureRightAfterADocumentIsFound) {
    // 512-byte steps: a file that starts where the document ends must not
    // be skipped with it.
    Bytes doc = read_file(data_path("compound/doc_lo_text.doc"));
    Bytes jpg = read_file(data_path("image/jfif.jpg"));
    ASSERT_FALSE(doc.empty());
    ASSERT_FALSE(jpg.empty());
    Bytes image(4096, 0);
    image.insert(image.end(), doc.begin(), doc.end());
    image.insert(image.end(), jpg.begin(), jpg.end());
    image.resize(image.size() + 8192, 0);
    TempFile f(image, "oledoc");

    struct Find {
        uint64_t offset, length;
        std::string suffix;
        bool operator==(const Find &o) const {
            return offset == o.offset && length == o.length && suffix == o.suffix;
        }
    };
    static std::vector<Find> finds;
    finds.clear();
    set_callbacks(nullptr, [](void *, r_info *i) { finds.push_back({i->offset, i->length, i->suffix}); }, nullptr,
                  nullptr);
    int32_t formated = is_formated;
    is_formated = 1;  // no file system: 512-byte steps
    start_recovery2(f.path().c_str(), "doc,jpg", "", 0);
    is_formated = formated;
    set_callbacks(nullptr, nullptr, nullptr, nullptr);

    std::vector<Find> want = {{4096, doc.size(), "doc"}, {4096 + doc.size(), jpg.size(), "jpg"}};
    EXPECT_TRUE(finds == want) << finds.size() << " finds";
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
    OleDoc minifat = without_table(base);
    minifat.put32(64, 0x7FFFFFFF);
    EXPECT_FALSE(probe_ole_in(minifat.bytes, "doc").found);
    OleDoc far = without_table(base);
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
