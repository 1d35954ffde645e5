// Unreadable sectors: the scan loses only them, counts them, and keeps
// every reported offset exact.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
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
        saved_probe_ = register_probe(26, test_probe);
        saved_read_ = set_input_pread(failing_pread);
        set_callbacks(nullptr, on_found, nullptr, nullptr);
        is_formated = 1;
        g_offsets.clear();
        g_bad.clear();
        g_failed_calls = 0;
    }
    void TearDown() override {
        register_probe(26, saved_probe_);
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
