// lumarek-carve given bad input: each case ends with a clear message and the
// right exit status, no failed export passes for a saved one, and the
// scanned input is never written.
#include "cli_test_support.h"
#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <iostream>
#include <random>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace clitest;
using lmrtest::Bytes;

namespace {

const uid_t kNobody = 65534;

// How the child runs: as an unprivileged user, and/or with a limit on the
// size of the files it writes, as `ulimit -f` sets it (SIGXFSZ keeps its
// default action, which ends a process that writes past the limit unless
// the program guards against it).
struct Limits {
    bool unprivileged = false;
    rlim_t fileSize = RLIM_INFINITY;
};

QByteArray readAll(int fd) {
    QByteArray all;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) all.append(buf, int(n));
    return all;
}

// Runs the program under `limits`.  Output goes through unlinked files, so a
// child that writes much cannot block on a full pipe.
CarveRun carveWith(const QStringList &args, const Limits &limits, int msecs = 120000) {
    CarveRun r;
    FILE *out = tmpfile(), *err = tmpfile();
    if (!out || !err) {
        if (out) fclose(out);
        if (err) fclose(err);
        return r;
    }
    QList<QByteArray> argBytes{QFile::encodeName(QStringLiteral(LUMAREK_CARVE))};
    for (const QString &a : args) argBytes << QFile::encodeName(a);
    std::vector<char *> argv;
    for (QByteArray &a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        signal(SIGXFSZ, SIG_DFL);
        if (limits.fileSize != RLIM_INFINITY) {
            struct rlimit rl {limits.fileSize, limits.fileSize};
            if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(125);
        }
        if (limits.unprivileged && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid > 0) {
        int status = 0;
        for (int waited = 0;; waited += 10) {
            if (waitpid(pid, &status, WNOHANG) == pid) break;
            if (waited >= msecs) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(10000);
        }
        r.status = WIFEXITED(status) ? QProcess::NormalExit : QProcess::CrashExit;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.out = QString::fromUtf8(readAll(fileno(out)));
    r.err = QString::fromUtf8(readAll(fileno(err)));
    fclose(out);
    fclose(err);
    return r;
}

// Why the tests cannot run the program as an unprivileged user able to
// reach `dir`; empty when they can.
QString whyNoUnprivilegedRun(const QString &dir) {
    if (geteuid() != 0) return QStringLiteral("not running as root: cannot switch to an unprivileged user");
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(1);
        _exit(access(QFile::encodeName(dir).constData(), R_OK | X_OK) == 0 ? 0 : 2);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return QStringLiteral("fork failed");
    if (WEXITSTATUS(status) == 1) return QStringLiteral("cannot switch to user 65534");
    if (WEXITSTATUS(status) == 2) return QStringLiteral("user 65534 cannot reach ") + dir;
    return QString();
}

const char *const kNames[] = {"IMG_1512.jpg", "image_315x208_65536.gif", "image_40x40_90112.png"};

bool writeBytes(const QString &path, const QByteArray &bytes, QFile::Permissions perms) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return false;
    f.close();
    return f.setPermissions(perms);
}

QStringList entriesOf(const QString &dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// A plain volume with the three sample pictures between random bytes, in a
// folder an unprivileged user can read.  Every test ends by checking that
// the volume was not written.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        Bytes vol(128 * 1024);
        std::mt19937 rng(7);
        for (auto &b : vol) b = uint8_t(rng());
        for (const Placed &p : kPlaced) {
            Bytes s = lmrtest::read_file(lmrtest::data_path(std::string("recovery/") + p.sample));
            ASSERT_FALSE(s.empty());
            std::copy(s.begin(), s.end(), vol.begin() + long(p.offset));
        }
        bytes = QByteArray(reinterpret_cast<const char *>(vol.data()), int(vol.size()));
        volume = dir.filePath("volume.img");
        ASSERT_TRUE(writeBytes(volume, bytes, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        volumeHash = sha256File(volume);
    }
    void TearDown() override { EXPECT_EQ(sha256File(volume), volumeHash) << "the scanned volume was written"; }

    QByteArray sliceHash(quint64 offset, quint64 length) const {
        return QCryptographicHash::hash(bytes.mid(int(offset), int(length)), QCryptographicHash::Sha256).toHex();
    }
    // Each exported file of `out` holds the bytes of its find.
    void expectExportsMatch(const QString &out, const QList<Find> &finds) const {
        for (const Find &f : finds) {
            QString path = out + "/" + f.name;
            ASSERT_TRUE(QFileInfo::exists(path)) << path.toStdString();
            EXPECT_EQ(sha256File(path), sliceHash(f.offset, f.length)) << path.toStdString();
        }
    }

    QTemporaryDir dir;
    QString volume;
    QByteArray bytes, volumeHash;
};

}  // namespace

TEST_F(BadInput, InputsWithoutASizeToScanAreRefusedAtOnce) {
    QString fifo = dir.filePath("pipe");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    struct Case {
        QString input, says;
    };
    const Case cases[] = {
        {dir.filePath("no-such.img"), "No such file or directory"},
        {dir.path(), "it is a folder"},
        {"/dev/null", "character device"},
        {"/dev/zero", "character device"},
        {fifo, "neither a block device nor a regular file"},
    };
    for (const Case &c : cases) {
        QString out = dir.filePath("out");
        // A short limit: before, a folder was scanned as an input of 8 EiB
        // of failing sectors and /dev/null passed as an empty success.
        CarveRun r = carveWith({"--whole", "-o", out, c.input}, Limits(), 30000);
        EXPECT_EQ(r.status, QProcess::NormalExit) << c.input.toStdString();
        EXPECT_EQ(r.exitCode, 2) << c.input.toStdString() << "\n" << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.input) && r.err.contains(c.says)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();  // no finds, no summary
        EXPECT_FALSE(QFileInfo::exists(out)) << c.input.toStdString();
    }
}

TEST_F(BadInput, GarbageTypeListsAreRejectedBeforeTheScan) {
    struct Case {
        QString types, says;
    };
    const Case cases[] = {
        {"nosuchtype", "no known file type \"nosuchtype\""},
        {"foo, bar", "no known file type \"foo\", \"bar\""},
        {"jpg,pgn", "no known file type \"pgn\""},  // one typo must not shrink the search silently
        {QString::fromUtf8("ÿ€$%,\t*"), QString::fromUtf8("\"ÿ€$%\", \"*\"")},
        {",,, ,", "no file types given"},
        {"", "no file types given"},
    };
    for (const Case &c : cases) {
        QString out = dir.filePath("out");
        // -v: had the engine run, its lines would be on standard error.
        CarveRun r = carveWith({"--whole", "-v", "-t", c.types, "-o", out, volume}, Limits());
        EXPECT_EQ(r.exitCode, 1) << c.types.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << c.types.toStdString() << ": " << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("start_recovery2")) << "the engine ran for " << c.types.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_FALSE(QFileInfo::exists(out));
    }
    // Known names, aliases and spaces around them are taken.
    CarveRun ok = carveWith({"--whole", "-t", " jpeg , gif ", volume}, Limits());
    EXPECT_EQ(ok.exitCode, 0) << ok.err.toStdString();
    EXPECT_EQ(findLines(ok.out).size(), 2);
}

TEST_F(BadInput, AnUnprivilegedUserIsToldWhatIsRefused) {
    QString why = whyNoUnprivilegedRun(dir.path());
    if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
    Limits nobody;
    nobody.unprivileged = true;

    // An image only its owner may read.
    QString secret = dir.filePath("secret.img");
    ASSERT_TRUE(writeBytes(secret, bytes, QFile::ReadOwner | QFile::WriteOwner));
    CarveRun denied = carveWith({"--whole", secret}, nobody);
    EXPECT_EQ(denied.exitCode, 2);
    EXPECT_TRUE(denied.err.contains("cannot open " + secret + ": Permission denied")) << denied.err.toStdString();
    EXPECT_TRUE(denied.out.isEmpty());

    // A block device only root may read (a node of its own for the first
    // loop device; it is never opened with rights).
    QString node = dir.filePath("disk");
    if (::mknod(QFile::encodeName(node).constData(), S_IFBLK | 0600, makedev(7, 0)) == 0) {
        CarveRun noDisk = carveWith({node}, nobody);
        EXPECT_EQ(noDisk.exitCode, 2);
        EXPECT_TRUE(noDisk.err.contains("Permission denied") && noDisk.err.contains("'disk' group"))
            << noDisk.err.toStdString();
    } else {
        std::cout << "[   NOTE   ] no block device node could be made here (" << strerror(errno)
                  << "): the block-device message is not checked\n";
    }

    // An export folder the user may not write into: refused before the
    // scan, with nothing written there.
    QString readOnly = dir.filePath("read-only");
    ASSERT_TRUE(QDir().mkpath(readOnly));
    ASSERT_EQ(::chmod(QFile::encodeName(readOnly).constData(), 0755), 0);
    CarveRun ro = carveWith({"--whole", "-t", "images", "-o", readOnly, volume}, nobody);
    EXPECT_EQ(ro.exitCode, 1);
    EXPECT_TRUE(ro.err.contains("cannot write into the output folder " + readOnly + ": Permission denied"))
        << ro.err.toStdString();
    EXPECT_TRUE(findLines(ro.out).isEmpty());
    EXPECT_TRUE(entriesOf(readOnly).isEmpty());

    // ... and one that would have to be made inside it.
    CarveRun sub = carveWith({"--whole", "-t", "images", "-o", readOnly + "/sub", volume}, nobody);
    EXPECT_EQ(sub.exitCode, 1);
    EXPECT_TRUE(sub.err.contains("cannot create the output folder " + readOnly + "/sub: Permission denied"))
        << sub.err.toStdString();
    EXPECT_TRUE(entriesOf(readOnly).isEmpty());
}

TEST_F(BadInput, AnExportThatRunsOutOfSpaceIsNamedAndLeavesNoPartialFile) {
    // Files may grow to 20000 bytes: the jpg (38898) does not fit, the gif
    // and the png do.
    Limits small;
    small.fileSize = 20000;
    QString out = dir.filePath("out");
    QString report = dir.filePath("report.xml");
    CarveRun r = carveWith({"--whole", "-t", "images", "-o", out, "--report", report, volume}, small);
    EXPECT_EQ(r.status, QProcess::NormalExit);
    EXPECT_EQ(r.exitCode, 3) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("could not export IMG_1512.jpg into " + out + ": writing failed: File too large"))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("1 file(s) could not be exported: IMG_1512.jpg")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("exported 2 of 3 into " + out)) << r.out.toStdString();

    QList<Find> finds = findLines(r.out);
    ASSERT_EQ(finds.size(), 3);
    // Only the two complete files are there: no partial jpg under its name
    // or any other.
    EXPECT_EQ(entriesOf(out), QStringList({kNames[1], kNames[2]}));
    expectExportsMatch(out, finds.mid(1));

    // The report tells the same: no digest for the file that is not there.
    QFile xml(report);
    ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(xml.readAll());
    EXPECT_EQ(text.count("<hashdigest"), 2) << text.toStdString();
}

TEST_F(BadInput, ASecondInterruptDuringAnExportLeavesNoPartialFile) {
    // The partial file of the first export is a pipe nobody reads: the
    // export blocks in it, mid-way, until the program is ended.
    const QString out = dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const QByteArray part = QFile::encodeName(out + "/" + kNames[0] + ".part");
    ASSERT_EQ(mkfifo(part.constData(), 0600), 0);
    QProcess p;
    p.start(QStringLiteral(LUMAREK_CARVE), {"--whole", "-t", "images", "-o", out, volume});
    ASSERT_TRUE(p.waitForStarted());
    // A small pipe that we never read: the export fills it and then waits.
    const int reader = ::open(part.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    int queued = 0;
    for (int i = 0; i < 1000 && queued < 4096; ++i) {
        QThread::msleep(10);
        ioctl(reader, FIONREAD, &queued);
    }
    ASSERT_GE(queued, 4096) << "the export never reached the pipe";
    kill(pid_t(p.processId()), SIGINT);  // stops the scan; the export still waits
    QThread::msleep(200);
    EXPECT_EQ(p.state(), QProcess::Running);
    kill(pid_t(p.processId()), SIGINT);  // ends the program
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
    struct stat st {};
    EXPECT_NE(::lstat(part.constData(), &st), 0) << "the partial file stayed";
    EXPECT_TRUE(entriesOf(out).isEmpty()) << entriesOf(out).join(", ").toStdString();
    ::close(reader);
}

TEST_F(BadInput, ExportIntoALoopMountOfTheScannedImageIsRefused) {
    // An ext2 image, mounted through a loop device: a folder inside that
    // mount is stored in the image being scanned.
    const QString image = dir.filePath("ext2.img");
    const QString mnt = dir.filePath("mnt");
    ASSERT_TRUE(QDir().mkpath(mnt));
    auto sh = [](const QString &cmd) { return system(qPrintable(cmd + " >/dev/null 2>&1")); };
    ASSERT_EQ(sh(QStringLiteral("truncate -s 16M '%1' && mke2fs -q -F -t ext2 '%1'").arg(image)), 0);
    if (geteuid() != 0 || sh(QStringLiteral("mount -o loop '%1' '%2'").arg(image, mnt)) != 0)
        GTEST_SKIP() << "cannot mount a loop device here";
    const QString out = mnt + "/recovered";
    CarveRun r = carve({"-o", out, image});
    sh(QStringLiteral("umount -d '%1'").arg(mnt));
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("refusing to export into " + out)) << r.err.toStdString();
    EXPECT_TRUE(findLines(r.out).isEmpty());
}

TEST_F(BadInput, AnImageCutInsideAFileGivesTheWholeFilesOnly) {
    // Cut 4888 bytes into the png (90112 + 10240): the jpg and the gif are
    // whole, the png is not.
    const int cut = 95000;
    QString cutImage = dir.filePath("cut.img");
    ASSERT_TRUE(writeBytes(cutImage, bytes.left(cut), QFile::ReadOwner | QFile::WriteOwner));
    QByteArray cutHash = sha256File(cutImage);

    for (const char *types : {"images", "all"}) {
        QString out = dir.filePath(QStringLiteral("out-%1").arg(types));
        CarveRun r = carveWith({"--whole", "-t", types, "-o", out, cutImage}, Limits());
        EXPECT_EQ(r.exitCode, 0) << types << "\n" << r.err.toStdString();
        QList<Find> finds = findLines(r.out);
        ASSERT_EQ(finds.size(), 2) << types << "\n" << r.out.toStdString();
        EXPECT_EQ(finds[0].name, kNames[0]);
        EXPECT_EQ(finds[1].name, kNames[1]);
        for (const Find &f : finds) EXPECT_LE(f.offset + f.length, quint64(cut)) << f.name.toStdString();
        EXPECT_EQ(entriesOf(out), QStringList({kNames[0], kNames[1]}));
        expectExportsMatch(out, finds);
    }
    EXPECT_EQ(sha256File(cutImage), cutHash);
}

TEST_F(BadInput, PathsWithSpacesAndNonAsciiCharactersWork) {
    QString folder = dir.filePath(QString::fromUtf8("Kärtchen 画像 2"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QString image = folder + QString::fromUtf8("/my card — ü.img");
    ASSERT_TRUE(writeBytes(image, bytes, QFile::ReadOwner | QFile::WriteOwner));
    QString out = dir.filePath(QString::fromUtf8("recovered files é/出力"));
    QString report = out + QString::fromUtf8("/report ü.xml");

    CarveRun r = carveWith({"--whole", "-t", "images", "-o", out, "--report", report, image}, Limits());
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QList<Find> finds = findLines(r.out);
    ASSERT_EQ(finds.size(), 3) << r.out.toStdString();
    expectExportsMatch(out, finds);
    EXPECT_TRUE(r.out.contains("exported 3 of 3 into " + out)) << r.out.toStdString();
    QFile xml(report);
    ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(xml.readAll()).contains(image.toHtmlEscaped()));
    EXPECT_EQ(sha256File(image), volumeHash);

    // A name whose bytes are not valid text in the system's encoding would
    // be read back as another name: the input "not found", or the finds
    // exported into a folder of a different name.  It is refused by name.
    QByteArray rawName = QFile::encodeName(dir.path()) + "/bad\xe9name";
    if (QFile::encodeName(QFile::decodeName(rawName)) == rawName) {
        std::cout << "[   NOTE   ] every byte sequence is valid text in this encoding: case not checked\n";
        return;
    }
    ASSERT_EQ(::symlink(QFile::encodeName(volume).constData(), rawName.constData()), 0);
    struct Unlink {  // a name QTemporaryDir cannot remove
        QByteArray path;
        ~Unlink() { ::unlink(path.constData()); }
    } unlinkLater{rawName};
    // The test's own argument list cannot carry the raw bytes through
    // QString either, so the child gets them straight.
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        int errFd = ::open(QFile::encodeName(dir.filePath("bad.err")).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 1);
        dup2(errFd, 2);
        execl(LUMAREK_CARVE, LUMAREK_CARVE, "--whole", "-t", "images", rawName.constData(), (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    QFile errFile(dir.filePath("bad.err"));
    ASSERT_TRUE(errFile.open(QIODevice::ReadOnly));
    QString err = QString::fromUtf8(errFile.readAll());
    EXPECT_TRUE(err.contains("not valid text in this system's character encoding")) << err.toStdString();
}
