// ZIP containers in a deep scan: the end record whose directory agrees with
// the candidate ends the archive, whatever the local headers say about
// sizes, and the kind comes from the part names wherever they stand.
#include "zip_writer.h"

#include "engine/file_types.h"

#include <gtest/gtest.h>


using namespace lmrtest;

namespace {

const int32_t k_zip_key = lmr::row_key("zip");

ProbeOutcome deep_probe(const Bytes &input, const char *suffixes, size_t offset = 0, size_t in_memory = SIZE_MAX,
                   bool deep = true) {
    DeepScan mode(deep);
    return probe_row(k_zip_key, input, suffixes, offset, in_memory);
}

Bytes surrounded(const Bytes &b, size_t before, size_t after, uint32_t seed) {
    Bytes out = random_bytes(before, seed);
    out.insert(out.end(), b.begin(), b.end());
    Bytes tail = random_bytes(after, seed + 1);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

const char *const k_kinds = "zip,docx,xlsx,pptx,apk,snb";

ZipOptions streamed() {
    ZipOptions o;
    o.descriptors = true;
    o.zero_local_sizes = true;
    return o;
}

}  // namespace

TEST(ZipDeep, ArchivesWithSizesInDataDescriptorsEndAtTheirEndRecord) {
    struct Case {
        const char *file;
        const char *suffix;
    } cases[] = {
        {"archive/docx_lo_text.docx", "docx"},      // LibreOffice: content types last
        {"archive/xlsx_lo.xlsx", "xlsx"},
        {"archive/pptx_lo_text.pptx", "pptx"},
        {"archive/streamed_datadesc.zip", "zip"},  // zip to a pipe
        {"archive/docx_lo_repacked_ct_first.docx", "docx"},  // sizes in the headers: same end as by rule
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        Bytes file = read_file(data_path(c.file));
        ASSERT_FALSE(file.empty());
        Bytes volume = surrounded(file, 4096, 9000, 3);
        for (size_t in_memory : {SIZE_MAX, size_t(4096 + 1024), size_t(4096 + 30)}) {
            ProbeOutcome r = deep_probe(volume, k_kinds, 4096, in_memory == SIZE_MAX ? SIZE_MAX : in_memory - 4096);
            EXPECT_TRUE(r.found);
            EXPECT_EQ(r.length, file.size());
            EXPECT_EQ(r.suffix, c.suffix);
        }
        // The requested names still decide.
        ProbeOutcome other = deep_probe(volume, std::string(c.suffix) == "zip" ? "docx" : "zip", 4096);
        EXPECT_FALSE(other.found);
    }
    // Synthetic streamed archives: signed and unsigned descriptors, and a
    // member of 0 bytes.
    for (bool signature : {true, false}) {
        ZipOptions o = streamed();
        o.descriptor_signature = signature;
        o.comment = "made in a pipe";
        Bytes z = make_zip({{"a.txt", std::string(70000, 'a'), ""}, {"empty", "", ""}, {"b.bin", "PK\x05\x06", ""}}, o);
        ProbeOutcome r = deep_probe(surrounded(z, 512, 512, 5), "zip", 512);
        EXPECT_TRUE(r.found) << signature;
        EXPECT_EQ(r.length, z.size());
        EXPECT_FALSE(deep_probe(surrounded(z, 512, 512, 5), "zip", 512, SIZE_MAX, false).found);
    }
}

TEST(ZipDeep, TheKindComesFromPartNamesWhereverTheyStand) {
    ZipOptions o = streamed();
    struct Case {
        std::vector<ZipMember> members;
        const char *suffix;
    } cases[] = {
        // openpyxl writes the content types last, its workbook before them.
        {{{"docProps/app.xml", "<a/>", ""}, {"xl/workbook.xml", "<w/>", ""}, {"[Content_Types].xml", "<T/>", ""}},
         "xlsx"},
        {{{"_rels/.rels", "<r/>", ""}, {"ppt/presentation.xml", "<p/>", ""}, {"[Content_Types].xml", "<T/>", ""}},
         "pptx"},
        {{{"word/document.xml", "<w/>", ""}, {"[Content_Types].xml", "<T/>", ""}}, "docx"},
        // A main part without the content types is no office package.
        {{{"word/document.xml", "<w/>", ""}, {"word/styles.xml", "<s/>", ""}}, "zip"},
        {{{"res/icon.png", "png", ""}, {"classes.dex", "dex", ""}, {"AndroidManifest.xml", "<m/>", ""}}, "apk"},
        {{{"snote/media/a.jpg", "j", ""}, {"snote/snote.xml", "<n/>", ""}}, "snb"},
        {{{"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n", ""}, {"a/B.class", "\xCA\xFE", ""}}, "zip"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.suffix);
        for (const ZipOptions &opt : {ZipOptions(), o}) {
            Bytes z = make_zip(c.members, opt);
            ProbeOutcome r = deep_probe(z, k_kinds);
            EXPECT_TRUE(r.found);
            EXPECT_EQ(r.length, z.size());
            EXPECT_EQ(r.suffix, c.suffix);
        }
    }
}

TEST(ZipDeep, TheDirectoryMustAgreeWithTheCandidate) {
    Bytes z = make_zip({{"one.txt", std::string(600, '1'), ""}, {"two.txt", std::string(600, '2'), ""}}, streamed());
    // A candidate at the second member: the directory's offsets are not
    // relative to it.
    size_t second = 30 + 7 + 600 + 16;
    ASSERT_EQ(z[second + 2], 3);
    EXPECT_FALSE(deep_probe(z, "zip", second).found);

    // The entry at offset 0 must carry the candidate's first name.
    Bytes renamed = make_zip({{"one.txt", "1", "uno.txt"}, {"two.txt", "2", ""}}, streamed());
    EXPECT_FALSE(deep_probe(renamed, "zip").found);
    // ... and a local offset past the directory's start is refused.
    Bytes z2 = make_zip({{"one.txt", "1", ""}, {"two.txt", "2", ""}}, streamed());
    size_t cd = z2.size() - 22 - 2 * (46 + 7);
    ASSERT_EQ(z2[cd + 2], 1);
    z2[cd + 46 + 7 + 42] = 0xF0;  // the second entry's local offset
    EXPECT_FALSE(deep_probe(z2, "zip").found);

    // A stored archive inside an archive: its end record comes first but
    // belongs to the inner one; the outer ends at its own.
    Bytes inner = make_zip({{"in.txt", std::string(300, 'i'), ""}}, streamed());
    Bytes outer = make_zip({{"inner.zip", std::string(inner.begin(), inner.end()), ""}, {"z.txt", "z", ""}}, streamed());
    ProbeOutcome r = deep_probe(outer, "zip");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, outer.size());
    size_t inner_at = 30 + 9;
    ProbeOutcome in = deep_probe(outer, "zip", inner_at);
    EXPECT_TRUE(in.found);
    EXPECT_EQ(in.length, inner.size());

    // Two streamed archives back to back, the first one's end record lost:
    // the second's directory does not agree with the first's start.
    Bytes a = make_zip({{"a.txt", std::string(700, 'a'), ""}}, streamed());
    Bytes b = make_zip({{"b.txt", std::string(700, 'b'), ""}}, streamed());
    Bytes both(a.begin(), a.end() - 22);
    both.resize(1536, 0);
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_FALSE(deep_probe(both, "zip").found);
    ProbeOutcome second_one = deep_probe(both, "zip", 1536);
    EXPECT_TRUE(second_one.found);
    EXPECT_EQ(second_one.length, b.size());
}

TEST(ZipDeep, SigningBlocksAndZip64EndRecords) {
    // An Android signing block between the members and the directory.
    ZipOptions signed_apk;
    signed_apk.before_directory = std::string(4096, 'S') + "APK Sig Block 42";
    Bytes apk = make_zip({{"AndroidManifest.xml", "<manifest/>", ""}, {"classes.dex", "dex\n035", ""}}, signed_apk);
    ProbeOutcome r = deep_probe(surrounded(apk, 1024, 100, 9), "apk", 1024);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, apk.size());
    EXPECT_EQ(r.suffix, "apk");

    // ... and after members that keep their sizes in descriptors.
    ZipOptions streamed_apk = streamed();
    streamed_apk.before_directory = signed_apk.before_directory;
    Bytes apk2 = make_zip({{"AndroidManifest.xml", "<manifest/>", ""}, {"classes.dex", "dex\n035", ""}}, streamed_apk);
    r = deep_probe(surrounded(apk2, 1024, 100, 9), "apk", 1024);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, apk2.size());

    // Descriptors with 64-bit sizes.
    ZipOptions d64 = streamed();
    d64.descriptor64 = true;
    Bytes wide = make_zip({{"a", std::string(3000, 'a'), ""}, {"b", std::string(10, 'b'), ""}}, d64);
    r = deep_probe(surrounded(wide, 512, 512, 10), "zip", 512);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, wide.size());

    ZipOptions z64 = streamed();
    z64.zip64_end = true;
    z64.comment = "64";
    Bytes big = make_zip({{"a", std::string(2000, 'a'), ""}, {"b", "b", ""}}, z64);
    r = deep_probe(surrounded(big, 512, 512, 11), "zip", 512);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, big.size());
    // A locator that points elsewhere.
    Bytes bad = big;
    bad[bad.size() - 22 - 2 - 20 + 8] ^= 1;
    EXPECT_FALSE(deep_probe(bad, "zip").found);
    // The end record keeping the numbers, the directory ending at the ZIP64
    // end record before it.
    z64.zip64_plain = true;
    Bytes plain = make_zip({{"-", std::string(2000, 'a'), ""}}, z64);
    r = deep_probe(surrounded(plain, 512, 512, 12), "zip", 512);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, plain.size());
}

TEST(ZipDeep, CutArchivesAndTheSearchBound) {
    ZipOptions o = streamed();
    o.comment = "a comment of some length";
    Bytes z = make_zip({{"a.txt", std::string(3000, 'a'), ""}}, o);
    for (size_t cut : {size_t(1), size_t(10), size_t(30), size_t(60)}) {
        Bytes c(z.begin(), z.end() - long(cut));
        EXPECT_FALSE(deep_probe(c, "zip").found) << cut;
    }
    // A data descriptor, and the end record, are looked for within the
    // entry's size limit (10 MiB) from where each search starts: a member
    // of that size is not passed, but an archive of smaller members that
    // keep their sizes in descriptors may be larger.
    Bytes far = make_zip({{"big.bin", std::string(10u << 20, 'x'), ""}}, streamed());
    EXPECT_FALSE(deep_probe(far, "zip").found);
    Bytes near = make_zip({{"big.bin", std::string((10u << 20) - 200, 'x'), ""}}, streamed());
    EXPECT_TRUE(deep_probe(near, "zip").found);
    Bytes many = make_zip({{"a.bin", std::string(6u << 20, 'a'), ""},
                           {"b.bin", std::string(6u << 20, 'b'), ""},
                           {"c.bin", std::string(1u << 20, 'c'), ""}},
                          streamed());
    ProbeOutcome m = deep_probe(many, "zip", 0, 4096);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.length, many.size());
    // Without signatures the descriptors cannot be found by themselves:
    // then the end record is looked for from the first such member.
    ZipOptions bare = streamed();
    bare.descriptor_signature = false;
    EXPECT_FALSE(deep_probe(make_zip({{"a.bin", std::string(6u << 20, 'a'), ""},
                                      {"b.bin", std::string(6u << 20, 'b'), ""}},
                                     bare),
                            "zip")
                     .found);
    // Sized members are passed by their sizes, so a large archive the
    // built-in walk finds is found too.
    Bytes sized = make_zip({{"big.bin", std::string(12u << 20, 'x'), ""}, {"s", "s", ""}});
    ProbeOutcome r = deep_probe(sized, "zip", 0, 4096);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, sized.size());
}

TEST(ZipDeep, ManyEndRecordsOverOneDirectoryStayCheap) {
    // A directory of many entries followed by end records that each claim
    // it, with a directory size reaching up to themselves: each would need
    // a walk of the whole directory to be refused.  Only a bounded number
    // of walks is made.
    std::vector<ZipMember> members;
    for (int i = 0; i < 4000; ++i) members.push_back({"m" + std::to_string(i), "", ""});
    Bytes z = make_zip(members, streamed());
    Bytes end(z.end() - 22, z.end());
    const uint32_t cd = uint32_t(end[16] | end[17] << 8 | end[18] << 16 | uint32_t(end[19]) << 24);
    Bytes hostile(z.begin(), z.end() - 22);
    hostile.resize(hostile.size() + 22, ' ');
    for (int i = 0; i < 20000; ++i) {
        Bytes e = end;
        uint32_t size = uint32_t(hostile.size()) - cd;
        e[12] = uint8_t(size), e[13] = uint8_t(size >> 8), e[14] = uint8_t(size >> 16), e[15] = uint8_t(size >> 24);
        hostile.insert(hostile.end(), e.begin(), e.end());
    }
    EXPECT_FALSE(deep_probe(hostile, "zip").found);

    // A streamed member followed by nothing but end-record signatures, read
    // from the input rather than the scan buffer: each is judged once.
    Bytes sigs = make_zip({{"s.txt", "s", ""}}, streamed());
    sigs.resize(30 + 5 + 1);
    for (int i = 0; i < (9 << 20) / 4; ++i) sigs.insert(sigs.end(), {'P', 'K', 5, 6});
    EXPECT_FALSE(deep_probe(sigs, "zip", 0, 64).found);
}
