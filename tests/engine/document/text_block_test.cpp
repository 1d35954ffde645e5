// The test the deep scan puts to a block where no signature stands: text of
// every UTF-8 form starts a candidate, and bytes text cannot start with do
// not, whichever of the first bytes they stand at.
#include "engine/file_types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The block's first bytes: `head`, then letters up to the bytes tested.
bool starts_text(const std::string &head) {
    unsigned char p[lmr::k_fallback_reach];
    memset(p, 'a', sizeof p);
    memcpy(p, head.data(), head.size() < sizeof p ? head.size() : sizeof p);
    const bool text = lmr::text_block_start(p);
    // What the scan decides most blocks by never contradicts it.
    if (text) {
        EXPECT_TRUE(lmr::text_block_pair(p[0], p[1])) << "pair test refuses a text start";
    }
    return text;
}

TEST(DeepTextBlockStart, EveryFormOfCharacterStartsAText) {
    const std::string texts[] = {
        "Dear all,",         "\t\r\n\f line",       "\xC3\xA9t\xC3\xA9",  // two-byte characters
        "\xE0\xA0\x80",      "\xED\x9F\xBF",        "\xEF\xBF\xBD",       // three bytes, at their bounds
        "\xF0\x90\x80\x80",  "\xF3\xBF\xBF\xBF",    "\xF4\x8F\xBF\xBF",   // four bytes, at their bounds
        std::string("ab\0", 3),                                          // a short text ended by zeros
        std::string("a\xC3\xA9\0", 4),
        std::string(15, 'x') + "\xE2",                                  // a character cut by the bytes tested
    };
    for (const std::string &t : texts) EXPECT_TRUE(starts_text(t)) << t;
}

TEST(DeepTextBlockStart, BytesThatCannotBeTextEndTheTest) {
    const std::string others[] = {
        std::string("\0a", 2), std::string("a\0", 2),             // a NUL before two bytes of text
        "\x80",          "\xC0\x80",      "\xC1\xBF",             // no character starts so
        "\xE0\x9F\x80",  "\xED\xA0\x80",  "\xF0\x8F\x80\x80",     // overlong, a surrogate
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",           // past U+10FFFF
        "a\x01",         "ab\x7F",        "abc\x1B",              // control bytes in the first four
        std::string("\xE2\x82\0", 3),    std::string("abc\xC3\0", 5),  // a NUL within a character
        "abcdefg\x80",                                            // further on
    };
    for (const std::string &t : others) EXPECT_FALSE(starts_text(t)) << t;
}

}  // namespace
