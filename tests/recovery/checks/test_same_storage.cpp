// The same-storage guard on layouts where the output folder's device is not
// simply the scanned one: loop devices sharing a backing file, partitions of
// a loop device, overlays whose upper directory lies on the scanned storage.
// First on fake sysfs/mountinfo trees, then on real loop devices and mounts
// where this machine lets the test make them.
#include "qt_test_support.h"
#include "recovery/devices/fake_system.h"

#include "recovery/platform/linux_devices.h"
#include "recovery/volumecheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <iostream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using lmrplatform::deviceContains;
using lmrplatform::writesOntoDevice;

QString numbersOf(dev_t dev) { return QStringLiteral("%1:%2").arg(major(dev)).arg(minor(dev)); }

dev_t deviceOf(const QString &path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_dev;
}

bool makeFile(const QString &path, qint64 size) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(size);
}

// A fake tree with loop devices over real files, so that their backing
// files can be compared by inode.
class FakeLayers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(files.isValid());
        image = files.filePath("disk.img");
        other = files.filePath("other.img");
        ASSERT_TRUE(makeFile(image, 1 << 20));
        ASSERT_TRUE(makeFile(other, 1 << 20));
    }
    void loop(const QString &name, const QString &numbers, const QString &backing, qint64 offset = -1,
              qint64 sizeLimit = -1) {
        fs.block("virtual/block/" + name, numbers, 2048, false);
        const QString base = "sys/devices/virtual/block/" + name + "/loop/";
        fs.write(base + "backing_file", QFile::encodeName(backing) + "\n");
        if (offset >= 0) fs.write(base + "offset", QByteArray::number(offset) + "\n");
        if (sizeLimit >= 0) fs.write(base + "sizelimit", QByteArray::number(sizeLimit) + "\n");
    }
    void partition(const QString &disk, const QString &name, const QString &numbers, qint64 start, qint64 sectors) {
        const QString path = "virtual/block/" + disk + "/" + name;
        fs.block(path, numbers, sectors, true);
        fs.write("sys/devices/" + path + "/start", QByteArray::number(start) + "\n");
    }

    FakeSystem fs;
    QTemporaryDir files;
    QString image, other;
};

}  // namespace

TEST_F(FakeLayers, LoopDevicesOverOneFileShareItsBytes) {
    loop("loop0", "7:0", image);
    loop("loop1", "7:1", image);
    loop("loop2", "7:2", other);
    EXPECT_TRUE(deviceContains(makedev(7, 1), makedev(7, 0), fs.sys()));   // scan loop1, write on loop0
    EXPECT_TRUE(deviceContains(makedev(7, 0), makedev(7, 1), fs.sys()));
    EXPECT_FALSE(deviceContains(makedev(7, 1), makedev(7, 2), fs.sys()));  // another file

    // Loop devices over parts of one file meet only where their ranges do.
    loop("loop3", "7:3", other, 0, 4096);
    loop("loop4", "7:4", other, 4096, 4096);
    loop("loop5", "7:5", other, 2048, 0);
    EXPECT_FALSE(deviceContains(makedev(7, 3), makedev(7, 4), fs.sys()));
    EXPECT_TRUE(deviceContains(makedev(7, 3), makedev(7, 5), fs.sys()));
    EXPECT_TRUE(deviceContains(makedev(7, 4), makedev(7, 5), fs.sys()));
}

TEST_F(FakeLayers, APartitionOfALoopDeviceLiesInTheImageFile) {
    // The output folder's own device stands for a partition of a loop
    // device over the scanned image file.
    const dev_t outDev = deviceOf(files.path());
    loop("loop0", "7:0", image);
    partition("loop0", "loop0p1", numbersOf(outDev), 2048, 1024);
    partition("loop0", "loop0p2", "259:1", 4096, 1024);
    EXPECT_TRUE(writesOntoDevice(image, files.filePath("out"), fs.sys(), fs.proc()));
    EXPECT_FALSE(writesOntoDevice(other, files.filePath("out"), fs.sys(), fs.proc()));

    // A second loop device over the same file with the same partitions: its
    // first partition is the very same bytes, its second is not.
    loop("loop1", "7:1", image);
    partition("loop1", "loop1p1", "259:2", 2048, 1024);
    partition("loop1", "loop1p2", "259:3", 4096, 1024);
    EXPECT_TRUE(deviceContains(makedev(259, 2), outDev, fs.sys()));
    EXPECT_FALSE(deviceContains(makedev(259, 3), outDev, fs.sys()));
    EXPECT_FALSE(deviceContains(makedev(259, 1), outDev, fs.sys()));  // the other partition of loop0
    EXPECT_TRUE(deviceContains(makedev(7, 1), outDev, fs.sys()));     // the whole of loop1
}

TEST_F(FakeLayers, AnOverlayWritesWhereItsUpperAndWorkDirectoriesLie) {
    // The upper directory's name needs mountinfo's escapes.
    const QString upper = files.filePath("up per,dir");
    const QString work = files.filePath("work");
    ASSERT_TRUE(QDir().mkpath(upper));
    ASSERT_TRUE(QDir().mkpath(work));
    QByteArray escaped = QFile::encodeName(upper);
    escaped.replace(" ", "\\040").replace(",", "\\054");
    // The file system holding both stands for a partition of a fake disk.
    fs.block("fake/block/vdz", "250:0", 100000, false);
    fs.block("fake/block/vdz/vdz1", numbersOf(deviceOf(upper)), 50000, true);
    const dev_t overlay = makedev(0, 4242);
    fs.write("proc/self/mountinfo",
             "22 1 " + numbersOf(deviceOf(upper)).toLatin1() + " / / rw - ext4 /dev/vdz1 rw\n"
             "40 22 0:4242 / /merged rw,relatime shared:7 - overlay overlay rw,lowerdir=/l,upperdir=" +
                 escaped + ",workdir=" + QFile::encodeName(work) + "\n");
    EXPECT_TRUE(deviceContains(makedev(250, 0), overlay, fs.sys(), fs.proc()));
    EXPECT_FALSE(deviceContains(makedev(250, 1), overlay, fs.sys(), fs.proc()));
    // Any other file system without a block device writes nowhere scanned.
    EXPECT_FALSE(deviceContains(makedev(250, 0), makedev(0, 4243), fs.sys(), fs.proc()));

    // The work directory alone on the scanned disk is enough.
    fs.write("proc/self/mountinfo",
             "40 22 0:4242 / /merged rw - overlay overlay rw,lowerdir=/l,upperdir=/nowhere/up,workdir=" +
                 QFile::encodeName(work) + "\n");
    EXPECT_TRUE(deviceContains(makedev(250, 0), overlay, fs.sys(), fs.proc()));
}

namespace {

QString run(const QString &program, const QStringList &args, bool *ok) {
    QProcess p;
    p.start(program, args);
    *ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
}

// Loop devices and mounts made by a test, undone in reverse order however
// the test ends.
class RealLayers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        if (geteuid() != 0) GTEST_SKIP() << "not running as root: no loop devices or mounts can be made";
        for (const char *tool : {"losetup", "mount", "umount", "mkfs.ext2"})
            if (QStandardPaths::findExecutable(tool).isEmpty() &&
                QStandardPaths::findExecutable(tool, {"/sbin", "/usr/sbin"}).isEmpty())
                GTEST_SKIP() << tool << " is not installed";
    }
    void TearDown() override {
        bool ok = false;
        for (int i = mounts.size() - 1; i >= 0; --i) {
            run("umount", {mounts[i]}, &ok);
            if (!ok) run("umount", {"-l", mounts[i]}, &ok);
            EXPECT_TRUE(ok) << "could not unmount " << mounts[i].toStdString();
        }
        for (int i = loops.size() - 1; i >= 0; --i) {
            run("losetup", {"-d", loops[i]}, &ok);
            EXPECT_TRUE(ok) << "could not detach " << loops[i].toStdString();
        }
    }
    // A loop device over `file`; empty (and `why` set) when refused.
    QString attach(const QString &file, const QStringList &options = {}) {
        QStringList args = QStringList{"-f", "--show"} + options;
        bool ok = false;
        const QString said = run("losetup", args << file, &ok);
        if (!ok || !said.startsWith("/dev/")) {
            why = "losetup refused: " + said;
            return QString();
        }
        loops << said;
        return said;
    }
    bool mountOn(const QStringList &args, const QString &where) {
        QDir().mkpath(where);
        bool ok = false;
        const QString said = run("mount", args + QStringList{where}, &ok);
        if (ok) mounts << where;
        else why = "mount refused: " + said;
        return ok;
    }
    bool mkfs(const QString &target) {
        bool ok = false;
        const QString said = run("mkfs.ext2", {"-q", "-F", target}, &ok);
        if (!ok) why = "mkfs.ext2 failed: " + said;
        return ok;
    }

    QTemporaryDir dir;
    QStringList loops, mounts;
    QString why;
};

// One MBR partition from sector 2048, `sectors` long.
bool writePartitionTable(const QString &path, quint32 sectors) {
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite)) return false;
    QByteArray mbr(512, '\0');
    const quint32 start = 2048;
    mbr[446 + 4] = char(0x83);
    for (int i = 0; i < 4; ++i) {
        mbr[446 + 8 + i] = char((start >> (8 * i)) & 0xff);
        mbr[446 + 12 + i] = char((sectors >> (8 * i)) & 0xff);
    }
    mbr[510] = char(0x55);
    mbr[511] = char(0xaa);
    return f.write(mbr) == 512;
}

}  // namespace

TEST_F(RealLayers, SecondLoopDevicesOverlaysAndLoopPartitionsAreTheScannedStorage) {
    const QString image = dir.filePath("ext.img");
    ASSERT_TRUE(makeFile(image, 8 << 20));
    if (!mkfs(image)) GTEST_SKIP() << why.toStdString();
    const QString first = attach(image);
    const QString second = first.isEmpty() ? QString() : attach(image);
    if (second.isEmpty()) GTEST_SKIP() << why.toStdString();
    const QString mounted = dir.filePath("mnt");
    if (!mountOn({first}, mounted)) GTEST_SKIP() << why.toStdString();

    // Scanning the second loop device, writing on the mount of the first.
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(second, mounted + "/out"));
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(image, mounted));
    EXPECT_FALSE(VolumeCheck::exportsOntoScannedVolume(second, dir.filePath("out")));

    // An overlay whose upper directory lies on that mount.
    QDir().mkpath(mounted + "/upper");
    QDir().mkpath(mounted + "/work");
    QDir().mkpath(dir.filePath("lower"));
    const QString merged = dir.filePath("merged");
    if (mountOn({"-t", "overlay", "overlay", "-o",
                 "lowerdir=" + dir.filePath("lower") + ",upperdir=" + mounted + "/upper,workdir=" + mounted + "/work"},
                merged)) {
        EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(second, merged + "/out"));
        EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(image, merged));
    } else {
        std::cout << "[   NOTE   ] overlay not checked: " << why.toStdString() << "\n";
    }

    // A partitioned image file scanned while its partition is mounted: first
    // through a loop device over the partition's bytes alone, then through
    // the partition of a loop device over the whole file, where the kernel
    // reads partition tables of loop devices.
    const QString disk = dir.filePath("disk.img");
    ASSERT_TRUE(makeFile(disk, 16 << 20));
    ASSERT_TRUE(writePartitionTable(disk, 20000));
    const QString ranged = attach(disk, {"-o", "1048576", "--sizelimit", QString::number(20000 * 512)});
    if (ranged.isEmpty()) GTEST_SKIP() << why.toStdString();
    if (!mkfs(ranged)) GTEST_SKIP() << why.toStdString();
    const QString rangedMount = dir.filePath("ranged");
    if (!mountOn({ranged}, rangedMount)) GTEST_SKIP() << why.toStdString();
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(disk, rangedMount));
    EXPECT_FALSE(VolumeCheck::exportsOntoScannedVolume(image, rangedMount));

    const QString whole = attach(disk, {"-P"});
    if (whole.isEmpty()) GTEST_SKIP() << why.toStdString();
    // The kernel reads the partition table on its own time; the device
    // node is made here from sysfs, as /dev may lag behind or hold a stale one.
    const QString name = QFileInfo(whole).fileName();
    const QString numbersFile = "/sys/block/" + name + "/" + name + "p1/dev";
    bool ok = false;
    for (int i = 0; i < 30 && !QFileInfo::exists(numbersFile); ++i) {
        if (i % 10 == 9) run("blockdev", {"--rereadpt", whole}, &ok);
        QThread::msleep(100);
    }
    QFile numbers(numbersFile);
    if (!numbers.open(QIODevice::ReadOnly)) {
        std::cout << "[   NOTE   ] loop partitions not checked: the kernel shows no partition of "
                  << whole.toStdString() << "\n";
        return;
    }
    const QList<QByteArray> majorMinor = numbers.readAll().trimmed().split(':');
    ASSERT_EQ(majorMinor.size(), 2);
    const QString part = dir.filePath(name + "p1");
    ASSERT_EQ(::mknod(QFile::encodeName(part).constData(), S_IFBLK | 0600,
                      makedev(majorMinor[0].toUInt(), majorMinor[1].toUInt())),
              0);
    // The partition holds the file system made above through the ranged loop device.
    const QString partMount = dir.filePath("part");
    if (!mountOn({"-o", "ro", part}, partMount)) GTEST_SKIP() << why.toStdString();
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(disk, partMount));
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(whole, partMount + "/out"));
    EXPECT_TRUE(VolumeCheck::exportsOntoScannedVolume(ranged, partMount));
    EXPECT_FALSE(VolumeCheck::exportsOntoScannedVolume(image, partMount));
}
