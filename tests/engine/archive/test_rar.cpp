// RAR 4 archives written by tests/fixtures/make_rar4.py (all list cleanly
// with bsdtar): the block walk, the end search and the size bounds.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace lmrtest;

namespace {

struct Outcome {
    bool found;
    uint64_t length;
};

Outcome probe_rar_in(const Bytes &input, size_t offset = 0, size_t in_memory = SIZE_MAX) {
    TempFile f(input, "rar");
    ProbeRun run(f.path(), "rar");
    auto r = run.probe(input, offset, in_memory);
    return {r.found == 1, r.length};
}

Bytes fixture(const char *name) {
    Bytes b = read_file(data_path(std::string("archive/") + name));
    EXPECT_FALSE(b.empty()) << name;
    return b;
}

Bytes in_volume(const Bytes &file, size_t before, size_t after, unsigned char fill) {
    Bytes out(before, fill);
    out.insert(out.end(), file.begin(), file.end());
    out.insert(out.end(), after, fill);
    return out;
}

// Offset of the first file header block of a fixture.
constexpr size_t k_first_file_header = 7 + 13;

}  // namespace

TEST(RarProbe, StoredArchivesEndAtTheirEndBlock) {
    for (const char *name : {"rar4_single.rar", "rar4_multi.rar", "rar4_tiny.rar"}) {
        SCOPED_TRACE(name);
        Bytes rar = fixture(name);
        Outcome r = probe_rar_in(in_volume(rar, 2048, 4096, 0x00), 2048);
        EXPECT_TRUE(r.found);
        EXPECT_EQ(r.length, rar.size());
        // The archive as the whole input: it ends where the input ends.
        Outcome bare = probe_rar_in(rar);
        EXPECT_TRUE(bare.found);
        EXPECT_EQ(bare.length, rar.size());
    }
}

TEST(RarProbe, FileHeadersAndDataMustLieInTheScanBuffer) {
    Bytes rar = fixture("rar4_multi.rar");
    Bytes volume = in_volume(rar, 0, 4096, 0x5A);
    // The whole archive is in the chunk, but only 2 KiB are in memory; the
    // first member's 3000 bytes exceed that.
    EXPECT_FALSE(probe_rar_in(volume, 0, 2048).found);
    EXPECT_TRUE(probe_rar_in(volume, 0, rar.size()).found);
}

TEST(RarProbe, CommentBlocks) {
    // A comment right after the standard archive header: the end is the
    // first run of eight zero bytes, searched from just before the file
    // header's type byte.
    Bytes first = fixture("rar4_comment_first.rar");
    Outcome r = probe_rar_in(in_volume(first, 0, 4096, 0x00));
    EXPECT_TRUE(r.found);
    // The end block's last byte (its size field's high half) is zero, so
    // the run starts there.
    EXPECT_EQ(r.length, first.size() - 1 + 8);

    // No zero run within the type's size limit: nothing is found.
    Bytes no_zeros = in_volume(first, 0, 4096, 0x33);
    EXPECT_FALSE(probe_rar_in(no_zeros).found);

    // A comment between the files and the end block stops the walk.
    EXPECT_FALSE(probe_rar_in(in_volume(fixture("rar4_comment_before_end.rar"), 0, 4096, 0x00)).found);
}

TEST(RarProbe, SizeFieldsOutOfBoundsAreRefused) {
    Bytes rar = fixture("rar4_single.rar");
    const size_t fh = k_first_file_header;
    ASSERT_EQ(rar[fh + 2], 0x74);

    // Flag 0x100 with a non-zero high half of the packed size.
    Bytes high = rar;
    high[fh + 4] |= 0x01;
    high[fh + 32] = 1;
    EXPECT_FALSE(probe_rar_in(in_volume(high, 0, 4096, 0)).found);
    // The flag with a zero high half changes nothing.
    Bytes high0 = rar;
    high0[fh + 4] |= 0x01;
    std::fill(high0.begin() + fh + 32, high0.begin() + fh + 36, 0);
    EXPECT_TRUE(probe_rar_in(in_volume(high0, 0, 4096, 0)).found);

    // Unpacked size of 2^31, or a header size of zero.
    Bytes unpacked = rar;
    unpacked[fh + 14] = 0x80;
    EXPECT_FALSE(probe_rar_in(in_volume(unpacked, 0, 4096, 0)).found);
    Bytes zero_header = rar;
    zero_header[fh + 5] = 0;
    zero_header[fh + 6] = 0;
    EXPECT_FALSE(probe_rar_in(in_volume(zero_header, 0, 4096, 0)).found);

    // Not an archive header after the marker, or a cut-off archive.
    Bytes no_main = rar;
    no_main[7 + 2] = 0x74;
    EXPECT_FALSE(probe_rar_in(no_main).found);
    Bytes cut(rar.begin(), rar.end() - 100);
    EXPECT_FALSE(probe_rar_in(cut).found);
    Bytes tiny(rar.begin(), rar.begin() + 24);
    EXPECT_FALSE(probe_rar_in(tiny).found);
}
