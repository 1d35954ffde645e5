// Size texts, suffix classes and the file groups.
#include "recovery/filerecovery.h"
#include "recovery/suffixutils.h"

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

TEST(SuffixClasses, EachClassIsItsFixedList) {
    // Every name the engine knows, and some it does not.
    const QStringList names = QStringLiteral(
        "jpg,png,gif,bmp,jpeg,docx,pptx,xlsx,doc,ppt,xls,pdf,sqlite,txt,apk,exe,zip,rar,gzip,gz,mp4,avi,mov,3gp,wmv,"
        "mpg,mpeg,3gpp,mp3,amr,wav,wma,snb,ole,rif,sxw,sxc,sxi,htm,html,cpp,elf,reg,wpd,heic,avif,cr3,m4a,ogg,opus,"
        "oga,flac,mkv,webm,aac,rtf")
                                  .split(',');
    const struct {
        std::function<bool(QString)> test;
        const char *members;
    } classes[] = {
        {SuffixUtils::isVideoSuffix, "mp4,avi,mpg,mov,3gp,wmv,3gpp,mkv,webm"},
        {SuffixUtils::isAudioSuffix, "mp3,wav,wma,amr,m4a,ogg,opus,oga,flac,aac"},
        {SuffixUtils::isImageSuffix, "jpg,png,gif,jpeg,bmp,heic,avif,cr3"},
        {SuffixUtils::isCompressedSuffix, "zip,gzip,rar,gz"},
        {SuffixUtils::isDocumentSuffix, "pdf,txt,doc,docx,xls,xlsx,ppt,pptx,htm,html"},
    };
    for (const auto &c : classes) {
        const QStringList members = QString::fromLatin1(c.members).split(',');
        for (const QString &n : names) EXPECT_EQ(c.test(n), members.contains(n)) << c.members << ": " << n.toStdString();
    }
    // The types found in deep mode only are sorted by their row's class.
    for (const char *n : {"webp", "tif", "cr2", "nef", "arw", "dng", "orf", "rw2", "pef"})
        EXPECT_TRUE(SuffixUtils::isImageSuffix(n)) << n;
    for (const char *n : {"7z", "tar.gz", "tar"}) EXPECT_TRUE(SuffixUtils::isCompressedSuffix(n)) << n;
    for (const char *n : {"xml", "json", "csv", "eml"}) EXPECT_TRUE(SuffixUtils::isDocumentSuffix(n)) << n;
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
    EXPECT_EQ(ScanGroups::members("images"),
              QString("jpg,png,gif,bmp,webp,tif,cr2,nef,arw,dng,orf,rw2,pef,heic,avif,cr3").split(','));
    EXPECT_EQ(ScanGroups::members("documents"),
              QString("docx,pptx,xlsx,doc,ppt,xls,pdf,sqlite,txt,html,xml,json,csv,eml").split(','));
    EXPECT_EQ(ScanGroups::members("media"),
              QString("mp4,avi,mov,3gp,wmv,mp3,amr,wav,m4a,ogg,opus,oga,flac,mkv,webm,aac").split(','));
    EXPECT_EQ(ScanGroups::members("archives"), QString("zip,rar,gz,7z,tar.gz,tar").split(','));
    const QStringList all = ScanGroups::members("all");
    QStringList rest = all;
    for (const char *g : {"images", "documents", "media", "archives"})
        for (const QString &n : ScanGroups::members(g)) {
            EXPECT_TRUE(all.contains(n)) << n.toStdString();
            rest.removeAll(n);
        }
    EXPECT_EQ(rest, (QStringList{"apk", "snb", "ole"}));
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
