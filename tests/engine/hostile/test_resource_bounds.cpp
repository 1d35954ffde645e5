// Bounded work and memory on hostile candidates: a signature followed by
// random bytes, then a long run of zeros (free space as it usually looks),
// in a 256 MiB chunk.  No probe may read more than its type's size bound
// (three times over, for the probes that search for several markers) plus
// its structure walk, nor allocate more than its reader and fixed buffers.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace lmrtest;

namespace {

long peak_rss_kb() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

struct BoundCase {
    const char *type;
    const char *sample;
};

// Each type's sample cut in the middle and followed by zeros to the end of
// a 256 MiB chunk: the probe walks what structure there is, then searches
// or walks on through the zeros as far as its rules let it.
void check_bounds(const std::vector<BoundCase> &cases) {
    FILE *null = fopen("/dev/null", "w");
    set_diagnostic_output(null);
    const uint64_t chunk = 256ull << 20;
    const long rss_before = peak_rss_kb();
    for (const auto &c : cases) {
        Bytes sample = read_file(data_path(c.sample));
        ASSERT_GT(sample.size(), 64u) << c.sample;
        Bytes half(sample.begin(), sample.begin() + long(sample.size() / 2));
        TempFile file(half);
        ASSERT_EQ(truncate(file.path().c_str(), off_t(chunk)), 0);  // sparse zeros to the end
        ProbeRun run(file.path(), c.type);
        ASSERT_EQ(run.state()->spec_count, 1);
        search_spec_entry *e = run.entry();

        // The scan buffer holds the first 4 KiB; the rest comes through the
        // probe's own reads.
        Bytes in_memory(half);
        in_memory.resize(4096, 0);
        const uint64_t before = bytes_read();
        int32_t found = 0;
        probe_file(run.state(), e, in_memory.data(), int32_t(in_memory.size()), 0, chunk, &found);
        const uint64_t read = bytes_read() - before;
        EXPECT_LE(read, 3 * e->max_len + (2u << 20)) << c.type;
    }
    // Readers, footer windows and directory lists only: a few MiB at most.
    EXPECT_LT(peak_rss_kb() - rss_before, 64 * 1024);
    set_diagnostic_output(nullptr);
    fclose(null);
}

const std::vector<BoundCase> k_bound_cases = {
    {"jpg", "image/jfif.jpg"},         {"png", "image/rgb.png"},
    {"gif", "image/gif89a_comment.gif"}, {"bmp", "image/v5.bmp"},
    {"docx", "archive/docx_lo_repacked_ct_first.docx"}, {"rar", "archive/rar4_single.rar"},
    {"doc", "compound/doc_lo_text.doc"}, {"pdf", "document/gs_lf.pdf"},
    {"sqlite", "document/p4096.sqlite"}, {"txt", "document/bom_5001.txt"},
    {"mp3", "media/id3v23_no_v1.mp3"},  {"amr", "media/nb_mode2.amr"},
    {"mp4", "media/moov_first.mp4"},    {"wmv", "media/wmv2_wma2.wmv"},
    {"wav", "media/pcm_mono.wav"},      {"avi", "media/mpeg4_mp3.avi"},
};

TEST(ResourceBounds, ProbesReadAndAllocateBoundedAmounts) { check_bounds(k_bound_cases); }

// The deep walks of archives, documents and ISO media keep to the same
// bounds, also on archives whose members leave their sizes to data
// descriptors.
TEST(ResourceBounds, DeepScanProbesReadAndAllocateBoundedAmounts) {
    DeepScan deep;
    check_bounds({
        {"docx", "archive/docx_lo_repacked_ct_first.docx"},
        {"docx", "archive/docx_lo_text.docx"},
        {"zip", "archive/streamed_datadesc.zip"},
        {"pdf", "document/gs_lf.pdf"},
        {"pdf", "document/pdftex_xref_stream.pdf"},
        {"mp4", "media/moov_first.mp4"},
        {"3gp", "media/h263.3gp"},
    });
}

}  // namespace
