// Search-table configuration from suffix lists, and the pattern search.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Configured {
    recovery_state state{};
    explicit Configured(const std::string &list) {
        init_state(&state, "/nonexistent");
        set_search_suffix(&state, list.c_str());
    }
    ~Configured() { free(state.InputFile); }
    int count() const { return state.spec_count; }
    std::string suffix(int i) const { return search_spec[i].suffix; }
    std::string requested(int i) const { return search_spec[i].requested; }
    int key(int i) const { return search_spec[i].type_key; }
};

TEST(Configuration, OfficeExpandsToCompoundThenZip) {
    Configured c("office,pdf");
    ASSERT_EQ(c.count(), 3);
    EXPECT_EQ(c.key(0), 15);
    EXPECT_EQ(c.suffix(0), "doc");
    EXPECT_EQ(c.requested(0), "doc,ppt,xls");
    EXPECT_EQ(c.key(1), 9);
    EXPECT_EQ(c.suffix(1), "docx");
    EXPECT_EQ(c.requested(1), "docx,pptx,xlsx");
    EXPECT_EQ(c.key(2), 4);
    ASSERT_EQ(search_spec[2].num_markers, 3);
    EXPECT_EQ(std::string((const char *)search_spec[2].markers[0].value, 3), "obj");
    EXPECT_EQ(std::string((const char *)search_spec[2].markers[1].value, 4), "xref");
    EXPECT_EQ(std::string((const char *)search_spec[2].markers[2].value, 7), "trailer");
}

TEST(Configuration, DocumentGroupKeepsRequestOrder) {
    Configured c("docx,pptx,xlsx,doc,ppt,xls,pdf");
    ASSERT_EQ(c.count(), 3);
    EXPECT_EQ(c.requested(0), "docx,pptx,xlsx");
    EXPECT_EQ(c.suffix(0), "docx");
    EXPECT_EQ(c.requested(1), "doc,ppt,xls");
    EXPECT_EQ(c.suffix(2), "pdf");
}

TEST(Configuration, RepeatsAndAliases) {
    {
        Configured c("jpg,jpeg");
        ASSERT_EQ(c.count(), 1);
        EXPECT_EQ(c.requested(0), "jpg,jpg");
    }
    {
        Configured c("wav");
        ASSERT_EQ(c.count(), 1);
        EXPECT_EQ(c.key(0), 17);
        EXPECT_EQ(c.requested(0), "wav");
        EXPECT_EQ(strstr(search_spec[0].requested, "avi"), nullptr);
    }
    {
        Configured c("gif,gif");  // markers attached once only
        ASSERT_EQ(c.count(), 1);
        EXPECT_EQ(search_spec[0].num_markers, 1);
    }
}

TEST(Configuration, UnknownAndEmptyNamesAreIgnored) {
    Configured c(",bogus,,JPG,apk,exe,");
    ASSERT_EQ(c.count(), 2);
    EXPECT_EQ(c.requested(0), "apk");
    EXPECT_EQ(c.key(1), 26);
    Configured none("nothing,at,all");
    EXPECT_EQ(none.count(), 0);
}

TEST(Configuration, OverlongListStopsAtTheLimit) {
    std::string list = "png";
    while (list.size() < 5000) list += ",bogus";
    list += ",jpg";
    Configured c(list);
    ASSERT_EQ(c.count(), 1);  // the jpg beyond 1023 bytes is not taken
    EXPECT_EQ(c.key(0), 24);
    // Requested names of one type are bounded too.
    std::string many;
    for (int i = 0; i < 300; ++i) many += "doc,";
    Configured d(many);
    ASSERT_EQ(d.count(), 1);
    EXPECT_LT(strlen(search_spec[0].requested), size_t(LMR_SUFFIX_LIST_MAX));
}

TEST(Configuration, BuiltinRowsByIndex) {
    builtin_type sqlite = getInfo(21);
    EXPECT_STREQ(sqlite.name, "sqlite");
    EXPECT_EQ(sqlite.header_len, 16);
    EXPECT_EQ(getInfo(5).type_key, 32);
    EXPECT_EQ(getInfo(23).name, nullptr);
    EXPECT_EQ(getInfo(-1).name, nullptr);
}

class PatternSearch : public ::testing::Test {
protected:
    void SetUp() override { wildcard = '?'; }
    const unsigned char *find(const char *pat, const std::string &data, int cs, int64_t start = -1) {
        int32_t n = int32_t(strlen(pat));
        init_bm_table((const unsigned char *)pat, table, n, cs, 0);
        return bm_search_skipn((const unsigned char *)pat, n, (const unsigned char *)data.data(),
                               int64_t(data.size()), table, cs, 0, start < 0 ? n - 1 : start);
    }
    int32_t table[256];
};

TEST_F(PatternSearch, SkipTableDistances) {
    init_bm_table((const unsigned char *)"abca", table, 4, 1, 0);
    EXPECT_EQ(table['a'], 0);
    EXPECT_EQ(table['c'], 1);
    EXPECT_EQ(table['b'], 2);
    EXPECT_EQ(table['z'], 4);
    init_bm_table((const unsigned char *)"ab?d", table, 4, 1, 0);
    EXPECT_EQ(table['z'], 1);  // capped at the wildcard's distance
    EXPECT_EQ(table['d'], 0);
    init_bm_table((const unsigned char *)"Ab", table, 2, 0, 0);
    EXPECT_EQ(table['a'], 1);
    EXPECT_EQ(table['A'], 1);
}

TEST_F(PatternSearch, FindsFirstOccurrence) {
    std::string d = "xxstartxref yy xref";
    const unsigned char *hit = find("xref", d, 1);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit - (const unsigned char *)d.data(), 7);
    EXPECT_EQ(find("xrefs", d, 1), nullptr);
    // From a later start the second occurrence is found.
    hit = find("xref", d, 1, 14);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit - (const unsigned char *)d.data(), 15);
}

TEST_F(PatternSearch, WildcardAndCaseFolding) {
    std::string d = "...AxC...";
    EXPECT_NE(find("A?C", d, 1), nullptr);
    EXPECT_NE(find("xC?", d, 1), nullptr);  // trailing wildcard: every position compared
    EXPECT_NE(find("<html", "zz<HtMl>", 0), nullptr);
    EXPECT_EQ(find("<html", "zz<HtMl>", 1), nullptr);
    EXPECT_EQ(charactersMatch('[', '{', 0), 0);
    EXPECT_EQ(charactersMatch('a', 'A', 0), 1);
    EXPECT_EQ(charactersMatch('a', 'A', 1), 0);
    EXPECT_EQ(memwildcardcmp((const unsigned char *)"a", (const unsigned char *)"b", 0, 1), 0);
    EXPECT_LT(memwildcardcmp((const unsigned char *)"a", (const unsigned char *)"b", 1, 1), 0);
}

TEST_F(PatternSearch, StartBeyondDataAndDegenerateInput) {
    std::string d = "abcdef";
    EXPECT_EQ(find("ef", d, 1, 6), nullptr);
    EXPECT_EQ(find("ef", d, 1, 600), nullptr);
    EXPECT_EQ(bm_search_skipn(nullptr, 2, (const unsigned char *)d.data(), 6, table, 1, 0, 1), nullptr);
    EXPECT_EQ(bm_search_skipn((const unsigned char *)"a", 0, (const unsigned char *)d.data(), 6, table, 1, 0, 0),
              (const unsigned char *)d.data());
    // A start before the pattern can fit is taken as the first possible one.
    const unsigned char *hit = find("abc", d, 1, 0);
    EXPECT_EQ(hit, (const unsigned char *)d.data());
}

TEST(FsType, NamesToCodes) {
    recovery_state s{};
    auto code = [&](const char *n) {
        set_fs_type(&s, n);
        return s.fs_type;
    };
    EXPECT_EQ(code("fat32"), 1);
    EXPECT_EQ(code("vfat"), 1);
    EXPECT_EQ(code("msdos"), 1);
    EXPECT_EQ(code("FAT32"), 0);
    EXPECT_EQ(code("NTFS"), 0);
    EXPECT_EQ(code("ext4"), 2);
    EXPECT_EQ(code("sdcardfs"), 3);
    EXPECT_EQ(code(""), 0);
    EXPECT_EQ(code(nullptr), 0);
    uint32_t word = 0;
    EXPECT_EQ(get_mode(set_mode(&word, 5), 4), 4u);
}

}  // namespace
