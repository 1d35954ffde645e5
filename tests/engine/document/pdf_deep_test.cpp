// PDF in a deep scan: the end of the last revision, read from the revisions'
// own tails ("startxref", the cross-reference offset, %%EOF), with updates
// followed only where they begin right after the previous revision and
// point at a cross-reference section of the file.
#include "../media/probe_helpers.h"


using namespace lmrtest;

namespace {

struct Probed {
    int32_t found;
    uint64_t length;
};

Probed probe_pdf_bytes(const Bytes &input, size_t in_memory, bool deep = true, uint64_t offset = 0) {
    DeepScan mode(deep);
    DiagCapture quiet;
    auto r = probe_once(input, "pdf", in_memory, offset);
    return {r.found, r.length};
}

// An incremental update of `base`: one object, a cross-reference table for
// it and a trailer whose /Prev is `prev`, after `lead` (blanks or comment
// lines between the revisions).
Bytes updated(const Bytes &base, const std::string &lead, uint64_t prev, size_t object_bytes = 40) {
    Bytes out = base;
    append(out, bytes_of(lead));
    const size_t obj_at = out.size();
    append(out, bytes_of("30 0 obj\n<< /Length " + std::to_string(object_bytes) + " >>\nstream\n"));
    append(out, Bytes(object_bytes, 'q'));
    append(out, bytes_of("\nendstream\nendobj\n"));
    const size_t xref_at = out.size();
    char entry[32];
    snprintf(entry, sizeof entry, "%010zu 00000 n \n", obj_at);
    append(out, bytes_of("xref\n30 1\n" + std::string(entry) + "trailer\n<< /Size 31 /Prev " + std::to_string(prev) +
                         " >>\nstartxref\n" + std::to_string(xref_at) + "\n%%EOF\n"));
    return out;
}

}  // namespace

TEST(PdfDeep, EverySampleEndsAtItsLastRevision) {
    for (const char *name : {"document/gs_lf.pdf", "document/gs_cr.pdf", "document/gs_crlf.pdf",
                             "document/one_update_lf.pdf", "document/two_updates_lf.pdf",
                             "document/linearized_lf.pdf", "document/linearized_cr.pdf",
                             "document/pdftex_classic.pdf", "document/pdftex_xref_stream.pdf"}) {
        SCOPED_TRACE(name);
        Bytes pdf = sample(name);
        for (const Bytes &after : {Bytes(4096, 0), random_bytes(4096, 2), sample("image/jfif.jpg")}) {
            Bytes input = pdf;
            append(input, after);
            for (size_t in_memory : {size_t(512), size_t(1500), input.size()}) {
                auto r = probe_pdf_bytes(input, in_memory);
                EXPECT_EQ(1, r.found);
                EXPECT_EQ(pdf.size(), r.length);
            }
        }
    }
}

TEST(PdfDeep, UpdatesAfterALinearizedFileAndAfterLongGapsAreFollowed) {
    // The declared length of a linearized file covers its first revisions
    // only: the built-in rules stop there, a deep scan takes the update.
    Bytes lin = sample("document/linearized_cr.pdf");
    Bytes lin_up = updated(lin, "", 216);
    append(lin_up, random_bytes(700, 3));
    const uint64_t lin_len = lin_up.size() - 700;
    EXPECT_EQ(lin.size(), probe_pdf_bytes(lin_up, 600, false).length);
    auto r = probe_pdf_bytes(lin_up, 600);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(lin_len, r.length);

    // Blank lines and comments before an update, and an update far larger
    // than any look-ahead.
    Bytes gs = sample("document/gs_lf.pdf");
    for (const std::string &lead : {std::string("\r\n\r\n"), std::string("% saved again\n\n% by hand\n")}) {
        Bytes up = updated(updated(gs, lead, 6414, 300000), "\n", 6414);
        Bytes input = up;
        append(input, Bytes(3000, 0));
        auto u = probe_pdf_bytes(input, 2048);
        EXPECT_EQ(1, u.found);
        EXPECT_EQ(up.size(), u.length);
    }

    // A long comment before the first object: past the built-in rules'
    // first look, not a problem for the revisions' tails.
    Bytes late = bytes_of("%PDF-1.4\n%");
    append(late, Bytes(600, 'x'));
    append(late, Bytes(gs.begin() + 9, gs.end()));
    EXPECT_EQ(0, probe_pdf_bytes(late, late.size(), false).found);
    auto l = probe_pdf_bytes(late, late.size());
    EXPECT_EQ(1, l.found);
    EXPECT_EQ(late.size(), l.length);
}

TEST(PdfDeep, WhatFollowsTheFileIsNotJoinedToIt) {
    Bytes gs = sample("document/gs_lf.pdf");
    // Bytes that look like an update but whose offset points nowhere in
    // this file: the piece of some other PDF.  The built-in rules join it.
    std::string piece = "12 0 obj\n<< /Type /Page >>\nendobj\nstartxref\n100\n%%EOF\n";
    Bytes input = gs;
    append(input, bytes_of(piece));
    append(input, Bytes(1000, 0));
    EXPECT_EQ(gs.size() + piece.size(), probe_pdf_bytes(input, input.size(), false).length);
    auto r = probe_pdf_bytes(input, input.size());
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(gs.size(), r.length);

    // A gap of zeros, as sector slack leaves it, or an update that starts
    // with something other than an object, a table or a comment.
    for (const std::string &lead : {std::string("\n\0\0\0", 4), std::string("garbage\n")}) {
        Bytes up = updated(gs, lead, 6414);
        auto g = probe_pdf_bytes(up, up.size());
        EXPECT_EQ(1, g.found);
        EXPECT_EQ(gs.size(), g.length);
    }

    // Another PDF right after it, or after a few blank lines.
    Bytes next = sample("document/one_update_lf.pdf");
    for (size_t gap : {size_t(0), size_t(300)}) {
        Bytes two = gs;
        append(two, Bytes(gap, '\n'));
        append(two, next);
        auto a = probe_pdf_bytes(two, two.size());
        EXPECT_EQ(gs.size(), a.length) << gap;
        auto b = probe_pdf_bytes(two, 700, true, gs.size() + gap);
        EXPECT_EQ(next.size(), b.length) << gap;
    }
}

TEST(PdfDeep, DamagedTailsAndTheBuiltInRulesAsLastResort) {
    Bytes gs = sample("document/gs_lf.pdf");
    // A "startxref" in the text of a page, without an offset and %%EOF,
    // is passed over.
    Bytes text = gs;
    std::string mention = "(the keyword startxref ends a file) Tj\n";
    text.insert(text.begin() + 2000, mention.begin(), mention.end());
    auto r = probe_pdf_bytes(text, 512);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(text.size(), r.length);

    // No "startxref" at all: the built-in rules' walk to %%EOF still ends it.
    Bytes bare = gs;
    std::string tail = "startxref\n6414\n";
    auto at = std::search(bare.begin(), bare.end(), tail.begin(), tail.end());
    ASSERT_NE(at, bare.end());
    std::fill(at, at + 9, ' ');
    auto b = probe_pdf_bytes(bare, bare.size());
    EXPECT_EQ(1, b.found);
    EXPECT_EQ(bare.size(), b.length);

    // Cut inside the last tail: the revision before it is the end.
    Bytes two = sample("document/one_update_lf.pdf");
    Bytes cut(two.begin(), two.end() - 8);
    append(cut, Bytes(2000, 0));
    auto c = probe_pdf_bytes(cut, 1024);
    EXPECT_EQ(1, c.found);
    EXPECT_EQ(6947u, c.length);
}

// Crafted runs of keywords and revisions end (the suite's time limit would
// catch a walk that does not), with the bounded result.
TEST(PdfDeep, CraftedRunsOfKeywordsAndRevisionsAreBounded) {
    // Nothing but keywords without a tail, read from the input.
    Bytes keywords = bytes_of("%PDF-1.4\n1 0 obj\n");
    for (int i = 0; i < 1000000; ++i) append(keywords, bytes_of("startxref "));
    Probed r{};
    r = probe_pdf_bytes(keywords, 512);
    EXPECT_EQ(0, r.found);

    // Tiny revisions, each pointing at the file's first object: followed
    // up to a bound, and the file ends at the last one followed.
    const std::string head = "%PDF-1.4\n1 0 obj\nendobj\n", rev = "xref\nstartxref\n9\n%%EOF\n";
    Bytes revisions = bytes_of(head);
    for (int i = 0; i < 100000; ++i) append(revisions, bytes_of(rev));
    r = probe_pdf_bytes(revisions, 512);
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(head.size() + 4096 * rev.size(), r.length);
}
