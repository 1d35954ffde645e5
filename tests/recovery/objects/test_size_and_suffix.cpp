// Size texts and suffix classes.
#include "recovery/suffixutils.h"

#include <gtest/gtest.h>

TEST(FormatSize, UnitsAndRounding) {
    const struct {
        qint64 size;
        const char *text;
    } cases[] = {
        {0, "0B"},
        {-5, "0B"},
        {1, "1.00B"},
        {512, "512.00B"},
        {1023, "1023.00B"},
        {1024, "1.00KB"},
        {1536, "1.50KB"},
        {1048575, "1024.00KB"},
        {1048576, "1.00MB"},
        {1073741823, "1024.00MB"},
        {qint64(1) << 30, "1.00GB"},
        {qint64(5) << 40, "5120.00GB"},
    };
    for (const auto &c : cases) EXPECT_EQ(Utils::formatSize(c.size).toStdString(), c.text) << c.size;
}

TEST(SuffixClasses, ExactLowerCaseMatches) {
    EXPECT_TRUE(SuffixUtils::isImageSuffix("jpg"));
    EXPECT_FALSE(SuffixUtils::isImageSuffix("JPG"));
    EXPECT_FALSE(SuffixUtils::isImageSuffix(".jpg"));
    EXPECT_FALSE(SuffixUtils::isImageSuffix(""));
    EXPECT_TRUE(SuffixUtils::isImageSuffix("bmp"));

    EXPECT_TRUE(SuffixUtils::isCompressedSuffix("gz"));
    EXPECT_TRUE(SuffixUtils::isVideoSuffix("3gp"));
    EXPECT_TRUE(SuffixUtils::isVideoSuffix("3gpp"));
    EXPECT_TRUE(SuffixUtils::isAudioSuffix("amr"));
    EXPECT_FALSE(SuffixUtils::isVideoSuffix("amr"));
    EXPECT_TRUE(SuffixUtils::isDocumentSuffix("txt"));
    EXPECT_FALSE(SuffixUtils::isDocumentSuffix("sqlite"));
}
