// Finds in several byte runs in lumarek-carve: the find line keeps its four
// columns and is followed by the runs, the export is the assembled file,
// and the DFXML report lists every run.  The engine's scan does not make
// such finds by itself yet, so a probe of the test reports them through the
// engine's runs callback, and the program's session code runs in-process
// the way main() drives it.
#include "cli/carve_session.h"
#include "cli/cli_test_support.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QMap>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

using namespace clitest;

namespace {

const int kJpgKey = 0;

// The JPEG sample (38898 bytes) in three pieces, the second first in the
// volume, and whole once more at 65536.
const std::vector<r_run> kRuns = {{20480, 10000}, {4096, 15000}, {45056, 13898}};
const uint64_t kWholeAt = 65536;

uint64_t runsProbe(recovery_state *state, search_spec_entry *entry, const unsigned char *, int32_t, uint64_t offset,
                   uint64_t, int32_t *found) {
    *found = 0;
    if (offset != kRuns.front().offset) return 0;
    r_info info{};
    info.offset = kRuns.front().offset;
    for (const r_run &r : kRuns) info.length += r.length;
    std::strncpy(info.path, state->InputFile, sizeof info.path - 1);
    std::strncpy(info.suffix, entry->suffix, sizeof info.suffix - 1);
    if (recovered_runs_call) recovered_runs_call(obj, &info, kRuns.data(), int32_t(kRuns.size()));
    info.offset = kWholeAt;
    info.length = 38898;
    recovered_callback(&info);
    return 0;
}

template <typename F>
std::string stdoutOf(F body) {
    fflush(stdout);
    FILE *capture = tmpfile();
    if (!capture) return std::string();
    int saved = dup(1);
    dup2(fileno(capture), 1);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(capture);
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, capture)) > 0;) text.append(buf, n);
    fclose(capture);
    return text;
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
    int argc = 1;
    char name[] = "test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

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
    DeviceManager::setCurrentDevice(&device);
    EngineControl::setWholeInput(true);
    probe_fn saved = register_probe(kJpgKey, runsProbe);
    lmrtest::DiagCapture quiet;
    CarveSession session(out.path(), false);
    const std::string lines = stdoutOf([&] {
        FileRecovery recovery;
        recovery.setRecoveryCallback(&session);
        recovery.setThumbnails(false);
        recovery.startGroup(QStringList{QStringLiteral("jpg")});
        recovery.finishValidation(-1);
    });
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

    const std::string summary = stdoutOf([&] { session.printSummary(false, 0); });
    EXPECT_NE(summary.find("\nin several pieces: 1 (their runs follow their lines)\n"), std::string::npos) << summary;

    ReportHeader h;
    h.program = QStringLiteral("lumarek-carve");
    h.imageFilename = QString::fromStdString(image.path());
    h.outcome = QStringLiteral("scanned");
    const QString reportPath = out.filePath("report.xml");
    QString error;
    ASSERT_TRUE(writeDfxmlReport(reportPath, h, session.files(), &error)) << error.toStdString();
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
