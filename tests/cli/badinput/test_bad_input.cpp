// lumarek-carve given bad input: each case ends with a clear message and the
// right exit status, no failed export passes for a saved one, and the
// scanned input is never written.
#include "cli_test_support.h"
#include "support/qt_files.h"
#include "support/test_support.h"
#include "support/unprivileged.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QMap>
#include <QSet>
#include <QThread>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <iostream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace clitest;
using lmrtest::entriesOf;
using lmrtest::kNobody;
using lmrtest::writeFile;
using lmrtest::Bytes;

namespace {

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
    expectValidReport(args, r.exitCode);
    return r;
}

// Why the tests cannot run the program as an unprivileged user able to
// reach `dir`; empty when they can.
QString whyNoUnprivilegedRun(const QString &dir) {
    QString why;
    const QString said = lmrtest::asNobody(
        [&] {
            return access(QFile::encodeName(dir).constData(), R_OK | X_OK) == 0 ? QString() : QStringLiteral("no");
        },
        &why);
    if (said.isNull()) return why;
    return said.isEmpty() ? QString() : QStringLiteral("user 65534 cannot reach ") + dir;
}

const char *const kNames[] = {"IMG_1512.jpg", "image_315x208_65536.gif", "image_40x40_90112.png"};

// A plain volume with the three sample pictures between random bytes, in a
// folder an unprivileged user can read.  Every test ends by checking that
// the volume was not written.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        const Bytes vol = placedVolume();
        ASSERT_FALSE(vol.empty());
        bytes = QByteArray(reinterpret_cast<const char *>(vol.data()), int(vol.size()));
        volume = dir.filePath("volume.img");
        ASSERT_TRUE(writeFile(volume, bytes, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
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
    ASSERT_TRUE(writeFile(secret, bytes, QFile::ReadOwner | QFile::WriteOwner));
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

TEST_F(BadInput, NothingAlreadyInTheOutputFolderIsFollowedOrReplaced) {
    // A pipe at the name the temporary copy of the first export once had
    // (writing into it blocked the run), a link at the second find's name
    // pointing outside, and an earlier recovery under the third's.
    const QString out = dir.filePath("out");
    const QString outside = dir.filePath("outside.txt");
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(writeFile(outside, "not to be touched", QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray fifo = QFile::encodeName(out + "/" + kNames[0] + ".part");
    ASSERT_EQ(mkfifo(fifo.constData(), 0600), 0);
    ASSERT_EQ(symlink(QFile::encodeName(outside).constData(), QFile::encodeName(out + "/" + kNames[1]).constData()), 0);
    ASSERT_TRUE(writeFile(out + "/" + kNames[2], "earlier recovery", QFile::ReadOwner | QFile::WriteOwner));

    const QString report = dir.filePath("report.xml");
    CarveRun r = carveWith({"--whole", "-t", "images", "-o", out, "--report", report, volume}, Limits(), 60000);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QList<Find> finds = findLines(r.out);
    ASSERT_EQ(finds.size(), 3);
    // The listing and the report name the files actually written.
    EXPECT_EQ(finds[0].name, kNames[0]);
    EXPECT_EQ(finds[1].name, "image_315x208_65536 (1).gif");
    EXPECT_EQ(finds[2].name, "image_40x40_90112 (1).png");
    expectExportsMatch(out, finds);
    QFile xml(report);
    ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(xml.readAll());
    for (const Find &f : finds)
        EXPECT_TRUE(text.contains("<filename>" + f.name + "</filename>")) << text.toStdString();

    struct stat st {};
    EXPECT_EQ(::lstat(fifo.constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(QFileInfo(out + "/" + kNames[1]).symLinkTarget(), outside);
    QFile kept(outside), earlier(out + "/" + kNames[2]);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly) && earlier.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("not to be touched"));
    EXPECT_EQ(earlier.readAll(), QByteArray("earlier recovery"));
}

namespace {

// filename -> hashdigest of each fileobject of a report.
QMap<QString, QByteArray> digestsOf(const QString &report) {
    QMap<QString, QByteArray> digests;
    QFile f(report);
    if (!f.open(QIODevice::ReadOnly)) return digests;
    QXmlStreamReader xml(&f);
    QString name;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement()) continue;
        if (xml.name() == QLatin1String("filename")) name = xml.readElementText();
        if (xml.name() == QLatin1String("hashdigest")) digests.insert(name, xml.readElementText().toLatin1());
    }
    return digests;
}

}  // namespace

TEST_F(BadInput, RunsIntoOneFolderNeverTakeEachOthersFiles) {
    // A second run after the first, then two at the same time: every report
    // names files whose bytes on disk are still the ones it hashed.
    const QString out = dir.filePath("out");
    QStringList reports;
    for (int i = 0; i < 2; ++i) {
        reports << dir.filePath(QStringLiteral("after-%1.xml").arg(i));
        CarveRun r = carveWith({"--whole", "-t", "images", "-o", out, "--report", reports.last(), volume}, Limits());
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    }
    QList<QProcess *> together;
    for (int i = 0; i < 2; ++i) {
        reports << dir.filePath(QStringLiteral("together-%1.xml").arg(i));
        together << new QProcess;
        together.last()->start(QStringLiteral(LUMAREK_CARVE),
                               {"--whole", "-t", "images", "-o", out, "--report", reports.last(), volume});
    }
    for (QProcess *p : together) {
        EXPECT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        delete p;
    }
    QSet<QString> named;
    for (const QString &report : reports) {
        expectValidReport({"--report", report}, 0);
        const QMap<QString, QByteArray> digests = digestsOf(report);
        EXPECT_EQ(digests.size(), 3) << report.toStdString();
        for (auto it = digests.begin(); it != digests.end(); ++it) {
            EXPECT_FALSE(named.contains(it.key())) << it.key().toStdString() << " named by two runs";
            named.insert(it.key());
            EXPECT_EQ(sha256File(out + "/" + it.key()), it.value()) << it.key().toStdString();
        }
    }
    EXPECT_EQ(entriesOf(out).size(), 12) << entriesOf(out).join(", ").toStdString();
    EXPECT_TRUE(entriesOf(out).contains("IMG_1512 (3).jpg"));
}

TEST_F(BadInput, AReportOrLogOntoTheInputOrADeviceIsRefusedBeforeTheScan) {
    const QString alias = dir.filePath("alias.img"), viaLink = dir.filePath("link.img");
    ASSERT_EQ(::link(QFile::encodeName(volume).constData(), QFile::encodeName(alias).constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(volume).constData(), QFile::encodeName(viaLink).constData()), 0);
    struct Case {
        QStringList args;
        QString says;
    };
    QList<Case> cases = {
        {{"--log", volume}, "refusing to write the log to " + volume + ": it is " + volume + ", the input being scanned"},
        {{"--report", volume}, "refusing to write the report to " + volume + ": it is " + volume},
        {{"--report", alias}, "the input being scanned"},
        {{"--log", viaLink, "--allow-same-device"}, "the input being scanned"},
        {{"--report", "/dev/null"}, "it is not a regular file"},
        {{"--report", ""}, "--report needs a file name"},
        {{"--log", dir.filePath("no/such/folder/log.txt")}, "does not exist"},
        {{"-o", ""}, "the output folder (-o) is empty"},
    };
    // A device node of a loop device (never opened): whatever is written
    // there goes over a disk.
    const QString node = dir.filePath("disk");
    const bool haveNode = ::mknod(QFile::encodeName(node).constData(), S_IFBLK | 0600, makedev(7, 0)) == 0;
    if (haveNode) {
        cases.append({{"--report", node}, "it is a block device"});
        cases.append({{"--log", node, "--allow-same-device"}, "it is a block device"});
    } else {
        std::cout << "[   NOTE   ] no block device node could be made here: not checked as a report target\n";
    }
    for (const Case &c : cases) {
        CarveRun r = carveWith(QStringList{"--whole", "-t", "images"} + c.args + QStringList{volume}, Limits());
        EXPECT_EQ(r.exitCode, 1) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
        EXPECT_TRUE(findLines(r.out).isEmpty()) << "scanned although refused: " << c.args.join(' ').toStdString();
    }
    if (haveNode) {
        struct stat st {};
        EXPECT_EQ(::lstat(QFile::encodeName(node).constData(), &st), 0);
        EXPECT_TRUE(S_ISBLK(st.st_mode)) << "the device node was replaced";
    }
    // A character device takes a log without harm.
    CarveRun toNull = carveWith({"--whole", "-t", "images", "--log", "/dev/null", volume}, Limits());
    EXPECT_EQ(toNull.exitCode, 0) << toNull.err.toStdString();

    // A report an unprivileged user may not write is found before the scan.
    const QString why = whyNoUnprivilegedRun(dir.path());
    if (!why.isEmpty()) {
        std::cout << "[   NOTE   ] " << why.toStdString() << ": the unwritable report is not checked\n";
        return;
    }
    const QString locked = dir.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0755), 0);
    Limits nobody;
    nobody.unprivileged = true;
    CarveRun denied = carveWith({"--whole", "-t", "images", "--report", locked + "/r.xml", volume}, nobody);
    EXPECT_EQ(denied.exitCode, 1);
    EXPECT_TRUE(denied.err.contains("cannot write the report " + locked + "/r.xml: Permission denied"))
        << denied.err.toStdString();
    EXPECT_TRUE(findLines(denied.out).isEmpty());
}

TEST_F(BadInput, AClosedStandardOutputOrAFileSizeLimitFailsAWriteNotTheRun) {
    // Standard output is a pipe whose reader is already gone.
    const QString out = dir.filePath("out"), report = dir.filePath("report.xml");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const QByteArray program = QFile::encodeName(QStringLiteral(LUMAREK_CARVE));
    QList<QByteArray> args{program, "--whole", "-t", "images", "-o", QFile::encodeName(out), "--report",
                           QFile::encodeName(report), QFile::encodeName(volume)};
    std::vector<char *> argv;
    for (QByteArray &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        ::close(fds[0]);
        dup2(fds[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(digestsOf(report).size(), 3);
    EXPECT_EQ(entriesOf(out).size(), 3);
    expectValidReport({"--report", report}, 0);

    // Past `ulimit -f`: the report (about 2 KB), and standard output.
    Limits limited;
    limited.fileSize = 1024;
    CarveRun r = carveWith({"--whole", "-t", "images", "--report", dir.filePath("big.xml"), volume}, limited);
    EXPECT_EQ(r.status, QProcess::NormalExit);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(r.err.contains("cannot write the report")) << r.err.toStdString();
    EXPECT_EQ(findLines(r.out).size(), 3);
    limited.fileSize = 100;
    CarveRun s = carveWith({"--whole", "-t", "images", volume}, limited);
    EXPECT_EQ(s.status, QProcess::NormalExit);
    EXPECT_EQ(s.exitCode, 4);
    EXPECT_TRUE(s.err.contains("standard output could not be written")) << s.err.toStdString();
}

TEST(Dfxml, ReportsAreCheckedAgainstTheSchema) {
    if (dfxmlSchema().isEmpty())
        GTEST_SKIP() << "the DFXML schema (../shared/dfxml/dfxml.xsd, or LUMAREK_DFXML_SCHEMA) is not here: the "
                        "reports of these tests are not validated";
    // The checker itself: a report out of order is rejected.
    QTemporaryDir dir;
    const QString bad = dir.filePath("bad.xml");
    ASSERT_TRUE(writeFile(bad,
                           "<dfxml xmlns='http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML' "
                           "version='1.0'><metadata/><source><image_size>1</image_size></source></dfxml>",
                           QFile::ReadOwner | QFile::WriteOwner));
    EXPECT_FALSE(dfxmlProblem(bad).isEmpty());
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
    ASSERT_TRUE(writeFile(cutImage, bytes.left(cut), QFile::ReadOwner | QFile::WriteOwner));
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
    ASSERT_TRUE(writeFile(image, bytes, QFile::ReadOwner | QFile::WriteOwner));
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
