// lumarek-carve on a FAT16 card written by mtools with files deleted from
// nested folders: each comes back under its folder and name with its
// modification time, the report says so; a file already there is kept; a
// hostile name stays inside the output folder; a file whose clusters a
// later one took is listed as overwritten and not exported.
#include "cli_test_support.h"
#include "support/test_support.h"
#include "support/qt_files.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace clitest;
using lmrtest::sh;

namespace {

void writeBytes(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readBytes(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Patches the first `from` in the file with `to`.
void patch(const QString &path, const QByteArray &from, const QByteArray &to) {
    QByteArray b = readBytes(path);
    const int at = b.indexOf(from);
    ASSERT_GE(at, 0);
    b.replace(at, to.size(), to);
    writeBytes(path, b);
}

}  // namespace

TEST(NamedExports, DeletedFilesComeBackUnderTheirFoldersNamesAndTimes) {
    if (!lmrtest::have_tool("mkfs.vfat") || !lmrtest::have_tool("mcopy")) GTEST_SKIP() << "dosfstools or mtools missing";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString img = dir.filePath(QStringLiteral("card.img")), out = dir.filePath(QStringLiteral("out"));
    const QString jpg = QStringLiteral(LUMAREK_TEST_DATA "/image/jfif.jpg");
    QByteArray data(50000, 0);
    for (int i = 0; i < data.size(); ++i) data[i] = char((i * 7919) >> 3);
    writeBytes(dir.filePath(QStringLiteral("data.bin")), data);
    writeBytes(dir.filePath(QStringLiteral("evil.bin")), data.left(3000));
    const QString m = QStringLiteral("cd '%1' && export TZ=UTC MTOOLS_SKIP_CHECK=1 && ").arg(dir.path());
    ASSERT_EQ(sh(m + "touch -m -d '2024-06-12 14:30:16' data.bin evil.bin && cp '" + jpg +
                 "' photo.jpg && touch -m -d '2024-06-12 14:30:16' photo.jpg && truncate -s 8M card.img && "
                 "mkfs.vfat -F 16 -s 1 card.img >/dev/null && mmd -i card.img ::DCIM ::DCIM/100CAMERA && "
                 "mcopy -m -i card.img photo.jpg ::DCIM/100CAMERA/IMG_20240612_143015.jpg && "
                 "mcopy -m -i card.img data.bin '::DCIM/Raw capture.dat' && mcopy -m -i card.img evil.bin ::Zz && "
                 "mdel -i card.img ::DCIM/100CAMERA/IMG_20240612_143015.jpg '::DCIM/Raw capture.dat' ::Zz"),
              0);
    // The long name "Zz" made "..": it must not leave the output folder.
    patch(img, QByteArray("Z\0z\0\0\0", 6), QByteArray(".\0.\0\0\0", 6));
    // A file of that name is already in the output folder: it stays.
    ASSERT_TRUE(QDir().mkpath(out + QStringLiteral("/DCIM")));
    writeBytes(out + QStringLiteral("/DCIM/Raw capture.dat"), "earlier");

    const QString report = dir.filePath(QStringLiteral("r.dfxml"));
    const QStringList args{QStringLiteral("-o"), out, QStringLiteral("--report"), report, img};
    CarveRun r = carve(args);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    expectValidReport(args, r.exitCode);

    const QString photo = out + QStringLiteral("/DCIM/100CAMERA/IMG_20240612_143015.jpg");
    EXPECT_EQ(readBytes(photo), readBytes(jpg));
    EXPECT_EQ(QFileInfo(photo).lastModified().toSecsSinceEpoch(), 1718202616);
    EXPECT_EQ(readBytes(out + QStringLiteral("/DCIM/Raw capture.dat")), QByteArray("earlier"));
    EXPECT_EQ(readBytes(out + QStringLiteral("/DCIM/Raw capture (1).dat")), data);
    // Every file written lies inside the output folder, none elsewhere.
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/__")));
    int inside = 0;
    for (const QFileInfo &fi : QDir(out).entryInfoList(QDir::Files | QDir::Hidden))
        if (readBytes(fi.filePath()) == data.left(3000)) ++inside;
    EXPECT_EQ(inside, 1);

    // The line names the file as written and its original path and time;
    // the report carries the same.
    EXPECT_TRUE(r.out.contains(QStringLiteral("\tDCIM/100CAMERA/IMG_20240612_143015.jpg\n"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("\tDCIM/Raw capture (1).dat\n"))) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("  named: DCIM/Raw capture.dat  modified: 2024-06-12T14:30:16Z")))
        << r.out.toStdString();
    const QString xml = QString::fromUtf8(readBytes(report));
    EXPECT_TRUE(xml.contains(QStringLiteral("<filename>DCIM/100CAMERA/IMG_20240612_143015.jpg</filename>")));
    EXPECT_TRUE(xml.contains(QStringLiteral("<mtime>2024-06-12T14:30:16Z</mtime>")));
    // The photo was found by its content too: one record, not two.
    EXPECT_EQ(r.out.count(QStringLiteral("IMG_20240612_143015.jpg\n")), 1);

    // A file written since takes the freed clusters (mtools fills FAT16
    // from the first free one): what lost its bytes is listed, not exported.
    writeBytes(dir.filePath(QStringLiteral("new.bin")), QByteArray(200000, 'n'));
    ASSERT_EQ(sh(m + "mcopy -i card.img new.bin ::NEW.BIN"), 0);
    const QString out2 = dir.filePath(QStringLiteral("out2"));
    r = carve({QStringLiteral("--no-deep"), QStringLiteral("-o"), out2, img});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("overwritten: not exported"))) << r.out.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out2 + QStringLiteral("/DCIM/100CAMERA/IMG_20240612_143015.jpg")) &&
                 readBytes(out2 + QStringLiteral("/DCIM/100CAMERA/IMG_20240612_143015.jpg")) != readBytes(jpg));
}
