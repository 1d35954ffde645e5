// Unreadable sectors: the scan loses only them, counts them, keeps every
// reported offset exact, and no file's end search runs through them into
// the next file.
#include "engine/file_types.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <set>
#include <unistd.h>
#include <vector>

using namespace lmrtest;

namespace {

std::set<uint64_t> g_bad;  // sector numbers that fail
int g_failed_calls = 0;

int64_t failing_pread(int fd, void *buf, uint64_t count, uint64_t offset) {
    for (uint64_t s = offset / 512; s * 512 < offset + count; ++s) {
        if (g_bad.count(s)) {
            ++g_failed_calls;
            errno = EIO;
            return -1;
        }
    }
    return ::pread(fd, buf, count, off_t(offset));
}

std::vector<uint64_t> g_offsets;
void on_found(void *, r_info *info) { g_offsets.push_back(info->offset); }

uint64_t test_probe(recovery_state *, search_spec_entry *, const unsigned char *data, int32_t available, uint64_t,
                    uint64_t, int32_t *found) {
    if (available < 3 || data[2] != 'Y') return 0;
    *found = 1;
    return 512;
}

class BadSectors : public ::testing::Test {
protected:
    void SetUp() override {
        saved_probe_ = register_probe(lmr::row_key("exe"), test_probe);
        saved_read_ = set_input_pread(failing_pread);
        set_callbacks(nullptr, on_found, nullptr, nullptr);
        is_formated = 1;
        g_offsets.clear();
        g_bad.clear();
        g_failed_calls = 0;
    }
    void TearDown() override {
        register_probe(lmr::row_key("exe"), saved_probe_);
        set_input_pread(saved_read_);
        set_callbacks(nullptr, nullptr, nullptr, nullptr);
        is_formated = 0;
    }
    probe_fn saved_probe_;
    input_pread_fn saved_read_;
};

TEST_F(BadSectors, OnlyTheFailingSectorsAreLost) {
    const size_t W = LMR_SCAN_BUFFER_SIZE;
    Bytes img(W + 64 * 1024, 0);
    std::vector<uint64_t> planted;
    for (uint64_t at = 0; at + 512 <= img.size(); at += 4096) {
        memcpy(&img[at], "MZY", 3);
        planted.push_back(at);
    }
    // One bad sector holding a file, one between files, one in the second window.
    g_bad = {8, 20, (W + 8192) / 512};
    TempFile f(img, "badsec");
    start_recovery2(f.path().c_str(), "exe", "", 0);

    EXPECT_EQ(get_last_run_unreadable_sectors(), 3u);
    EXPECT_GT(g_failed_calls, 0);
    std::vector<uint64_t> expected;
    for (uint64_t at : planted)
        if (at != 8 * 512 && at != W + 8192) expected.push_back(at);
    EXPECT_EQ(g_offsets, expected);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
}

// A JPEG whose last 16 KiB and more lie in a 64 KiB unreadable run, and
// an MP4 right after the run.  Read as zeros, the run would let the JPEG's
// end-marker search (or, in a deep scan, its walk of the entropy-coded
// data) go on into the MP4, which holds an FF D9.
void picture_ending_in_unreadable_sectors() {
    Bytes jpg = read_file(data_path("image/jfif_baseline.jpg"));
    Bytes mp4 = read_file(data_path("media/moov_first.mp4"));
    ASSERT_GT(jpg.size(), 16384u + 4096u);
    ASSERT_FALSE(mp4.empty());
    const uint64_t jpg_at = 4096;
    const uint64_t run_at = (jpg_at + jpg.size() - 16384) / 512 * 512;
    const uint64_t run_len = 65536;
    const uint64_t mp4_at = run_at + run_len;
    Bytes img = random_bytes(mp4_at + mp4.size() + 8192, 3);
    for (uint64_t at = 0; at < img.size(); at += 512) img[at] = 0;  // no signature at a block start
    std::copy(jpg.begin(), jpg.end(), img.begin() + jpg_at);
    std::copy(mp4.begin(), mp4.end(), img.begin() + mp4_at);
    for (uint64_t s = run_at / 512; s < (run_at + run_len) / 512; ++s) g_bad.insert(s);
    TempFile f(img, "badsec");

    static std::vector<std::pair<uint64_t, uint64_t>> finds;
    finds.clear();
    set_callbacks(nullptr, [](void *, r_info *i) { finds.push_back({i->offset, i->length}); }, nullptr, nullptr);
    DiagCapture diag;
    start_recovery2(f.path().c_str(), "jpg,mp4", "", 0);

    EXPECT_EQ(get_last_run_unreadable_sectors(), run_len / 512);
    // The picture ends where the unreadable run begins; the MP4 is whole.
    std::vector<std::pair<uint64_t, uint64_t>> want = {{jpg_at, run_at - jpg_at}, {mp4_at, mp4.size()}};
    EXPECT_EQ(finds, want);
    EXPECT_TRUE(diag.has("[jpg] end unreadable: cut at " + std::to_string(run_at - jpg_at) + " bytes"))
        << diag.text();
    TempFile out({}, "badsec-mp4");
    ASSERT_EQ(general_file_export(f.path().c_str(), mp4_at, mp4.size(), out.path().c_str()), 0);
    EXPECT_EQ(read_file(out.path()), mp4);
}

TEST_F(BadSectors, PictureEndingInUnreadableSectorsDoesNotHideTheNextFile) { picture_ending_in_unreadable_sectors(); }

TEST_F(BadSectors, PictureEndingInUnreadableSectorsInADeepScan) {
    DeepScan deep;
    picture_ending_in_unreadable_sectors();
}

TEST_F(BadSectors, RangeReadZeroesAndCountsUnreadableSectors) {
    Bytes data(8192);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (unsigned char)(i | 1);
    TempFile f(data);
    FILE *file = fopen(f.path().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    g_bad = {2, 3};
    std::vector<unsigned char> buf(8000, 0xEE);
    uint64_t bad = 0;
    // From an unaligned offset to beyond the end of the input.
    EXPECT_EQ(read_input_range(file, 700, buf.data(), 8000, &bad), 8192u - 700u);
    EXPECT_EQ(bad, 2u);
    for (size_t i = 0; i < 8192 - 700; ++i) {
        uint64_t abs = 700 + i;
        unsigned char want = (abs / 512 == 2 || abs / 512 == 3) ? 0 : data[abs];
        ASSERT_EQ(buf[i], want) << "at " << abs;
    }
    fclose(file);
}

}  // namespace
