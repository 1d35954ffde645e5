// Size texts, suffix classes and the file groups.
#include "recovery/filerecovery.h"
#include "recovery/suffixutils.h"

#include "engine/file_types.h"

#include <gtest/gtest.h>

#include <functional>

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

TEST(SuffixClasses, EachTypeIsInTheClassOfItsRowAndNoOther) {
    const struct {
        std::function<bool(QString)> test;
        lmr::category cat;
    } classes[] = {
        {SuffixUtils::isVideoSuffix, lmr::category::video},
        {SuffixUtils::isAudioSuffix, lmr::category::audio},
        {SuffixUtils::isImageSuffix, lmr::category::image},
        {SuffixUtils::isCompressedSuffix, lmr::category::archive},
        {SuffixUtils::isDocumentSuffix, lmr::category::document},
    };
    for (const lmr::file_type &t : lmr::k_file_types)
        for (const auto &c : classes) EXPECT_EQ(c.test(t.name), t.cat == c.cat) << t.name;
    // Names the list of file types does not hold are in no class.
    for (const char *n : {"rtf", "office", "jpg,png", "tar.", "mp"})
        for (const auto &c : classes) EXPECT_FALSE(c.test(n)) << n;
}

// The desktop program's groups are fixed values that its window repeats, so
// they are pinned here as they are.  Unlike the carver's groups they name
// a type nothing reports: exe (no probe follows its signature); gzip is
// another spelling of gz, found in deep mode only.  They stay for the
// window's sake; any other name in them must be one a scan can report.
TEST(Groups, DesktopStringsKeepTheirValues) {
    EXPECT_EQ(IMAGE_SUFFIXES, "jpg,png,gif");
    EXPECT_EQ(DOCUMENT_SUFFIXES, "docx,pptx,xlsx,doc,ppt,xls,pdf");
    EXPECT_EQ(PROGRAM_SUFFIXES, "apk,exe");
    EXPECT_EQ(ARCHIVE_SUFFIXES, "zip,rar,gzip");
    EXPECT_EQ(VIDEO_SUFFIXES, "mp4,avi,mov,3gp");
    EXPECT_EQ(AUDIO_SUFFIXES, "mp3,amr,wav");
    EXPECT_EQ(MEDIA_SUFFIXES, "mp4,avi,mov,3gp,mp3,amr,wav");
    EXPECT_EQ(ALL_SUFFIXES, "jpg,png,gif,docx,pptx,xlsx,doc,ppt,xls,pdf,mp4,avi,mov,3gp,mp3,amr,wav,apk,exe,zip,rar,gzip");
    QStringList neverFound;
    for (const QString &n : ALL_SUFFIXES.split(',')) {
        EXPECT_TRUE(EngineControl::knowsType(n)) << n.toStdString();
        if (!ScanGroups::findable(n)) neverFound << n;
    }
    // gzip, another spelling of gz, is found in deep mode.
    EXPECT_EQ(neverFound, (QStringList{"exe"}));
}

TEST(Groups, CarverGroupsHoldEveryTypeThatCanBeFound) {
    EXPECT_EQ(ScanGroups::names(), (QStringList{"images", "documents", "media", "archives", "all"}));
    // Each group holds the types its column of the list names, in the
    // list's order, and only those a find can be reported as.
    const struct {
        const char *group;
        uint8_t bit;
    } groups[] = {{"images", lmr::cli_images},
                  {"documents", lmr::cli_documents},
                  {"media", lmr::cli_media},
                  {"archives", lmr::cli_archives}};
    for (const auto &g : groups) {
        QStringList expected;
        for (const lmr::file_type &t : lmr::k_file_types)
            if (t.reported && (t.cli & g.bit)) expected << t.name;
        EXPECT_FALSE(expected.isEmpty()) << g.group;
        EXPECT_EQ(ScanGroups::members(g.group), expected) << g.group;
    }
    const QStringList all = ScanGroups::members("all");
    QStringList rest = all;
    for (const char *g : {"images", "documents", "media", "archives"})
        for (const QString &n : ScanGroups::members(g)) {
            EXPECT_TRUE(all.contains(n)) << n.toStdString();
            rest.removeAll(n);
        }
    // The rest are the reported types of no group: "all" alone has them.
    QStringList ungrouped;
    for (const lmr::file_type &t : lmr::k_file_types)
        if (t.reported && t.cli == 0) ungrouped << t.name;
    EXPECT_EQ(rest, ungrouped);
    for (const QString &n : all) EXPECT_TRUE(ScanGroups::findable(n)) << n.toStdString();
    EXPECT_TRUE(ScanGroups::members("pictures").isEmpty());
    EXPECT_TRUE(ScanGroups::members("ALL").isEmpty());

    // Spellings find what their type finds; signatures without a probe find
    // nothing.
    EXPECT_TRUE(ScanGroups::findable("jpeg"));
    EXPECT_TRUE(ScanGroups::findable("gzip"));
    for (const char *n : {"exe", "mpg", "mpeg", "rif", "sxw", "htm", "3gpp", "nosuchtype", ""})
        EXPECT_FALSE(ScanGroups::findable(n)) << n;
    EXPECT_TRUE(EngineControl::knowsType("office"));
    EXPECT_TRUE(EngineControl::knowsType("mpeg"));
    EXPECT_FALSE(EngineControl::knowsType("3gpp"));
    EXPECT_FALSE(EngineControl::knowsType("jpg,png"));
}
