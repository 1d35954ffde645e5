// ZIP containers: real office files, the container kinds, the requested
// names and archives that must not be reported.
#include "zip_writer.h"

#include "engine/file_types.h"

#include <gtest/gtest.h>

using namespace lmrtest;

namespace {

const int32_t k_zip_key = lmr::row_key("zip");

// Probes a candidate at `offset` of `input` with the run configured for
// `suffixes`; `in_memory` bytes are handed over as the scan buffer.
ProbeOutcome probe_zip_in(const Bytes &input, const char *suffixes, size_t offset = 0, size_t in_memory = SIZE_MAX) {
    return probe_row(k_zip_key, input, suffixes, offset, in_memory);
}

Bytes with_padding(Bytes b, size_t before, size_t after, unsigned char fill = 0xA5) {
    Bytes out(before, fill);
    out.insert(out.end(), b.begin(), b.end());
    out.insert(out.end(), after, fill);
    return out;
}

const std::vector<ZipMember> k_docx_members = {
    {"[Content_Types].xml", "<Types/>", ""},
    {"_rels/.rels", "<Relationships/>", ""},
    {"word/document.xml", "<w:document/>", ""},
};

}  // namespace

TEST(ZipProbe, OfficeFilesWithContentTypesFirstAreReportedUnderTheirOwnName) {
    struct Case {
        const char *file;
        const char *suffix;
    } cases[] = {
        {"archive/docx_lo_repacked_ct_first.docx", "docx"},
        {"archive/xlsx_lo_repacked_ct_first.xlsx", "xlsx"},
        {"archive/pptx_lo_repacked_ct_first.pptx", "pptx"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        Bytes file = read_file(data_path(c.file));
        ASSERT_FALSE(file.empty());
        Bytes volume = with_padding(file, 4096, 8192);

        ProbeOutcome all = probe_zip_in(volume, "docx,xlsx,pptx", 4096);
        EXPECT_TRUE(all.found);
        EXPECT_EQ(all.length, file.size());
        EXPECT_EQ(all.suffix, c.suffix);

        // Same find through the "office" group, whose zip entry comes second.
        ProbeOutcome office = probe_zip_in(volume, "office", 4096);
        EXPECT_TRUE(office.found);
        EXPECT_EQ(office.length, file.size());

        // Only the scan buffer's first kilobyte in memory: the rest is read
        // from the input.
        ProbeOutcome partial = probe_zip_in(volume, "docx,xlsx,pptx", 4096, 1024);
        EXPECT_TRUE(partial.found);
        EXPECT_EQ(partial.length, file.size());

        // Asking for plain archives only does not report the document.
        ProbeOutcome zip_only = probe_zip_in(volume, "zip", 4096);
        EXPECT_FALSE(zip_only.found);
        EXPECT_EQ(zip_only.suffix, c.suffix);
    }
}

TEST(ZipProbe, RequestedNamesDecideWhichKindsAreReported) {
    Bytes docx = make_zip(k_docx_members);
    EXPECT_TRUE(probe_zip_in(docx, "docx").found);
    EXPECT_FALSE(probe_zip_in(docx, "xlsx,pptx").found);

    // A word-processor part before the content types leaves a plain zip.
    Bytes late_ct = make_zip({{"word/document.xml", "<w/>", ""}, {"[Content_Types].xml", "<T/>", ""}});
    ProbeOutcome r = probe_zip_in(late_ct, "docx,zip");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.suffix, "zip");
    EXPECT_FALSE(probe_zip_in(late_ct, "docx").found);

    Bytes pptx = make_zip({{"[Content_Types].xml", "<T/>", ""}, {"ppt/slides/slide7.xml", "<p/>", ""}});
    EXPECT_EQ(probe_zip_in(pptx, "pptx").suffix, "pptx");
    EXPECT_TRUE(probe_zip_in(pptx, "pptx").found);

    Bytes snb = make_zip({{"snote/snote.xml", "<n/>", ""}, {"snote/media/a.jpg", "x", ""}});
    ProbeOutcome note = probe_zip_in(snb, "snb");
    EXPECT_TRUE(note.found);
    EXPECT_EQ(note.suffix, "snb");

    // Kinds the classifier does not know are plain archives.
    Bytes plain = make_zip({{"content.xml", "<office/>", ""}, {"meta.xml", "<m/>", ""}});
    EXPECT_FALSE(probe_zip_in(plain, "sxw").found);
    ProbeOutcome sxw = probe_zip_in(plain, "sxw,zip");
    EXPECT_TRUE(sxw.found);
    EXPECT_EQ(sxw.suffix, "zip");
    EXPECT_EQ(sxw.length, plain.size());
}

TEST(ZipProbe, AndroidPackageNeedsMatchingFirstNames) {
    Bytes apk = make_zip({{"AndroidManifest.xml", "<manifest/>", ""}, {"classes.dex", "dex\n035", ""}});
    ProbeOutcome ok = probe_zip_in(apk, "apk");
    EXPECT_TRUE(ok.found);
    EXPECT_EQ(ok.suffix, "apk");
    EXPECT_EQ(ok.length, apk.size());

    Bytes mismatch = make_zip({{"AndroidManifest.xml", "<manifest/>", "AndroidManifest.xmm"}, {"classes.dex", "d", ""}});
    EXPECT_FALSE(probe_zip_in(mismatch, "apk,zip").found);
}

TEST(ZipProbe, ArchiveCommentAndDescriptorsAfterSizedDataAreCounted) {
    ZipOptions opt;
    opt.comment = "archive comment";
    opt.descriptors = true;
    Bytes z = make_zip({{"a.txt", std::string(3000, 'a'), ""}, {"b.txt", "bb", ""}}, opt);
    ProbeOutcome r = probe_zip_in(with_padding(z, 512, 600), "zip", 512);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.length, z.size());
}

TEST(ZipProbe, StreamedArchivesAndTruncatedOnesAreNotReported) {
    // Sizes only in the data descriptors: the walk cannot pass the data.
    ZipOptions streamed;
    streamed.descriptors = true;
    streamed.zero_local_sizes = true;
    Bytes s = make_zip({{"data.txt", std::string(500, 'd'), ""}}, streamed);
    EXPECT_FALSE(probe_zip_in(s, "zip").found);
    Bytes lo = read_file(data_path("archive/docx_lo_text.docx"));
    ASSERT_FALSE(lo.empty());
    EXPECT_FALSE(probe_zip_in(lo, "docx,zip").found);

    // Cut inside the end record, or inside the central directory.
    Bytes z = make_zip(k_docx_members);
    Bytes cut_end(z.begin(), z.end() - 5);
    EXPECT_FALSE(probe_zip_in(cut_end, "docx").found);
    Bytes cut_central(z.begin(), z.end() - 40);
    EXPECT_FALSE(probe_zip_in(cut_central, "docx").found);

    // A lone local header with no central directory.
    Bytes lone(z.begin(), z.begin() + 30 + 19 + 8);
    lone.insert(lone.end(), 200, 0);
    EXPECT_FALSE(probe_zip_in(lone, "zip").found);
}

TEST(ZipProbe, HostileHeaderFieldsEndTheWalk) {
    // Names up to 260 bytes are read; 261 is refused.
    std::string n260(260, 'n'), n261(261, 'n');
    EXPECT_TRUE(probe_zip_in(make_zip({{n260, "x", ""}}), "zip").found);
    EXPECT_FALSE(probe_zip_in(make_zip({{n261, "x", ""}}), "zip").found);
    EXPECT_FALSE(probe_zip_in(make_zip({{"a", "x", ""}, {"b", "y", n261}}), "zip").found);

    // A compressed size of 2^31 or more.
    Bytes big = make_zip({{"a.bin", "xyz", ""}});
    big[18] = 0;
    big[19] = 0;
    big[20] = 0;
    big[21] = 0x80;
    EXPECT_FALSE(probe_zip_in(big, "zip").found);

    // A compressed size that points just past the end of the input.
    Bytes past = make_zip({{"a.bin", "xyz", ""}});
    past[18] = 0xF0;
    past[19] = 0xFF;
    past[20] = 0xFF;
    past[21] = 0x7F;
    EXPECT_FALSE(probe_zip_in(past, "zip").found);
}

TEST(ZipProbe, SuffixGroupsOfTheWindow) {
    Bytes docx = make_zip(k_docx_members);
    Bytes plain = make_zip({{"report.csv", "a,b\n1,2\n", ""}});
    const char *documents = "docx,pptx,xlsx,doc,ppt,xls,pdf";
    const char *archives = "zip,rar,gzip";
    const char *everything = "jpg,png,gif,docx,pptx,xlsx,doc,ppt,xls,pdf,mp4,avi,mov,3gp,mp3,amr,wav,apk,exe,zip,rar,gzip";
    EXPECT_TRUE(probe_zip_in(docx, documents).found);
    EXPECT_FALSE(probe_zip_in(plain, documents).found);
    EXPECT_FALSE(probe_zip_in(docx, archives).found);
    EXPECT_TRUE(probe_zip_in(plain, archives).found);
    EXPECT_TRUE(probe_zip_in(docx, everything).found);
    EXPECT_TRUE(probe_zip_in(plain, everything).found);
}
