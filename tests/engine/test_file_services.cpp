// Export and read of a byte range, and progress arithmetic.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace lmrtest;

namespace {

Bytes pattern_bytes(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (unsigned char)(i * 7 + i / 251);
    return b;
}

TEST(Export, CopiesExactBytesFromAnyOffset) {
    Bytes src = pattern_bytes(10000);
    TempFile in(src);
    TempFile out;
    ASSERT_EQ(general_file_export(in.path().c_str(), 777, 3001, out.path().c_str()), 0);
    Bytes got = read_file(out.path());
    EXPECT_EQ(got, Bytes(src.begin() + 777, src.begin() + 3778));
}

TEST(Export, ZeroLengthMakesAnEmptyFile) {
    TempFile in(pattern_bytes(100));
    TempFile out(Bytes{1, 2, 3});
    ASSERT_EQ(general_file_export(in.path().c_str(), 10, 0, out.path().c_str()), 0);
    EXPECT_TRUE(read_file(out.path()).empty());
}

TEST(Export, FailuresAreReportedAndLeaveNoFile) {
    TempFile in(pattern_bytes(100));
    const std::string dst = "/nonexistent-folder-lmr/out.bin";
    EXPECT_EQ(general_file_export(in.path().c_str(), 0, 10, dst.c_str()), 2);
    struct stat st;
    EXPECT_NE(stat(dst.c_str(), &st), 0);
    TempFile out;
    EXPECT_EQ(general_file_export("/nonexistent-src-lmr", 0, 10, out.path().c_str()), 1);
    // A range that runs past the end of the source is a failed copy.
    EXPECT_EQ(general_file_export(in.path().c_str(), 50, 100, out.path().c_str()), 1);
}

TEST(Export, LargeRangesCopyWholeAcrossPieces) {
    // Not a multiple of any piece size, from an odd offset.
    Bytes src = pattern_bytes((5u << 20) + 4321);
    TempFile in(src);
    TempFile out;
    ASSERT_EQ(general_file_export(in.path().c_str(), 999, src.size() - 2000, out.path().c_str()), 0);
    EXPECT_TRUE(read_file(out.path()) == Bytes(src.begin() + 999, src.end() - 1001));
}

TEST(Export, AFileSizeLimitFailsTheExportAndNotTheProcess) {
    Bytes src = pattern_bytes(3u << 20);
    TempFile in(src);
    TempFile big;
    TempFile small;
    // In a child, so that the limit stays there.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit lim = {1u << 20, 1u << 20};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(10);
        errno = 0;
        int status = general_file_export(in.path().c_str(), 0, src.size(), big.path().c_str());
        if (status != 3) _exit(11);
        if (errno != EFBIG) _exit(12);
        struct stat st;
        if (stat(big.path().c_str(), &st) == 0) _exit(13);  // nothing partial stays
        // The next export within the limit works.
        if (general_file_export(in.path().c_str(), 0, 1000, small.path().c_str()) != 0) _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(read_file(small.path()) == Bytes(src.begin(), src.begin() + 1000));
}

TEST(Read, ShortAtTheEndAndZeroOnFailure) {
    Bytes src = pattern_bytes(1000);
    TempFile in(src);
    std::vector<unsigned char> buf(600);
    EXPECT_EQ(general_file_read(in.path().c_str(), 513, 300, buf.data()), 300);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 300, src.begin() + 513));
    EXPECT_EQ(general_file_read(in.path().c_str(), 900, 600, buf.data()), 100);
    EXPECT_EQ(general_file_read("/nonexistent-src-lmr", 0, 10, buf.data()), 0);
    EXPECT_EQ(general_file_read(in.path().c_str(), 0, -5, buf.data()), 0);
}

struct ProgressLog {
    std::vector<float> percents;
    std::vector<std::pair<unsigned long long, unsigned long long>> proceeds;
    static void on_progress(void *ctx, float p) { static_cast<ProgressLog *>(ctx)->percents.push_back(p); }
    static void on_proceed(void *ctx, unsigned long long a, unsigned long long b) {
        static_cast<ProgressLog *>(ctx)->proceeds.emplace_back(a, b);
    }
};

TEST(Progress, ThrottledToHundredthsAndCapped) {
    ProgressLog log;
    set_callbacks(&log, nullptr, &ProgressLog::on_progress, &ProgressLog::on_proceed);
    update_progress(0, 1);  // known starting point
    log.percents.clear();

    update_proceed(5, 0);  // unknown total: no percentage
    EXPECT_TRUE(log.percents.empty());
    ASSERT_EQ(log.proceeds.size(), 1u);
    EXPECT_EQ(log.proceeds[0], std::make_pair(5ull, 0ull));

    update_proceed(100, 1000000);  // 0.01 %
    update_proceed(199, 1000000);  // still 0.01 %
    EXPECT_EQ(log.percents.size(), 1u);
    EXPECT_EQ(log.proceeds.size(), 3u);
    EXPECT_FLOAT_EQ(log.percents[0], 0.01f);

    update_proceed(3000, 1000);  // past the end
    EXPECT_FLOAT_EQ(log.percents.back(), 100.0f);
    update_proceed(~0ull, ~0ull - 1);  // no overflow in the arithmetic
    EXPECT_FLOAT_EQ(log.percents.back(), 100.0f);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
}

}  // namespace
