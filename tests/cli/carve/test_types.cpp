// lumarek-carve's file types: the groups and their default, the order of a
// list, and where the engine's diagnostic lines go.
#include "cli_test_support.h"
#include "engine/archive/zip_writer.h"
#include "engine/compound/ole_writer.h"
#include "recovery/suffixutils.h"
#include "support/qt_files.h"
#include "support/test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using namespace clitest;

namespace {

QByteArray bytesOf(const lmrtest::Bytes &b) { return QByteArray(reinterpret_cast<const char *>(b.data()), int(b.size())); }
QByteArray sample(const char *name) { return lmrtest::testData(name); }

// A plain volume of zeros with each file at its offset.
QString writeVolume(const QTemporaryDir &dir, const std::map<int, QByteArray> &files) {
    const QString path = dir.filePath("volume.img");
    return lmrtest::writeBytes(path, lmrtest::volumeOf(files)) ? path : QString();
}

std::map<quint64, QString> suffixesByOffset(const QString &out) {
    std::map<quint64, QString> m;
    for (const Find &f : findLines(out)) m[f.offset] = f.suffix;
    return m;
}

// UTF-8 text of `n` bytes or more whose first character is not ASCII, and
// no byte-order mark: with the built-in rules only a text scan finds it.
QByteArray textWithoutMark(int n) {
    QByteArray t;
    while (t.size() < n) t += QString::fromUtf8("Žluťoučký kůň úpěl ďábelské ódy.\n").toUtf8();
    return t;
}

TEST(CarveTypes, TheOrderOfAListDoesNotChangeWhatIsFound) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString volume = writeVolume(dir, {{512, sample("recovery/jpg_jfif_baseline_01.jpg")},
                                             {65536, sample("document/bom_5001.txt")},
                                             {131072, textWithoutMark(6000)}});
    ASSERT_FALSE(volume.isEmpty());

    CarveRun txtFirst = carve({"--whole", "--no-deep", "-t", "txt,jpg", volume});
    CarveRun jpgFirst = carve({"--whole", "--no-deep", "-t", "jpg,txt", volume});
    ASSERT_EQ(txtFirst.exitCode, 0) << txtFirst.err.toStdString();
    ASSERT_EQ(jpgFirst.exitCode, 0) << jpgFirst.err.toStdString();
    const std::map<quint64, QString> expected = {{512, "jpg"}, {65536, "txt"}};
    EXPECT_EQ(suffixesByOffset(txtFirst.out), expected) << txtFirst.out.toStdString();
    EXPECT_EQ(suffixesByOffset(jpgFirst.out), expected) << jpgFirst.out.toStdString();
    // A group holding txt is no text scan either.
    EXPECT_EQ(suffixesByOffset(carve({"--whole", "--no-deep", "-t", "txt,images", volume}).out), expected);
    // A deep scan finds text at a block where no signature stands, in
    // either order.
    const std::map<quint64, QString> deep = {{512, "jpg"}, {65536, "txt"}, {131072, "txt"}};
    EXPECT_EQ(suffixesByOffset(carve({"--whole", "-t", "txt,jpg", volume}).out), deep);
    EXPECT_EQ(suffixesByOffset(carve({"--whole", "-t", "jpg,txt", volume}).out), deep);

    // txt alone scans in text mode: the text without a mark is found too,
    // and nothing else is looked for.
    CarveRun textMode = carve({"--whole", "-t", "txt", volume});
    ASSERT_EQ(textMode.exitCode, 0) << textMode.err.toStdString();
    EXPECT_EQ(suffixesByOffset(textMode.out), (std::map<quint64, QString>{{65536, "txt"}, {131072, "txt"}}))
        << textMode.out.toStdString();
}

TEST(CarveTypes, AllIsTheDefaultAndHoldsEveryTypeThatCanBeFound) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The types the desktop program's "all" leaves out, and a picture.
    const std::map<int, QByteArray> files = {
        {0, sample("recovery/jpg_jfif_baseline_01.jpg")},
        {1 << 16, sample("image/palette.bmp")},
        {2 << 16, sample("document/p1024.sqlite")},
        {3 << 16, sample("document/bom_5001.txt")},
        {4 << 16, sample("media/wmv2_wma2.wmv")},
        {5 << 16, bytesOf(lmrtest::make_zip({{"snote/snote.xml", "<n/>", ""}, {"snote/media/a.jpg", "x", ""}}))},
        {6 << 16, bytesOf(lmrtest::make_ole({{"Contents", 2, 100}}).bytes)},
    };
    const QString volume = writeVolume(dir, files);
    ASSERT_FALSE(volume.isEmpty());
    CarveRun r = carve({"--whole", volume});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const std::map<quint64, QString> expected = {{0, "jpg"},       {1 << 16, "bmp"}, {2 << 16, "sqlite"}, {3 << 16, "txt"},
                                                 {4 << 16, "wmv"}, {5 << 16, "snb"}, {6 << 16, "ole"}};
    EXPECT_EQ(suffixesByOffset(r.out), expected) << r.out.toStdString();
    EXPECT_EQ(suffixesByOffset(carve({"--whole", "-t", "all", volume}).out), expected);

    // --help and the README list each group with its members, as the list
    // of file types has them; "all" adds the types in no other group.
    CarveRun help = carve({"--help"});
    ASSERT_EQ(help.exitCode, 0);
    QFile readmeFile(QStringLiteral(LUMAREK_SOURCE_DIR "/README.md"));
    ASSERT_TRUE(readmeFile.open(QIODevice::ReadOnly));
    const QString readme = QString::fromUtf8(readmeFile.readAll());
    QStringList grouped;
    for (const QString &g : ScanGroups::names()) {
        if (g == "all") continue;
        const QString members = ScanGroups::members(g).join(' ');
        grouped << ScanGroups::members(g);
        EXPECT_TRUE(help.out.contains(QStringLiteral("  %1 %2\n").arg(g, -10).arg(members)))
            << g.toStdString() << "\n" << help.out.toStdString();
        EXPECT_TRUE(readme.contains(QStringLiteral("| `%1` | %2 |").arg(g, members))) << g.toStdString();
    }
    QStringList rest = ScanGroups::members("all");
    for (const QString &n : grouped) rest.removeAll(n);
    EXPECT_TRUE(help.out.contains(QStringLiteral("  all        every type above, and %1 (the default)").arg(rest.join(' '))))
        << help.out.toStdString();
    EXPECT_TRUE(readme.contains(QStringLiteral("| `all` (the default) | every type above, and %1 |").arg(rest.join(' '))));
    EXPECT_TRUE(help.out.contains("-t txt alone scans in text mode")) << help.out.toStdString();
    EXPECT_FALSE(help.out.contains("exe")) << help.out.toStdString();

    // A type that is searched for but never reported is taken, with a word.
    CarveRun exe = carve({"--whole", "-t", "exe,jpg", volume});
    EXPECT_EQ(exe.exitCode, 0);
    EXPECT_TRUE(exe.err.contains("warning: exe: searched for, but no find is ever reported")) << exe.err.toStdString();
    EXPECT_EQ(suffixesByOffset(exe.out), (std::map<quint64, QString>{{0, "jpg"}}));
}

TEST(CarveDiagnostics, EngineLinesOnlyWhenAskedFor) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString volume = writeVolume(dir, {{512, sample("recovery/jpg_jfif_baseline_01.jpg")}});
    ASSERT_FALSE(volume.isEmpty());
    auto engineLines = [](const QString &text) { return text.contains("start_recovery2") || text.contains("Start to search"); };

    // By default: the finds and the summary, and not one line of the engine.
    CarveRun quiet = carve({"--whole", "-t", "jpg", volume});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err.toStdString();
    EXPECT_EQ(findLines(quiet.out).size(), 1);
    EXPECT_TRUE(quiet.err.isEmpty()) << quiet.err.toStdString();
    EXPECT_FALSE(engineLines(quiet.out));

    // -v: on standard error, still not among the finds.
    for (const char *verbose : {"-v", "--verbose"}) {
        CarveRun loud = carve({"--whole", verbose, "-t", "jpg", volume});
        ASSERT_EQ(loud.exitCode, 0) << loud.err.toStdString();
        EXPECT_TRUE(engineLines(loud.err)) << loud.err.toStdString();
        EXPECT_FALSE(engineLines(loud.out));
        EXPECT_EQ(findLines(loud.out).size(), 1);
    }

    // --log: into the file only, -v or not.
    const QString log = dir.filePath("engine.log");
    CarveRun logged = carve({"--whole", "-v", "--log", log, "-t", "jpg", volume});
    ASSERT_EQ(logged.exitCode, 0) << logged.err.toStdString();
    EXPECT_TRUE(logged.err.isEmpty()) << logged.err.toStdString();
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(engineLines(QString::fromUtf8(f.readAll())));

    // --version has only its long form now that -v is taken.
    CarveRun version = carve({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("lumarek-carve ")) << version.out.toStdString();
}

}  // namespace
