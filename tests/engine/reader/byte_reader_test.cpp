// The probe byte reader: memory head first, then refills from the input
// through the reader's own handle, bounded by the stream window.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

using lmrtest::Bytes;
using lmrtest::TempFile;
using lmrtest::random_bytes;

namespace {

// A reader on `path` from `base`, `limit` bytes long, with `head` served
// from memory first.  Frees reader and handle when it goes.
struct Reader {
    std::string path;
    stream s{};
    bs *r = nullptr;
    Reader(const std::string &input, uint64_t base, uint64_t limit, uint32_t capacity = 1024,
           const unsigned char *head = nullptr, uint64_t head_len = 0)
        : path(input) {
        s.path = path.c_str();
        s.base = base;
        s.limit = limit;
        stream_init(&s);
        r = bs_init(&s, capacity);
        bs_set_data(r, head, head_len);
    }
    ~Reader() { bs_free(r); }
    Bytes read(uint32_t n) {
        Bytes out(n);
        out.resize(bs_read(r, out.data(), n));
        return out;
    }
    Bytes peek(uint32_t n) {
        Bytes out(n);
        out.resize(bs_peek(r, out.data(), n));
        return out;
    }
};

Bytes slice(const Bytes &b, size_t from, size_t n) {
    if (from >= b.size()) return {};
    return Bytes(b.begin() + from, b.begin() + std::min(b.size(), from + n));
}

class ByteReader : public ::testing::Test {
protected:
    Bytes file = random_bytes(100000, 11);
    TempFile tmp{file};
};

TEST_F(ByteReader, HeadThenFileContinueAtTheHeadsEnd) {
    // The head holds different bytes from the file, so the test can tell
    // where each delivered byte came from.
    Bytes head(100, 0xAB);
    Reader rd(tmp.path(), 5000, 50000, 1024, head.data(), head.size());
    Bytes got = rd.read(150);
    ASSERT_EQ(got.size(), 150u);
    EXPECT_EQ(slice(got, 0, 100), head);
    EXPECT_EQ(slice(got, 100, 50), slice(file, 5100, 50));
    EXPECT_EQ(bs_tell(rd.r), 150u);
    // Across several refills and an exact fit at the buffer's end.
    EXPECT_EQ(rd.read(1024 - 50), slice(file, 5150, 974));
    EXPECT_EQ(rd.read(3000), slice(file, 6124, 3000));
}

TEST_F(ByteReader, ReaderWithoutHeadOpensTheInputLazily) {
    Reader rd(tmp.path(), 0, file.size(), 64);
    EXPECT_EQ(rd.s.file, nullptr);
    EXPECT_EQ(rd.read(10), slice(file, 0, 10));
    EXPECT_NE(rd.s.file, nullptr);
    Bytes head(20, 1);
    Reader mem(tmp.path(), 0, file.size(), 64, head.data(), head.size());
    mem.read(20);
    EXPECT_EQ(mem.s.file, nullptr) << "a read within the head must not open the input";
}

TEST_F(ByteReader, PeekThenReadDeliverTheSameBytes) {
    Bytes head = slice(file, 300, 40);
    Reader rd(tmp.path(), 300, 60000, 128, head.data(), head.size());
    for (uint32_t n : {10u, 50u, 200u, 127u, 1u, 3000u}) {
        uint64_t at = bs_tell(rd.r);
        Bytes p = rd.peek(n);
        EXPECT_EQ(bs_tell(rd.r), at);
        EXPECT_EQ(rd.read(n), p) << "count " << n;
        EXPECT_EQ(p, slice(file, 300 + at, n));
    }
}

TEST_F(ByteReader, SkipWithinAndBeyondTheBuffer) {
    Bytes head = slice(file, 0, 100);
    Reader rd(tmp.path(), 0, file.size(), 256, head.data(), head.size());
    bs_skip(rd.r, 30);  // inside the head
    EXPECT_EQ(rd.read(10), slice(file, 30, 10));
    bs_skip(rd.r, 5000);  // far past head and buffer
    EXPECT_EQ(bs_tell(rd.r), 5040u);
    EXPECT_EQ(rd.read(300), slice(file, 5040, 300));
    bs_skip(rd.r, 10);  // inside the refilled buffer
    EXPECT_EQ(rd.read(20), slice(file, 5350, 20));
    bs_skip(rd.r, 200);  // past the buffer's end
    EXPECT_EQ(rd.read(20), slice(file, 5570, 20));
}

TEST_F(ByteReader, LimitBoundsHeadAndFileReads) {
    Reader rd(tmp.path(), 1000, 700, 256);
    bs_skip(rd.r, 600);
    EXPECT_EQ(rd.read(500), slice(file, 1600, 100));
    EXPECT_TRUE(rd.read(1).empty());
    EXPECT_TRUE(rd.peek(1).empty());

    // A head longer than the window is cut at the limit.
    Reader mem(tmp.path(), 0, 50, 256, file.data(), 4000);
    EXPECT_EQ(mem.read(200), slice(file, 0, 50));

    // Near the end of the input the read is short too.
    Reader tail(tmp.path(), file.size() - 10, 1000, 256);
    EXPECT_EQ(tail.read(100), slice(file, file.size() - 10, 10));
}

TEST_F(ByteReader, MissingInputGivesShortReadsAfterTheHead) {
    Bytes head(16, 7);
    Reader rd("/nonexistent/lumarek/input", 0, 1000, 64, head.data(), head.size());
    EXPECT_EQ(rd.read(40), head);
    EXPECT_TRUE(rd.read(4).empty());
    bs *lone = bs_init(nullptr, 16);
    unsigned char b[4];
    EXPECT_EQ(bs_read(lone, b, 4), 0u);
    bs_free(lone);
    bs_free(nullptr);
}

// Random sequences of reads, peeks, skips and resets against a plain model
// of the window, with buffer sizes and head lengths around the boundaries.
TEST_F(ByteReader, RandomOperationsMatchAModel) {
    std::mt19937 rng(5);
    for (int round = 0; round < 300; ++round) {
        uint64_t base = rng() % 20000;
        uint64_t limit = rng() % 30000;
        uint32_t capacity = 1 + rng() % 300;
        size_t head_len = std::min<size_t>(rng() % 600, limit + 50);
        Bytes head = random_bytes(head_len, 1000 + round);
        // What the window holds: the head over the file's bytes.
        Bytes model = slice(file, base, limit);
        for (size_t i = 0; i < head_len && i < model.size(); ++i) model[i] = head[i];

        Reader rd(tmp.path(), base, limit, capacity, head.data(), head.size());
        uint64_t pos = 0;
        for (int op = 0; op < 40; ++op) {
            uint32_t n = rng() % 700;
            switch (rng() % 5) {
            case 0:
            case 1: {
                Bytes got = rd.read(n);
                ASSERT_EQ(got, slice(model, pos, n)) << "round " << round << " op " << op;
                pos += got.size();
                if (got.size() < n && pos < model.size()) FAIL() << "short read inside the window";
                break;
            }
            case 2:
                ASSERT_EQ(rd.peek(n), slice(model, pos, n)) << "round " << round << " op " << op;
                break;
            case 3:
                bs_skip(rd.r, n);
                pos += n;
                break;
            case 4:
                if (rng() % 4 == 0) {
                    bs_reset(rd.r);
                    pos = 0;
                }
                break;
            }
            ASSERT_EQ(bs_tell(rd.r), pos);
        }
    }
}

// Footer search.
class FooterSearch : public ByteReader {
protected:
    const unsigned char footer[4] = {0x11, 0xEE, 0x22, 0xDD};
    int32_t table[256];
    void SetUp() override {
        init_bm_table(footer, table, 4, 1, 0);
        // Remove every accidental occurrence, then plant the ones a test needs.
        for (size_t i = 0; i + 4 <= file.size(); ++i)
            if (memcmp(file.data() + i, footer, 4) == 0) file[i] = 0;
    }
    void plant(size_t at) { memcpy(file.data() + at, footer, 4); }
    struct Hit {
        int32_t found;
        uint64_t value;
        uint64_t after;  // reader position afterwards
    };
    Hit search(uint64_t base, uint64_t max, size_t head_len = 0, uint64_t start = 0) {
        TempFile f(file);
        Reader rd(f.path(), base, file.size() - base, 1024, file.data() + base, head_len);
        bs_skip(rd.r, start);
        int32_t found = 0;
        uint64_t v = bs_search(rd.r, footer, 4, max, table, 1, &found);
        return {found, v, bs_tell(rd.r)};
    }
};

TEST_F(FooterSearch, FindsTheFirstMatchAndStandsOnIt) {
    plant(3000);
    plant(9000);
    for (size_t head : {size_t(0), size_t(100), size_t(20000)}) {
        Hit h = search(1000, 1 << 20, head, 50);
        EXPECT_EQ(h.found, 1);
        EXPECT_EQ(h.value, 3000u - 1000 - 50 + 4) << "head " << head;
        EXPECT_EQ(h.after, 2000u) << "head " << head;
    }
}

TEST_F(FooterSearch, MatchStraddlingAWindowBoundary) {
    // The first window covers stream bytes 0..10239; the footer starts two
    // bytes before its end, and in a later window boundary too.
    const Bytes clean = file;
    for (size_t at : {size_t(10237), size_t(10238), size_t(10240 + 10236 - 1)}) {
        file = clean;
        plant(at);
        for (size_t head : {size_t(0), size_t(15000)}) {
            Hit h = search(0, 1 << 20, head);
            EXPECT_EQ(h.found, 1) << "at " << at;
            EXPECT_EQ(h.value, at + 4) << "at " << at;
            EXPECT_EQ(h.after, at) << "at " << at << ", head " << head;
        }
    }
}

TEST_F(FooterSearch, BoundedByMaxSize) {
    plant(50000);
    Hit miss = search(0, 50003);
    EXPECT_EQ(miss.found, 0);
    Hit hit = search(0, 50004);
    EXPECT_EQ(hit.found, 1);
    EXPECT_EQ(hit.value, 50004u);
    // A bound far below a window's size also holds.
    plant(500);
    EXPECT_EQ(search(0, 100).found, 0);
    EXPECT_EQ(search(0, 504).found, 1);
}

TEST_F(FooterSearch, NoMatchBeforeTheDataEnds) {
    Hit h = search(0, 1 << 30);
    EXPECT_EQ(h.found, 0);
    // A footer cut by the end of the window is not a match.
    plant(file.size() - 4);
    TempFile f(file);
    Reader rd(f.path(), 0, file.size() - 1, 1024);
    int32_t found = 0;
    bs_search(rd.r, footer, 4, 1 << 30, table, 1, &found);
    EXPECT_EQ(found, 0);
}

TEST(ByteOrder, ConversionsAndHelpers) {
    const unsigned char b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(htos(b, 1), 0x0201u);
    EXPECT_EQ(htos(b, 0), 0x0102u);
    EXPECT_EQ(htoi(b, 1), 0x04030201u);
    EXPECT_EQ(htoi(b, 0), 0x01020304u);
    EXPECT_EQ(htoll(b, 1), 0x0807060504030201ull);
    EXPECT_EQ(htoll(b, 0), 0x0102030405060708ull);
    const unsigned char hi[4] = {0xFF, 0xFE, 0x80, 0x81};
    EXPECT_EQ(htoi(hi, 0), 0xFFFE8081u);  // no sign extension

    EXPECT_EQ(adjust_bs(1000, 512), 1024u);
    EXPECT_EQ(adjust_bs(1024, 512), 1024u);
    EXPECT_EQ(adjust_bs(0, 512), 0u);

    char out[8] = "-------";
    reverse_string(out, "abcdefg", 2, 5);
    EXPECT_STREQ(out, "--edc--");
    reverse_string(out, "xyz", 3, 3);
    EXPECT_STREQ(out, "--edc--");
}

}  // namespace
