// Finds in several byte runs in lumarek-carve: the find line keeps its four
// columns and is followed by the runs, the export is the assembled file,
// and the DFXML report lists every run.  A find laid out at will is
// reported by a probe of the test through the engine's runs callback, with
// the program's session code run in-process the way main() drives it; a
// deleted ext2 file with an indirect block goes through the program itself.
#include "cli/carve_session.h"
#include "cli/cli_test_support.h"

#include "engine/file_types.h"
#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "support/test_support.h"

#include <QCryptographicHash>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

using namespace clitest;

namespace {

const int kJpgKey = lmr::row_key("jpg");

// The JPEG sample (38898 bytes) in three pieces, the second first in the
// volume, and whole once more at 65536.
const std::vector<r_run> kRuns = {{20480, 10000}, {4096, 15000}, {45056, 13898}};
const uint64_t kWholeAt = 65536;

uint64_t runsProbe(recovery_state *state, search_spec_entry *entry, const unsigned char *, int32_t, uint64_t offset,
                   uint64_t, int32_t *found) {
    *found = 0;
    if (offset != kRuns.front().offset) return 0;
    find_file_runs(state, entry, kRuns.data(), int32_t(kRuns.size()));
    find_file(state, entry, 38898, kWholeAt);
    return 0;
}

struct ByteRunSeen {
    quint64 fileOffset, imgOffset, len;
    bool operator==(const ByteRunSeen &o) const {
        return fileOffset == o.fileOffset && imgOffset == o.imgOffset && len == o.len;
    }
};

// The byte runs of each file object of a report, by file name.
QMap<QString, QList<ByteRunSeen>> byteRunsOf(const QByteArray &xml) {
    QMap<QString, QList<ByteRunSeen>> runs;
    QXmlStreamReader r(xml);
    QString name;
    while (!r.atEnd()) {
        if (r.readNext() != QXmlStreamReader::StartElement) continue;
        if (r.name() == QLatin1String("filename")) {
            name = r.readElementText();
        } else if (r.name() == QLatin1String("byte_run")) {
            const QXmlStreamAttributes a = r.attributes();
            runs[name].append({a.value("file_offset").toULongLong(), a.value("img_offset").toULongLong(),
                               a.value("len").toULongLong()});
        }
    }
    if (r.hasError()) ADD_FAILURE() << r.errorString().toStdString();
    return runs;
}

}  // namespace

TEST(CarveRuns, TheFindLineTheExportAndTheReportOfAFindInPieces) {
    CoreApp app;

    const lmrtest::Bytes jpg = lmrtest::read_file(lmrtest::data_path("recovery/jpg_jfif_baseline_01.jpg"));
    ASSERT_EQ(jpg.size(), 38898u);
    lmrtest::Bytes vol(128 * 1024);
    for (size_t i = 0; i < vol.size(); ++i) vol[i] = (unsigned char)((i * 37 + 11) & 0x7f);  // no 0xFF
    size_t from = 0;
    for (const r_run &r : kRuns) {
        std::copy(jpg.begin() + long(from), jpg.begin() + long(from + r.length), vol.begin() + long(r.offset));
        from += r.length;
    }
    std::copy(jpg.begin(), jpg.end(), vol.begin() + long(kWholeAt));
    lmrtest::TempFile image(vol, "runs");
    const QByteArray jpgSha =
        QCryptographicHash::hash(QByteArray(reinterpret_cast<const char *>(jpg.data()), int(jpg.size())),
                                 QCryptographicHash::Sha256)
            .toHex();

    QTemporaryDir out;
    Device device;
    device.setDevFile(QString::fromStdString(image.path()));
    device.totalSize = qint64(vol.size());
    EngineControl::setWholeInput(true);
    probe_fn saved = register_probe(kJpgKey, runsProbe);
    lmrtest::DiagCapture quiet;
    CarveSession session(out.path(), false);
    session.setHashExports(true);
    const std::string lines =
        lmrtest::stdoutOf([&] { session.run(&device, QStringList{QStringLiteral("jpg")}, false); });
    register_probe(kJpgKey, saved);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    set_runs_callback(nullptr);
    DeviceManager::setCurrentDevice(nullptr);
    EngineControl::setWholeInput(false);

    // Four columns as ever, the first run's offset and the whole length;
    // the runs, offset+length in file order, on the line after.
    const QString text = QString::fromStdString(lines);
    const QList<Find> finds = findLines(text);
    ASSERT_EQ(finds.size(), 2) << lines;
    EXPECT_EQ(finds[0].offset, 20480u);
    EXPECT_EQ(finds[0].length, 38898u);
    EXPECT_EQ(finds[0].name, QStringLiteral("IMG_120480.jpg"));
    EXPECT_EQ(finds[1].offset, kWholeAt);
    EXPECT_EQ(finds[1].name, QStringLiteral("IMG_165536.jpg"));
    EXPECT_EQ(text,
              QStringLiteral("20480\t38898\tjpg\tIMG_120480.jpg\n"
                             "  runs: 20480+10000 4096+15000 45056+13898\n"
                             "65536\t38898\tjpg\tIMG_165536.jpg\n"));

    // Both exports are the picture, byte for byte.
    EXPECT_EQ(sha256File(out.filePath("IMG_120480.jpg")), jpgSha);
    EXPECT_EQ(sha256File(out.filePath("IMG_165536.jpg")), jpgSha);
    EXPECT_TRUE(session.exportFailures().isEmpty());

    const std::string summary = lmrtest::stdoutOf([&] { session.printSummary(false, 0); });
    EXPECT_NE(summary.find("\nin several pieces: 1 (their runs follow their lines)\n"), std::string::npos) << summary;

    ReportHeader h;
    h.program = QStringLiteral("lumarek-carve");
    h.imageFilename = QString::fromStdString(image.path());
    h.outcome = QStringLiteral("scanned");
    const QString reportPath = out.filePath("report.xml");
    QString error;
    ASSERT_TRUE(writeDfxmlReport(reportPath, h, session.files(), &error)) << error.toStdString();
    EXPECT_EQ(dfxmlProblem(reportPath), QString());
    QFile report(reportPath);
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QByteArray xml = report.readAll();
    const QMap<QString, QList<ByteRunSeen>> runs = byteRunsOf(xml);
    EXPECT_EQ(runs.value("IMG_120480.jpg"),
              (QList<ByteRunSeen>{{0, 20480, 10000}, {10000, 4096, 15000}, {25000, 45056, 13898}}));
    // A find in one range is described as it always was.
    EXPECT_TRUE(xml.contains("    <fileobject>\n"
                             "      <filename>IMG_165536.jpg</filename>\n"
                             "      <filesize>38898</filesize>\n"
                             "      <byte_runs>\n"
                             "        <byte_run file_offset=\"0\" img_offset=\"65536\" len=\"38898\"/>\n"
                             "      </byte_runs>\n"
                             "      <hashdigest type=\"sha256\">" +
                             jpgSha +
                             "</hashdigest>\n"
                             "      <lmr:suffix>jpg</lmr:suffix>\n"
                             "    </fileobject>\n"))
        << xml.toStdString();
}

namespace {

// The listing line of make_ext_volume.sh for `name`: its ranges, in file
// order, as "offset+length" words.
QStringList rangesOf(const QString &listing, const QString &name) {
    for (const QString &line : listing.split(QLatin1Char('\n'))) {
        const QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (f.size() == 4 && f[0] == name) return f[3].split(QLatin1Char(','));
    }
    return {};
}

}  // namespace

TEST(CarveRuns, ADeletedExt2FileWithAnIndirectBlockComesBackWhole) {
    if (QStandardPaths::findExecutable("mke2fs").isEmpty() || QStandardPaths::findExecutable("debugfs").isEmpty())
        GTEST_SKIP() << "e2fsprogs missing (scripts/setup installs it)";
    // 1 KiB blocks: the JPEG's blocks past the 12th follow its indirect
    // block, which is no part of the file; the PNG fits in 10 blocks.
    QTemporaryDir dir;
    const QString jpg = dir.filePath("a.jpg"), png = dir.filePath("b.png"), image = dir.filePath("ext2.img");
    ASSERT_TRUE(QFile::copy(LUMAREK_TEST_DATA "/recovery/jpg_jfif_baseline_01.jpg", jpg));
    ASSERT_TRUE(QFile::copy(LUMAREK_TEST_DATA "/recovery/png_edge_10240.png", png));
    QProcess make;
    make.start(QStringLiteral("bash"), {QStringLiteral(LUMAREK_SOURCE_DIR "/tests/fixtures/make_ext_volume.sh"), "-t",
                                        "ext2", "-b", "1024", "-s", "2048", "-d", "a.jpg", "-d", "b.png", image, jpg, png});
    ASSERT_TRUE(make.waitForFinished(60000));
    ASSERT_EQ(make.exitCode(), 0) << make.readAllStandardError().toStdString();
    const QString listing = QString::fromUtf8(make.readAllStandardOutput());
    const QStringList jpgRanges = rangesOf(listing, "a.jpg"), pngRanges = rangesOf(listing, "b.png");
    ASSERT_EQ(jpgRanges.size(), 2) << listing.toStdString();
    ASSERT_EQ(pngRanges.size(), 1) << listing.toStdString();

    const QString out = dir.filePath("out"), reportPath = dir.filePath("report.xml");
    const CarveRun r = carve({"-t", "jpg,png", "-o", out, "--report", reportPath, image});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QList<Find> finds = findLines(r.out);
    ASSERT_EQ(finds.size(), 2) << r.out.toStdString();
    const Find &pieces = finds[0].suffix == "jpg" ? finds[0] : finds[1];
    const Find &whole = finds[0].suffix == "jpg" ? finds[1] : finds[0];
    EXPECT_EQ(QString::number(pieces.offset), jpgRanges[0].section('+', 0, 0));
    EXPECT_EQ(pieces.length, 38898u);
    EXPECT_TRUE(r.out.contains(QStringLiteral("\t%1\n  runs: %2\n").arg(pieces.name, jpgRanges.join(' '))))
        << r.out.toStdString();
    EXPECT_EQ(QStringLiteral("%1+%2").arg(whole.offset).arg(whole.length), pngRanges[0]);
    EXPECT_FALSE(r.out.contains(QStringLiteral("\t%1\n  runs:").arg(whole.name))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("\nin several pieces: 1 ")) << r.out.toStdString();

    EXPECT_EQ(sha256File(out + "/" + pieces.name), sha256File(jpg));
    EXPECT_EQ(sha256File(out + "/" + whole.name), sha256File(png));

    QFile report(reportPath);
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QMap<QString, QList<ByteRunSeen>> runs = byteRunsOf(report.readAll());
    QList<ByteRunSeen> expected;
    quint64 at = 0;
    for (const QString &range : jpgRanges) {
        const quint64 len = range.section('+', 1, 1).toULongLong();
        expected.append({at, range.section('+', 0, 0).toULongLong(), len});
        at += len;
    }
    EXPECT_EQ(runs.value(pieces.name), expected);
    EXPECT_EQ(runs.value(whole.name), (QList<ByteRunSeen>{{0, whole.offset, whole.length}}));
}
