// Export and read of a find made of several byte runs.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <vector>

using namespace lmrtest;

namespace {

// The runs' bytes of `src`, one after the other.
Bytes assembled(const Bytes &src, const std::vector<r_run> &runs) {
    Bytes out;
    for (const r_run &r : runs) out.insert(out.end(), src.begin() + long(r.offset), src.begin() + long(r.offset + r.length));
    return out;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Three runs out of image order, of odd lengths at odd offsets: the file
// is 700 + 1001 + 333 bytes.
const std::vector<r_run> kRuns = {{5000, 700}, {1234, 1001}, {8000, 333}};

TEST(ReadRuns, ReadsTheAssembledFileFromAnyByte) {
    const Bytes src = pattern_bytes(10000);
    TempFile in(src);
    const Bytes file = assembled(src, kRuns);
    ASSERT_EQ(file.size(), 2034u);
    auto read = [&](uint64_t at, int32_t n, std::vector<r_run> runs = kRuns) {
        Bytes buf(size_t(n > 0 ? n : 1), 0xEE);
        int got = general_file_read_runs(in.path().c_str(), runs.data(), int32_t(runs.size()), at, n, buf.data());
        buf.resize(size_t(got > 0 ? got : 0));
        return buf;
    };
    auto expect = [&](uint64_t at, size_t n) { return Bytes(file.begin() + long(at), file.begin() + long(at + n)); };

    EXPECT_EQ(read(0, 2034), file);
    EXPECT_EQ(read(900, 200), expect(900, 200));    // within run 2
    EXPECT_EQ(read(650, 100), expect(650, 100));    // run 1 into run 2
    EXPECT_EQ(read(10, 2000), expect(10, 2000));    // across both boundaries
    EXPECT_EQ(read(1701, 5), expect(1701, 5));      // first byte of run 3
    EXPECT_EQ(read(1700, 1), expect(1700, 1));      // last byte of run 2
    // Past the end: what there is, then nothing.
    EXPECT_EQ(read(2000, 100), expect(2000, 34));
    EXPECT_TRUE(read(2034, 10).empty());
    EXPECT_TRUE(read(~0ull - 3, 10).empty());
    // A run of no bytes between two others changes nothing.
    EXPECT_EQ(read(650, 100, {{5000, 700}, {3000, 0}, {1234, 1001}, {8000, 333}}), expect(650, 100));

    Bytes buf(16);
    EXPECT_EQ(general_file_read_runs(in.path().c_str(), kRuns.data(), 0, 0, 16, buf.data()), 0);
    EXPECT_EQ(general_file_read_runs(in.path().c_str(), nullptr, 3, 0, 16, buf.data()), 0);
    EXPECT_EQ(general_file_read_runs(in.path().c_str(), kRuns.data(), 3, 0, 0, buf.data()), 0);
    EXPECT_EQ(general_file_read_runs(in.path().c_str(), kRuns.data(), 3, 0, -1, buf.data()), 0);
    EXPECT_EQ(general_file_read_runs("/nonexistent-src-lmr", kRuns.data(), 3, 0, 16, buf.data()), 0);
}

TEST(ReadRuns, ARunPastTheEndOfTheInputEndsTheRead) {
    const Bytes src = pattern_bytes(10000);
    TempFile in(src);
    // Run 2 has 100 bytes left in the input, run 3 none.
    const std::vector<r_run> runs = {{0, 50}, {9900, 200}, {20000, 50}};
    Bytes buf(300, 0);
    EXPECT_EQ(general_file_read_runs(in.path().c_str(), runs.data(), 3, 0, 300, buf.data()), 150);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 50, src.begin()));
    EXPECT_TRUE(std::equal(buf.begin() + 50, buf.begin() + 150, src.begin() + 9900));
}

TEST(ExportRuns, WritesTheAssembledFile) {
    const Bytes src = pattern_bytes(10000);
    TempFile in(src);
    TempFile out(Bytes{9, 9, 9});  // an existing file is replaced
    ASSERT_EQ(general_file_export_runs(in.path().c_str(), kRuns.data(), int32_t(kRuns.size()), out.path().c_str()), 0);
    EXPECT_EQ(read_file(out.path()), assembled(src, kRuns));

    // Runs larger than the copy piece, starting and ending inside pieces.
    const Bytes big = pattern_bytes((3u << 20) + 777);
    TempFile bigIn(big);
    const std::vector<r_run> bigRuns = {{(2u << 20) + 5, (1u << 20) + 11}, {3, (1u << 20) + 1}, {(1u << 20) + 9, 17}};
    TempFile bigOut;
    ASSERT_EQ(general_file_export_runs(bigIn.path().c_str(), bigRuns.data(), 3, bigOut.path().c_str()), 0);
    EXPECT_TRUE(read_file(bigOut.path()) == assembled(big, bigRuns));
}

TEST(ExportRuns, FailuresAreReported) {
    const Bytes src = pattern_bytes(10000);
    TempFile in(src);
    // A folder that does not exist, and one that cannot be written.
    const std::string missing = "/nonexistent-folder-lmr/out.bin";
    EXPECT_EQ(general_file_export_runs(in.path().c_str(), kRuns.data(), 3, missing.c_str()), 2);
    EXPECT_FALSE(exists(missing));
    {
        TempDir ro("lmr-ro");
        const std::string locked = ro.at("out.bin");
        ASSERT_EQ(chmod(ro.path().c_str(), 0500), 0);
        if (geteuid() != 0) {  // root writes anywhere
            EXPECT_EQ(general_file_export_runs(in.path().c_str(), kRuns.data(), 3, locked.c_str()), 2);
            EXPECT_FALSE(exists(locked));
        }
        chmod(ro.path().c_str(), 0700);
    }
    // A "folder" that is a file: no one, root included, can write in it.
    TempFile plain(Bytes{1});
    const std::string inFile = plain.path() + "/out.bin";
    EXPECT_EQ(general_file_export_runs(in.path().c_str(), kRuns.data(), 3, inFile.c_str()), 2);
    EXPECT_EQ(read_file(plain.path()), Bytes{1});

    TempFile out;
    EXPECT_EQ(general_file_export_runs("/nonexistent-src-lmr", kRuns.data(), 3, out.path().c_str()), 1);
    EXPECT_EQ(general_file_export_runs(in.path().c_str(), kRuns.data(), 0, out.path().c_str()), 1);
    EXPECT_EQ(general_file_export_runs(in.path().c_str(), nullptr, 3, out.path().c_str()), 1);
    // The last run runs past the end of the input: a failed copy.
    const std::vector<r_run> cut = {{0, 50}, {9900, 200}};
    EXPECT_EQ(general_file_export_runs(in.path().c_str(), cut.data(), 2, out.path().c_str()), 1);
}

}  // namespace
