// lumarek-carve end to end on a fixture volume.
#include "cli_test_support.h"
#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace clitest;
using lmrtest::Bytes;

namespace {


// A plain volume (no file system): the sample pictures at sector offsets
// between random bytes.
class CarveFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        const Bytes vol = placedVolume();
        ASSERT_FALSE(vol.empty());
        volume = dir.filePath("volume.img");
        QFile f(volume);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char *>(vol.data()), qint64(vol.size()));
        bytes = vol;
    }
    QByteArray sliceHash(quint64 offset, quint64 length) const {
        return QCryptographicHash::hash(QByteArray(reinterpret_cast<const char *>(bytes.data()) + offset, int(length)),
                                        QCryptographicHash::Sha256)
            .toHex();
    }

    QTemporaryDir dir;
    QString volume;
    Bytes bytes;
};

struct ReportFile {
    QString name;
    quint64 size = 0, imgOffset = 0, len = 0;
    QByteArray sha256;
    QString suffix;
};

// Reads a DFXML report; fails the test when it is not well-formed.
QList<ReportFile> readReport(const QString &path, qint64 *imageSize, QString *program) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    QXmlStreamReader xml(&f);
    QList<ReportFile> files;
    ReportFile cur;
    bool inFile = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const QStringRef n = xml.name();
            if (n == QLatin1String("fileobject")) {
                cur = ReportFile();
                inFile = true;
            } else if (n == QLatin1String("source")) {
                *imageSize = xml.attributes().value(QStringLiteral("urn:lumarek:carve"), QStringLiteral("image_size")).toLongLong();
            } else if (n == QLatin1String("program")) {
                *program = xml.readElementText();
            } else if (inFile && n == QLatin1String("filename")) {
                cur.name = xml.readElementText();
            } else if (inFile && n == QLatin1String("filesize")) {
                cur.size = xml.readElementText().toULongLong();
            } else if (inFile && n == QLatin1String("byte_run")) {
                cur.imgOffset = xml.attributes().value("img_offset").toULongLong();
                cur.len = xml.attributes().value("len").toULongLong();
            } else if (inFile && n == QLatin1String("hashdigest")) {
                EXPECT_EQ(xml.attributes().value("type"), QLatin1String("sha256"));
                cur.sha256 = xml.readElementText().toLatin1();
            } else if (inFile && n == QLatin1String("suffix")) {
                cur.suffix = xml.readElementText();
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("fileobject")) {
            files << cur;
            inFile = false;
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return files;
}

}  // namespace

TEST_F(CarveFixture, ListsExportsAndReportsEveryFind) {
    QString out = dir.filePath("out/nested");  // created by the program
    QString report = dir.filePath("report.xml");
    CarveRun r = carve({"--whole", "-t", "images", "-o", out, "--report", report, volume});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();

    // Standard output holds only find lines and the summary: the engine's
    // diagnostics were not asked for.
    QList<Find> finds = findLines(r.out);
    ASSERT_EQ(finds.size(), 3) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("total")) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("start_recovery2"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(finds[i].offset, kPlaced[i].offset);
        QFileInfo exported(out + "/" + finds[i].name);
        ASSERT_TRUE(exported.exists()) << finds[i].name.toStdString();
        EXPECT_EQ(quint64(exported.size()), finds[i].length);
        EXPECT_EQ(sha256File(exported.filePath()), sliceHash(finds[i].offset, finds[i].length));
    }
    EXPECT_EQ(finds[0].name, "IMG_1512.jpg");

    qint64 imageSize = 0;
    QString program;
    QList<ReportFile> files = readReport(report, &imageSize, &program);
    EXPECT_EQ(program, "lumarek-carve");
    EXPECT_EQ(imageSize, qint64(bytes.size()));
    ASSERT_EQ(files.size(), finds.size());
    for (int i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].name, finds[i].name);
        EXPECT_EQ(files[i].imgOffset, finds[i].offset);
        EXPECT_EQ(files[i].len, finds[i].length);
        EXPECT_EQ(files[i].size, finds[i].length);
        EXPECT_EQ(files[i].suffix, finds[i].suffix);
        EXPECT_EQ(files[i].sha256, sha256File(out + "/" + finds[i].name));
    }

    // Without an output folder nothing is exported and the report carries
    // no digests.
    CarveRun listing = carve({"--whole", "-t", "jpg", "--report", report, volume});
    ASSERT_EQ(listing.exitCode, 0);
    QList<ReportFile> listed = readReport(report, &imageSize, &program);
    ASSERT_EQ(listed.size(), 1);
    EXPECT_TRUE(listed[0].sha256.isEmpty());
}

TEST_F(CarveFixture, ExitCodesNameTheProblem) {
    CarveRun missing = carve({dir.filePath("no-such.img")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.contains("cannot open")) << missing.err.toStdString();
    EXPECT_TRUE(findLines(missing.out).isEmpty());

    CarveRun unknown = carve({"-t", "nosuchtype", volume});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.err.contains("no known file type")) << unknown.err.toStdString();

    CarveRun noInput = carve({"--whole"});
    EXPECT_EQ(noInput.exitCode, 1);

    // A folder where the jpg's file should go stays as it is: the jpg takes
    // the next free name, which the find line gives.
    QString out = dir.filePath("blocked");
    ASSERT_TRUE(QDir().mkpath(out + "/IMG_1512.jpg"));
    CarveRun blocked = carve({"--whole", "-t", "images", "-o", out, volume});
    EXPECT_EQ(blocked.exitCode, 0) << blocked.err.toStdString();
    const QList<Find> finds = findLines(blocked.out);
    ASSERT_EQ(finds.size(), 3);
    EXPECT_EQ(finds[0].name, "IMG_1512 (1).jpg");
    EXPECT_TRUE(QFileInfo(out + "/IMG_1512.jpg").isDir());
    EXPECT_TRUE(QFileInfo(out + "/IMG_1512 (1).jpg").isFile());
    EXPECT_TRUE(QFileInfo::exists(out + "/image_315x208_65536.gif"));
}

TEST_F(CarveFixture, InterruptKeepsTheFindsAndWritesTheReport) {
    // A large sparse volume: the jpg at its start, then zeros for a long scan.
    QString big = dir.filePath("big.img");
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()));
        ASSERT_TRUE(f.resize(qint64(16) << 30));
    }
    QString report = dir.filePath("interrupted.xml");
    QProcess p;
    p.start(QStringLiteral(LUMAREK_CARVE), {"--whole", "-t", "jpg", "--report", report, big});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    while (!out.contains('\n') && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        out += p.readAllStandardOutput();
    }
    ASSERT_EQ(p.state(), QProcess::Running) << "the scan ended before it could be interrupted";
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(60000));
    out += p.readAllStandardOutput();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    QList<Find> finds = findLines(QString::fromUtf8(out));
    ASSERT_EQ(finds.size(), 1);
    EXPECT_EQ(finds[0].offset, 512u);
    EXPECT_TRUE(out.contains("interrupted"));
    qint64 imageSize = 0;
    QString program;
    QList<ReportFile> files = readReport(report, &imageSize, &program);
    expectValidReport({"--report", report}, p.exitCode());
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files[0].imgOffset, 512u);
}

TEST_F(CarveFixture, InterruptDuringExportsStopsTakingOnNewOnes) {
    // 600 pictures back to back: the scan is over long before their
    // exports, which then wait in the queue.  One Ctrl-C after the first
    // find finishes the export under way and exports nothing more; every
    // find is still listed and reported.
    const Bytes jpg = lmrtest::read_file(lmrtest::data_path("recovery/jpg_jfif_baseline_01.jpg"));
    ASSERT_FALSE(jpg.empty());
    const size_t step = (jpg.size() + 511) / 512 * 512;
    const int count = 600;
    Bytes many(step * count, 0);
    for (int i = 0; i < count; ++i) std::copy(jpg.begin(), jpg.end(), many.begin() + long(step * size_t(i)));
    const QString image = dir.filePath("many.img"), out = dir.filePath("out"), report = dir.filePath("r.xml");
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char *>(many.data()), qint64(many.size()));
    }
    QProcess p;
    p.start(QStringLiteral(LUMAREK_CARVE), {"--whole", "-t", "jpg", "-o", out, "--report", report, image});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray listing;
    while (!listing.contains('\n') && p.state() == QProcess::Running) {
        p.waitForReadyRead(200);
        listing += p.readAllStandardOutput();
    }
    ASSERT_EQ(p.state(), QProcess::Running) << "the run ended before it could be interrupted";
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(60000));
    listing += p.readAllStandardOutput();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    const QList<Find> finds = findLines(QString::fromUtf8(listing));
    const int exported = QDir(out).entryList(QDir::Files).size();
    EXPECT_GE(exported, 1);
    EXPECT_LT(exported, finds.size() / 2) << exported << " of " << finds.size() << " exported after the interrupt";
    qint64 imageSize = 0;
    QString program;
    const QList<ReportFile> files = readReport(report, &imageSize, &program);
    expectValidReport({"--report", report}, p.exitCode());
    EXPECT_EQ(files.size(), finds.size());
    int hashed = 0;
    for (const ReportFile &f : files) hashed += !f.sha256.isEmpty();
    EXPECT_EQ(hashed, exported);
}

namespace {

quint32 crc32Of(const QByteArray &bytes) {
    quint32 c = 0xFFFFFFFFu;
    for (char ch : bytes) {
        c ^= quint8(ch);
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

QByteArray pngChunk(const char *type, const QByteArray &data) {
    QByteArray body = QByteArray(type, 4) + data;
    QByteArray out;
    for (quint32 v : {quint32(data.size())}) out += QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
    out += body;
    quint32 crc = crc32Of(body);
    out += QByteArray(1, char(crc >> 24)) + char(crc >> 16) + char(crc >> 8) + char(crc);
    return out;
}

// A 7x5 grey PNG whose image data comes after 80 KB of text: its size
// cannot be read from the first KiBs, and its decoder complains on the way.
QByteArray pngWithLongText() {
    QByteArray ihdr("\0\0\0\x07\0\0\0\x05\x08\x00\x00\x00\x00", 13);
    QByteArray text("Comment");
    text += '\0';
    std::mt19937 rng(3);
    for (int i = 0; i < 80000; ++i) text += char('a' + rng() % 26);
    QByteArray rows;
    for (int y = 0; y < 5; ++y) rows += QByteArray(1, '\0') + QByteArray(7, char(y * 40));
    QByteArray idat = qCompress(rows).mid(4);  // the zlib stream without Qt's length prefix
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + pngChunk("tEXt", text) +
           pngChunk("IDAT", idat) + pngChunk("IEND", QByteArray());
}

}  // namespace

TEST(CarveDiagnostics, LinesOfTheEngineAndOfThePictureDecoderGoToTheLog) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const int at = 4096;
    QByteArray png = pngWithLongText();
    QByteArray vol(at, '\0');
    vol += png;
    vol += QByteArray(8192, '\0');
    QString volume = dir.filePath("volume.img");
    {
        QFile f(volume);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(vol);
    }
    QString log = dir.filePath("engine.log");
    CarveRun r = carve({"--whole", "-t", "png", "--log", log, volume});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QList<Find> finds = findLines(r.out);
    ASSERT_EQ(finds.size(), 1) << r.out.toStdString();
    EXPECT_EQ(finds[0].offset, quint64(at));
    EXPECT_EQ(finds[0].length, quint64(png.size()));
    EXPECT_EQ(finds[0].name, "image_7x5_4096.png");
    // Standard error is the program's own: nothing of the engine's or the
    // decoder's.
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("s.InputFile:"));
}

TEST(CarveRefusal, WillNotExportOntoTheScannedDevice) {
    // The block device holding the temporary folder, when there is one.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dir.path()).constData(), &st), 0);
    QFile uevent(QStringLiteral("/sys/dev/block/%1:%2/uevent").arg(major(st.st_dev)).arg(minor(st.st_dev)));
    QString devName;
    if (uevent.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : uevent.readAll().split('\n'))
            if (line.startsWith("DEVNAME=")) devName = QString::fromUtf8(line.mid(8));
    }
    struct stat dev {};
    QString device = "/dev/" + devName;
    if (devName.isEmpty() || ::stat(QFile::encodeName(device).constData(), &dev) != 0 || !S_ISBLK(dev.st_mode) ||
        dev.st_rdev != st.st_dev)
        GTEST_SKIP() << "the temporary folder is not on a block device of this system";

    // The type list names nothing, so a missing refusal ends the run before
    // the device is read rather than scanning it.
    QString out = dir.filePath("recovered");
    CarveRun refused = carve({"-t", "nosuchtype", "-o", out, device});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("refusing")) << refused.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out));

    // Allowed on request.
    CarveRun allowed = carve({"--allow-same-device", "-t", "nosuchtype", "-o", out, device});
    EXPECT_FALSE(allowed.err.contains("refusing")) << allowed.err.toStdString();
    EXPECT_TRUE(allowed.err.contains("no known file type")) << allowed.err.toStdString();
}
