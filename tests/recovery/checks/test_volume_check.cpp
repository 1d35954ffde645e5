// The checks around a scan that both front ends make: inputs by kind and by
// rights, the output folder, exports onto the scanned device, and why the
// last run could not open its input.  The wording is the one lumarek-carve
// prints; its end-to-end tests rely on it.
#include "qt_test_support.h"
#include "support/qt_files.h"
#include "support/unprivileged.h"

#include "recovery/filerecovery.h"
#include "recovery/volumecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <functional>
#include <future>
#include <grp.h>
#include <iostream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lmrtest;

namespace {

const QString kDiskHint = QStringLiteral(" (reading a block device needs root or membership of the 'disk' group)");

QString yesNo(bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); }

bool makeNode(const QString &path, mode_t mode, dev_t numbers) {
    return ::mknod(QFile::encodeName(path).constData(), S_IFBLK | mode, numbers) == 0;
}

// A folder an unprivileged user can reach, with an image file in it.
class Checks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        image = dir.filePath("card.img");
        ASSERT_TRUE(writeFile(image, QByteArray(64 * 1024, '\0'),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    void note(const QString &what) { std::cout << "[   NOTE   ] " << what.toStdString() << "\n"; }

    QTemporaryDir dir;
    QString image;
};

}  // namespace

TEST_F(Checks, InputsAreJudgedByKindBeforeTheyAreOpened) {
    const QString missing = dir.filePath("no-such.img");
    const QString fifo = dir.filePath("pipe");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    const QString notFound = "cannot open " + missing + ": No such file or directory";
    const QString folder = "cannot scan " + dir.path() + ": it is a folder; give a block device or a disk image file";
    const QString charDev =
        "cannot scan /dev/zero: it is a character device, whose size cannot be known; give a block device or a disk "
        "image file";
    const QString pipeKind = "cannot scan " + fifo + ": it is neither a block device nor a regular file";
    struct Case {
        QString path, kind, read;
    };
    const Case cases[] = {
        {image, "", ""},
        {missing, notFound, notFound},
        {dir.path(), folder, folder},
        {"/dev/zero", charDev, charDev},
        {fifo, pipeKind, pipeKind},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(VolumeCheck::inputKindProblem(c.path), c.kind);
        // Opening a named pipe for reading waits for a writer: the check
        // must answer from its kind instead of hanging.
        auto read = std::async(std::launch::async, [&] { return VolumeCheck::inputReadProblem(c.path); });
        if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            const int w = ::open(QFile::encodeName(c.path).constData(), O_WRONLY | O_NONBLOCK);
            ADD_FAILURE() << "reading " << c.path.toStdString() << " blocked";
            if (w >= 0) ::close(w);
        }
        EXPECT_EQ(read.get(), c.read);
        EXPECT_FALSE(VolumeCheck::isBlockDevice(c.path)) << c.path.toStdString();
        EXPECT_FALSE(VolumeCheck::needsAccessRights(c.path)) << c.path.toStdString();
    }

    const QString node = dir.filePath("disk");
    if (!makeNode(node, 0600, makedev(7, 0))) return note("no block device node can be made here");
    EXPECT_TRUE(VolumeCheck::isBlockDevice(node));
    EXPECT_EQ(VolumeCheck::inputKindProblem(node), QString());
}

TEST_F(Checks, OnlyABlockDeviceRefusedForRightsAsksForTheDiskGroup) {
    QString why;
    const QString secret = dir.filePath("secret.img");
    ASSERT_TRUE(writeFile(secret, QByteArray(4096, '\0'), QFile::ReadOwner | QFile::WriteOwner));
    const QString node = dir.filePath("disk");
    const bool haveNode = makeNode(node, 0600, makedev(7, 0));

    const QString said = asNobody(
        [&] {
            QStringList lines{VolumeCheck::inputReadProblem(image), VolumeCheck::inputReadProblem(secret),
                              yesNo(VolumeCheck::needsAccessRights(secret))};
            if (haveNode) lines << VolumeCheck::inputReadProblem(node) << yesNo(VolumeCheck::needsAccessRights(node));
            return lines.join('\n');
        },
        &why);
    if (said.isNull()) GTEST_SKIP() << why.toStdString();
    const QStringList lines = said.split('\n');
    ASSERT_EQ(lines.size(), haveNode ? 5 : 3) << said.toStdString();
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "cannot open " + secret + ": Permission denied");  // an image: no hint
    EXPECT_EQ(lines[2], "no");
    if (!haveNode) return note("no block device node can be made here: the block-device message is not checked");
    EXPECT_EQ(lines[3], "cannot open " + node + ": Permission denied" + kDiskHint);
    EXPECT_EQ(lines[4], "yes");
}

TEST_F(Checks, TheLastRunsOpenProblemFollowsTheEngineOutcome) {
    DiagCapture diag;
    EngineControl::setWholeInput(true);
    auto run = [](const QString &path) {
        const QByteArray p = QFile::encodeName(path);
        start_recovery2(p.constData(), "jpg", "", 0);
    };

    run(image);
    EXPECT_EQ(EngineControl::lastRunOutcome(), EngineControl::Scanned);
    EXPECT_EQ(VolumeCheck::lastRunOpenProblem(image), QString());

    const QString missing = dir.filePath("gone.img");
    run(missing);
    EXPECT_EQ(VolumeCheck::lastRunOpenProblem(missing), "cannot open " + missing + ": No such file or directory");

    // A long path is opened like any other: the system says what is wrong
    // with it.  One longer than any path the system takes is refused.
    const QString longName = dir.filePath(QString(300, 'x'));
    run(longName);
    EXPECT_EQ(VolumeCheck::lastRunOpenProblem(longName), "cannot open " + longName + ": File name too long");
    const QString longPath = dir.filePath(QString(PATH_MAX, 'x'));
    run(longPath);
    EXPECT_EQ(VolumeCheck::lastRunOpenProblem(longPath), "cannot open " + longPath + ": path too long");

    // A run that is refused before it opens anything is no open problem.
    const QByteArray p = QFile::encodeName(image);
    start_recovery2(p.constData(), "nosuchtype", "", 0);
    EXPECT_EQ(EngineControl::lastRunOutcome(), EngineControl::NothingToSearch);
    EXPECT_EQ(VolumeCheck::lastRunOpenProblem(image), QString());

    // A block device the user may not read: the message says what is
    // needed, and so does needsAccessRights.
    const QString node = dir.filePath("disk");
    QString why = QStringLiteral("no block device node can be made here");
    QString said;
    if (makeNode(node, 0600, makedev(7, 0))) {
        said = asNobody(
            [&] {
                run(node);
                return VolumeCheck::lastRunOpenProblem(node) + '\n' + yesNo(VolumeCheck::needsAccessRights(node));
            },
            &why);
    }
    EngineControl::setWholeInput(false);
    if (said.isNull()) return note(why);
    EXPECT_EQ(said, "cannot open " + node + ": Permission denied" + kDiskHint + "\nyes");
}

TEST_F(Checks, TheOutputFolderIsMadeAndProbedWithoutLeavingAFile) {
    const QString nested = dir.filePath("out/a/b");
    EXPECT_EQ(VolumeCheck::outputFolderProblem(nested), QString());
    EXPECT_TRUE(QFileInfo(nested).isDir());
    EXPECT_TRUE(entriesOf(nested).isEmpty()) << entriesOf(nested).join(' ').toStdString();
    EXPECT_EQ(VolumeCheck::outputFolderProblem(nested), QString());  // an existing folder is fine

    EXPECT_EQ(VolumeCheck::outputFolderProblem(image), "cannot export into " + image + ": it is not a folder");
    const QString underFile = image + "/sub";
    EXPECT_TRUE(VolumeCheck::outputFolderProblem(underFile).startsWith("cannot create the output folder " + underFile))
        << VolumeCheck::outputFolderProblem(underFile).toStdString();

    // Rights show in a real attempt: a folder the user may not write into,
    // and one that would have to be made inside it.
    const QString readOnly = dir.filePath("read-only");
    ASSERT_TRUE(QDir().mkpath(readOnly));
    ASSERT_EQ(::chmod(QFile::encodeName(readOnly).constData(), 0755), 0);
    QString why;
    const QString said = asNobody(
        [&] {
            return VolumeCheck::outputFolderProblem(readOnly) + '\n' + VolumeCheck::outputFolderProblem(readOnly + "/sub");
        },
        &why);
    if (said.isNull()) GTEST_SKIP() << why.toStdString();
    EXPECT_EQ(said, "cannot write into the output folder " + readOnly + ": Permission denied\n" +
                        "cannot create the output folder " + readOnly + "/sub: Permission denied");
    EXPECT_TRUE(entriesOf(readOnly).isEmpty());
}

TEST_F(Checks, ExportsOntoTheScannedDeviceAreDetected) {
    // An image file is never the device being scanned.
    EXPECT_FALSE(VolumeCheck::exportsOntoScannedVolume(image, dir.filePath("out")));

    // A node for the device that holds the test folder stands for scanning
    // that device; an output folder not made yet is judged by its parent.
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(dir.path()).constData(), &st), 0);
    const QString same = dir.filePath("same");
    const QString other = dir.filePath("other");
    if (!makeNode(same, 0600, st.st_dev)) return note("no block device node can be made here");
    ASSERT_TRUE(makeNode(other, 0600, makedev(major(st.st_dev), minor(st.st_dev) + 250)));
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(same, dir.path()));
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(same, dir.filePath("not/made/yet")));
    EXPECT_FALSE(VolumeCheck::exportsOntoScannedVolume(other, dir.filePath("not/made/yet")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("not")));
}
