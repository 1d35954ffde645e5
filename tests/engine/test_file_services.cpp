// Export and read of a byte range, and progress arithmetic.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace lmrtest;

namespace {

// The pattern of these tests.
Bytes src_bytes(size_t n) { return pattern_bytes(n, 7, 251); }

TEST(Export, CopiesExactBytesFromAnyOffset) {
    Bytes src = src_bytes(10000);
    TempFile in(src);
    TempFile out;
    ASSERT_EQ(general_file_export(in.path().c_str(), 777, 3001, out.path().c_str()), 0);
    Bytes got = read_file(out.path());
    EXPECT_EQ(got, Bytes(src.begin() + 777, src.begin() + 3778));
}

TEST(Export, ZeroLengthMakesAnEmptyFile) {
    TempFile in(src_bytes(100));
    TempFile out(Bytes{1, 2, 3});
    ASSERT_EQ(general_file_export(in.path().c_str(), 10, 0, out.path().c_str()), 0);
    EXPECT_TRUE(read_file(out.path()).empty());
}

TEST(Export, FailuresAreReportedAndLeaveNoFile) {
    TempFile in(src_bytes(100));
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
    Bytes src = src_bytes((5u << 20) + 4321);
    TempFile in(src);
    TempFile out;
    ASSERT_EQ(general_file_export(in.path().c_str(), 999, src.size() - 2000, out.path().c_str()), 0);
    EXPECT_TRUE(read_file(out.path()) == Bytes(src.begin() + 999, src.end() - 1001));
}

TEST(Export, AFileSizeLimitFailsTheExportAndNotTheProcess) {
    Bytes src = src_bytes(3u << 20);
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

void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
}

std::string text_of(const std::string &path) {
    Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

// Exports `length` bytes at `offset` of `src` into `dir` as `name`; the name
// written, or "" on failure (status in *status).
std::string export_as(const std::string &src, uint64_t offset, uint64_t length, const std::string &dir,
                      const std::string &name, int *status = nullptr, unsigned char *sha = nullptr) {
    const r_run run{offset, length};
    char written[256] = "unchanged";
    int st = general_file_export_into(src.c_str(), &run, 1, dir.c_str(), name.c_str(), written, sizeof written, sha);
    if (status) *status = st;
    return st == 0 ? std::string(written) : std::string();
}

std::string hex(const unsigned char *d, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 15];
    }
    return out;
}

// Each case twice: with the anonymous temporary file, and with the named
// one that file systems without anonymous files get.
class ExportInto : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { saved_ = set_export_named_temp(GetParam()); }
    void TearDown() override { set_export_named_temp(saved_); }
    int saved_ = 0;
};

INSTANTIATE_TEST_SUITE_P(TempFile, ExportInto, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "Named" : "Anonymous"; });

TEST_P(ExportInto, NeverReplacesOrFollowsWhatIsInTheFolder) {
    Bytes src = src_bytes(5000);
    TempFile in(src);
    TempDir out;
    TempDir elsewhere;  // stands for any file outside the output folder
    ASSERT_FALSE(out.path().empty());
    ASSERT_FALSE(elsewhere.path().empty());
    const Bytes want(src.begin() + 100, src.begin() + 1100);

    // An earlier recovery of the same name keeps its bytes; the new find
    // takes the next free name, and so does the one after it.
    write_file(out.at("IMG_1.jpg"), "earlier recovery");
    write_file(out.at("IMG_1 (1).jpg"), "and another");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "IMG_1.jpg"), "IMG_1 (2).jpg");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "IMG_1.jpg"), "IMG_1 (3).jpg");
    EXPECT_EQ(text_of(out.at("IMG_1.jpg")), "earlier recovery");
    EXPECT_EQ(text_of(out.at("IMG_1 (1).jpg")), "and another");
    EXPECT_TRUE(read_file(out.at("IMG_1 (3).jpg")) == want);
    // A name without a suffix, and one whose only dot leads it.
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "plain"), "plain");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "plain"), "plain (1)");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), ".hidden"), ".hidden");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), ".hidden"), ".hidden (1)");

    // Links at the final name, to a file and to nowhere, and links (soft
    // and hard) at the name the temporary copy once had: nothing outside
    // the folder is written or made.
    const std::string victim = elsewhere.at("victim");
    write_file(victim, "outside the folder");
    ASSERT_EQ(symlink(victim.c_str(), out.at("a.pdf").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.at("made-through-link").c_str(), out.at("b.pdf").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), out.at("c.pdf.part").c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), out.at("d.pdf.part").c_str()), 0);
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "a.pdf"), "a (1).pdf");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "b.pdf"), "b (1).pdf");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "c.pdf"), "c.pdf");
    EXPECT_EQ(export_as(in.path(), 100, 1000, out.path(), "d.pdf"), "d.pdf");
    EXPECT_EQ(text_of(victim), "outside the folder");
    EXPECT_EQ(elsewhere.entries(), std::set<std::string>{"victim"});
    EXPECT_TRUE(read_file(out.at("a (1).pdf")) == want);
    EXPECT_TRUE(read_file(out.at("d.pdf")) == want);

    // No temporary file stays behind, after successes and failures alike.
    int status = -1;
    EXPECT_EQ(export_as(in.path(), 4500, 1000, out.path(), "short.bin", &status), "");  // past the end
    EXPECT_EQ(status, 1);
    for (const char *bad : {"", ".", "..", "../escape.jpg", "sub/x.jpg"}) {
        EXPECT_EQ(export_as(in.path(), 0, 10, out.path(), bad, &status), "") << bad;
        EXPECT_EQ(status, 2) << bad;
    }
    EXPECT_EQ(export_as(in.path(), 0, 10, out.at("missing"), "x.jpg", &status), "");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out.entries(), (std::set<std::string>{"IMG_1.jpg", "IMG_1 (1).jpg", "IMG_1 (2).jpg", "IMG_1 (3).jpg",
                                                    "plain", "plain (1)", ".hidden", ".hidden (1)", "a.pdf", "b.pdf",
                                                    "c.pdf.part", "d.pdf.part", "a (1).pdf", "b (1).pdf", "c.pdf",
                                                    "d.pdf"}));
}

TEST(ExportIntoBytes, HashesTheBytesItCopiesOnlyWhenAsked) {
    Bytes src = src_bytes((3u << 20) + 77);  // several copy pieces
    TempFile in(src);
    TempDir out;
    unsigned char sha[32];
    memset(sha, 0, sizeof sha);
    ASSERT_EQ(export_as(in.path(), 5, src.size() - 5, out.path(), "f.bin", nullptr, sha), "f.bin");
    const std::string expected = run("sha256sum '" + out.at("f.bin") + "'").substr(0, 64);
    EXPECT_EQ(hex(sha, 32), expected);
    EXPECT_TRUE(read_file(out.at("f.bin")) == Bytes(src.begin() + 5, src.end()));

    // A find in runs: the digest is of the runs' bytes one after the other.
    const r_run runs[] = {{4000, 100}, {10, 50}};
    char written[64];
    ASSERT_EQ(general_file_export_into(in.path().c_str(), runs, 2, out.path().c_str(), "r.bin", written,
                                       sizeof written, sha),
              0);
    Bytes joined(src.begin() + 4000, src.begin() + 4100);
    joined.insert(joined.end(), src.begin() + 10, src.begin() + 60);
    EXPECT_TRUE(read_file(out.at("r.bin")) == joined);
    EXPECT_EQ(hex(sha, 32), run("sha256sum '" + out.at("r.bin") + "'").substr(0, 64));
}

TEST_P(ExportInto, WritersIntoOneFolderAtOnceKeepTheirOwnFiles) {
    // Each writer exports its own bytes under the same names; every file it
    // is told it wrote holds its bytes, and no file is lost or shared.
    constexpr int kWriters = 4, kEach = 40;
    std::vector<Bytes> sources;
    std::vector<std::unique_ptr<TempFile>> inputs;
    for (int w = 0; w < kWriters; ++w) {
        sources.push_back(random_bytes(3000 + size_t(w), uint32_t(w + 1)));
        inputs.push_back(std::make_unique<TempFile>(sources.back()));
    }
    TempDir out;
    std::vector<std::vector<std::string>> names(kWriters);
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                const std::string got =
                    export_as(inputs[size_t(w)]->path(), 0, sources[size_t(w)].size(), out.path(),
                              "IMG_1" + std::to_string(i % 4) + ".jpg");
                if (got.empty()) ++failures;
                names[size_t(w)].push_back(got);
            }
        });
    for (std::thread &t : writers) t.join();
    EXPECT_EQ(failures.load(), 0);
    std::set<std::string> all;
    for (int w = 0; w < kWriters; ++w)
        for (const std::string &n : names[size_t(w)]) {
            EXPECT_TRUE(all.insert(n).second) << n << " was given twice";
            EXPECT_TRUE(read_file(out.at(n)) == sources[size_t(w)]) << n;
        }
    EXPECT_EQ(out.entries(), all);
}

// Reads that fail on one sector of the input, as a disk with a bad sector.
std::atomic<uint64_t> g_bad_sector{0};
int64_t pread_with_bad_sector(int fd, void *buf, uint64_t count, uint64_t offset) {
    const uint64_t bad = g_bad_sector.load() * 512;
    if (offset < bad + 512 && offset + count > bad) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buf, size_t(count), off_t(offset));
}

TEST(ExportIntoBytes, OnlyAFindWhoseOwnBytesAreUnreadableFails) {
    // A find ending a few hundred bytes before a bad sector, as a PDF at
    // 937984 of 6947 bytes with the sector at 945152 bad.
    Bytes src = src_bytes(1u << 20);
    TempFile in(src);
    TempDir out;
    g_bad_sector = 945152 / 512;
    input_pread_fn saved = set_input_pread(pread_with_bad_sector);
    int status = -1;
    EXPECT_EQ(export_as(in.path(), 937984, 6947, out.path(), "file937984.pdf", &status), "file937984.pdf");
    TempFile legacy;
    const int legacyStatus = general_file_export(in.path().c_str(), 937984, 6947, legacy.path().c_str());
    std::vector<unsigned char> buf(6947);
    const int readBack = general_file_read(in.path().c_str(), 937984, 6947, buf.data());
    // One byte into the bad sector: that find's own bytes are unreadable.
    EXPECT_EQ(export_as(in.path(), 937984, 945152 - 937984 + 1, out.path(), "bad.pdf", &status), "");
    EXPECT_EQ(status, 1);
    set_input_pread(saved);

    const Bytes want(src.begin() + 937984, src.begin() + 937984 + 6947);
    EXPECT_TRUE(read_file(out.at("file937984.pdf")) == want);
    EXPECT_EQ(legacyStatus, 0);
    EXPECT_TRUE(read_file(legacy.path()) == want);
    EXPECT_EQ(readBack, 6947);
    EXPECT_EQ(out.entries(), std::set<std::string>{"file937984.pdf"});
}

TEST(Read, ShortAtTheEndAndZeroOnFailure) {
    Bytes src = src_bytes(1000);
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
