// PDF probe: line endings after the end marker, incremental updates,
// neighbouring files, pdfTeX's cross-reference streams, and the
// linearization path.
#include "../media/probe_helpers.h"

using namespace lmrtest;

namespace {

struct Probed {
    int32_t found;
    uint64_t length;
    std::vector<std::string> diag;
};

Probed probe_pdf_bytes(const Bytes &input, size_t in_memory, uint64_t offset = 0) {
    DiagCapture diag;
    auto r = probe_once(input, "pdf", in_memory, offset);
    return {r.found, r.length, diag.lines()};
}

}  // namespace

TEST(PdfProbe, LastEndMarkerWithAnyLineEndingIsFoundWhole) {
    for (const char *name : {"document/gs_lf.pdf", "document/gs_cr.pdf", "document/gs_crlf.pdf",
                             "document/one_update_lf.pdf", "document/two_updates_lf.pdf",
                             "document/linearized_lf.pdf"}) {
        Bytes pdf = sample(name);
        for (const Bytes &after : {Bytes(4096, 0), random_bytes(4096, 2)}) {
            Bytes input = pdf;
            append(input, after);
            auto r = probe_pdf_bytes(input, 1024);
            EXPECT_EQ(1, r.found) << name;
            EXPECT_EQ(pdf.size(), r.length) << name;
        }
    }
}

TEST(PdfProbe, EndOfInputRightAfterTheMarker) {
    Bytes pdf = sample("document/gs_lf.pdf");
    pdf.pop_back();  // no line ending at all
    auto r = probe_pdf_bytes(pdf, pdf.size());
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(pdf.size(), r.length);
}

TEST(PdfProbe, FollowingPdfIsNotJoined) {
    Bytes first = sample("document/gs_lf.pdf");
    Bytes second = sample("document/one_update_lf.pdf");
    // Back to back, and with a gap shorter than the 512-byte look-ahead.
    for (size_t gap : {size_t(0), size_t(300)}) {
        Bytes input = first;
        append(input, Bytes(gap, '\n'));
        append(input, second);
        auto r = probe_pdf_bytes(input, input.size());
        EXPECT_EQ(1, r.found) << gap;
        EXPECT_EQ(first.size(), r.length) << gap;
        auto r2 = probe_pdf_bytes(input, 700, first.size() + gap);
        EXPECT_EQ(1, r2.found) << gap;
        EXPECT_EQ(second.size(), r2.length) << gap;
    }
}

TEST(PdfProbe, TwoLfEndedPdfsInAnImageGiveTwoFinds) {
    Bytes a = sample("document/gs_lf.pdf");
    Bytes b = sample("document/one_update_lf.pdf");
    Bytes image = a;
    pad_to(image, 512);  // the next block start
    const uint64_t second_at = image.size();
    append(image, b);
    append(image, Bytes(2048, 0));
    TempFile f(image);
    auto finds = scan(f.path(), "pdf");
    ASSERT_EQ(2u, finds.size());
    EXPECT_EQ(0u, finds[0].offset);
    EXPECT_EQ(a.size(), finds[0].length);
    EXPECT_EQ(second_at, finds[1].offset);
    EXPECT_EQ(b.size(), finds[1].length);
    EXPECT_EQ("pdf", finds[1].suffix);
}

// pdfTeX's default output keeps its cross-reference in a stream object and
// has no "trailer"; gs_cr.pdf, further on, has one.
TEST(PdfProbe, CrossReferenceStreamEndsAtItsEndMarker) {
    Bytes pdf = sample("document/pdftex_xref_stream.pdf");
    Bytes classic = sample("document/pdftex_classic.pdf");
    Bytes others = sample("image/jfif.jpg");
    append(others, sample("media/moov_first.mp4"));
    append(others, sample("document/gs_cr.pdf"));
    for (size_t in_memory : {size_t(512), size_t(700), size_t(10240), SIZE_MAX}) {
        SCOPED_TRACE(in_memory);
        for (const Bytes *p : {&pdf, &classic}) {
            Bytes input = *p;
            append(input, others);
            auto r = probe_pdf_bytes(input, in_memory);
            EXPECT_EQ(1, r.found);
            EXPECT_EQ(p->size(), r.length);
        }
        // Cut before its end marker: no search reaches into the next PDF
        // for one, however near it is.
        Bytes cut(pdf.begin(), pdf.end() - 7);
        append(cut, others);
        auto r = probe_pdf_bytes(cut, in_memory);
        EXPECT_EQ(0, r.found);
    }
}

TEST(PdfScan, PdfTeXFilesAmongOtherFilesComeBackWhole) {
    const char *names[] = {"document/pdftex_xref_stream.pdf", "image/jfif.jpg",
                           "media/moov_first.mp4",            "document/pdftex_xref_stream.pdf",
                           "image/rgb.png",                   "document/pdftex_classic.pdf",
                           "document/gs_cr.pdf"};
    Bytes image(1024, 0);
    std::vector<std::pair<uint64_t, uint64_t>> want;
    for (const char *name : names) {
        Bytes b = sample(name);
        want.push_back({image.size(), b.size()});
        append(image, b);
        pad_to(image, 512);
    }
    append(image, random_bytes(8192, 7));
    TempFile f(image);
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (const Find &x : scan(f.path(), "pdf,jpg,mp4,png")) got.push_back({x.offset, x.length});
    EXPECT_EQ(want, got);
}

TEST(PdfProbe, LinearizedLengthIsTakenWhenItChecksOut) {
    Bytes pdf = sample("document/linearized_cr.pdf");
    Bytes input = pdf;
    append(input, random_bytes(2000, 4));
    auto r = probe_pdf_bytes(input, 600);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(pdf.size(), r.length);
    std::vector<std::string> want = {"[pdf] %PDF-1.7", "[pdf] Linearized pdf",
                                     "[pdf] Linearized size: " + std::to_string(pdf.size())};
    EXPECT_EQ(want, r.diag);

    // Without the carriage return before /L: the object search finds it.
    auto lf = probe_pdf_bytes(sample("document/linearized_lf.pdf"), 600);
    EXPECT_EQ(1, lf.found);
    std::vector<std::string> fallback = {"[pdf] %PDF-1.7", "[pdf] Linearized pdf",
                                         "[pdf] search obj, xref, trailer"};
    EXPECT_EQ(fallback, lf.diag);
}

TEST(PdfProbe, LinearizedLengthPastTheChunkOrWithoutMarker) {
    Bytes pdf = sample("document/linearized_cr.pdf");
    Bytes cut(pdf.begin(), pdf.end() - 100);
    auto r = probe_pdf_bytes(cut, cut.size());
    EXPECT_EQ(0, r.found);
    EXPECT_EQ("[pdf] this file was overwritten", r.diag.back());

    // The declared length points into the middle of the file: object search.
    Bytes shifted = pdf;
    std::string decl = "/L " + std::to_string(pdf.size());
    auto at = std::search(shifted.begin(), shifted.begin() + 512, decl.begin(), decl.end());
    ASSERT_NE(shifted.begin() + 512, at);
    at[3] = '3';  // a smaller length of the same width
    auto inv = probe_pdf_bytes(shifted, 512);
    EXPECT_EQ(1, inv.found);
    EXPECT_EQ(pdf.size(), inv.length);
    std::vector<std::string> tail(inv.diag.end() - 3, inv.diag.end());
    std::vector<std::string> want = {"[pdf] Linearized is invalid, ignore", "[pdf] search obj, xref, trailer",
                                     "[pdf] reset bstream"};
    EXPECT_EQ(want, tail);
}

TEST(PdfProbe, IncompleteOrMisplacedStructureIsNotFound) {
    Bytes pdf = sample("document/gs_lf.pdf");
    // Too short for the first look.
    Bytes tiny(pdf.begin(), pdf.begin() + 511);
    auto r = probe_pdf_bytes(tiny, tiny.size());
    EXPECT_EQ(0, r.found);
    EXPECT_TRUE(r.diag.empty());

    // The first "obj" beyond the look-ahead window after the header.
    Bytes late = bytes_of("%PDF-1.4\n%");
    append(late, Bytes(600, 'x'));
    append(late, Bytes(pdf.begin() + 9, pdf.end()));
    EXPECT_EQ(0, probe_pdf_bytes(late, late.size()).found);

    // No end marker after the trailer.
    Bytes open = pdf;
    open.resize(open.size() - 7);
    EXPECT_EQ(0, probe_pdf_bytes(open, open.size()).found);
}
