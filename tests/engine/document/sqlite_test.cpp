// SQLite probe: the in-header page count, the page walk when that count is
// not vouched for, and page sizes.
#include "../media/probe_helpers.h"

using namespace lmrtest;

namespace {

ProbeRun::Result probe_db(const Bytes &input, size_t in_memory = 200) {
    DiagCapture quiet;
    return probe_once(input, "sqlite", in_memory);
}

void put32(Bytes &b, size_t at, uint32_t v) {
    b[at] = uint8_t(v >> 24), b[at + 1] = uint8_t(v >> 16), b[at + 2] = uint8_t(v >> 8), b[at + 3] = uint8_t(v);
}

// The in-header page count no longer vouched for (a writer of old).
Bytes stale_count(Bytes db) {
    put32(db, 92, 0x7777);
    return db;
}

}  // namespace

TEST(SqliteProbe, ValidHeaderCountCoversOverflowAndFreeListPages) {
    for (const char *name : {"document/p1024.sqlite", "document/p4096.sqlite", "document/p65536.sqlite"}) {
        Bytes db = sample(name);
        Bytes input = db;
        append(input, random_bytes(70000, 6));
        DiagCapture diag;
        auto r = probe_once(input, "sqlite", 200);
        EXPECT_EQ(1, r.found) << name;
        EXPECT_EQ(db.size(), r.length) << name;
        unsigned page = unsigned(db[16]) << 8 | db[17];
        if (page == 1) page = 65536;
        EXPECT_TRUE(diag.has("find a sqlite file, page size: " + std::to_string(page) +
                             ", pages: " + std::to_string(db.size() / page)))
            << name;
    }
}

TEST(SqliteProbe, ValidCountBeyondTheChunkIsNotFound) {
    Bytes db = sample("document/p4096.sqlite");
    db.resize(db.size() - 4096);
    EXPECT_EQ(0, probe_db(db).found);
}

TEST(SqliteProbe, WalkWithoutAValidCount) {
    // Page 2 is a b-tree page, page 3 an overflow page: two pages.
    Bytes db = sample("document/p1024.sqlite");
    ASSERT_EQ(0x05, db[1024]);
    ASSERT_EQ(0x00, db[2048]);
    auto r = probe_db(stale_count(db));
    EXPECT_EQ(1, r.found);
    EXPECT_EQ(2048u, r.length);

    // Counter zero does not vouch either.
    Bytes zero = db;
    put32(zero, 24, 0);
    put32(zero, 92, 0);
    EXPECT_EQ(2048u, probe_db(zero).length);

    // All pages b-tree pages up to the chunk's end: no end seen, no find.
    Bytes big = sample("document/p65536.sqlite");
    Bytes two(big.begin(), big.begin() + 2 * 65536);
    ASSERT_EQ(0x0D, two[65536]);
    EXPECT_EQ(0, probe_db(stale_count(two)).found);
}

TEST(SqliteProbe, HeaderRejections) {
    Bytes db = sample("document/p1024.sqlite");
    auto with_page_field = [&](uint16_t v) {
        Bytes b = db;
        b[16] = uint8_t(v >> 8), b[17] = uint8_t(v);
        return b;
    };
    EXPECT_EQ(0, probe_db(with_page_field(0)).found);
    EXPECT_EQ(0, probe_db(with_page_field(1000)).found);
    EXPECT_EQ(0, probe_db(with_page_field(256)).found);

    Bytes not_btree = db;
    not_btree[100] = 0x00;
    EXPECT_EQ(0, probe_db(not_btree).found);

    Bytes header_only(db.begin(), db.begin() + 100);
    EXPECT_EQ(0, probe_db(header_only).found);
}
