// Devices named as people know them: from sysfs trees of the test's own
// with real small file systems behind their device files (libblkid reads
// the label and type), and the rules that make the names.
#include "fake_system.h"
#include "qt_test_support.h"

#include "recovery/device.h"
#include "recovery/platform/linux_devices.h"

#include <gtest/gtest.h>

using lmrplatform::VolumeInfo;

namespace {

QString nameOf(const QList<Device *> *list, const QString &devFile) {
    for (const Device *d : *list)
        if (d->getDevFile() == devFile) return d->getName();
    return QStringLiteral("(not listed)");
}

bool removableOf(const QList<Device *> *list, const QString &devFile) {
    for (const Device *d : *list)
        if (d->getDevFile() == devFile) return d->removable;
    return false;
}

}  // namespace

TEST(Naming, NamesAreMadeOfDriveFileSystemAndSize) {
    VolumeInfo v;
    v.kernelName = QStringLiteral("sdb1");
    v.devFile = QStringLiteral("/dev/sdb1");
    v.size = 31914983424;
    EXPECT_EQ(lmrplatform::displayName(v), "sdb1 · 31.9 GB");
    v.vendor = QStringLiteral("SanDisk");
    EXPECT_EQ(lmrplatform::displayName(v), "SanDisk · 31.9 GB");
    v.model = QStringLiteral("Ultra");
    EXPECT_EQ(lmrplatform::displayName(v), "SanDisk Ultra · 31.9 GB");
    v.model = QStringLiteral("SanDisk Ultra Fit");  // the model names its maker already
    EXPECT_EQ(lmrplatform::displayName(v), "SanDisk Ultra Fit · 31.9 GB");
    v.vendor = QStringLiteral("ATA");  // SCSI's word for any SATA drive
    v.model = QStringLiteral("Samsung SSD 860");
    EXPECT_EQ(lmrplatform::displayName(v), "Samsung SSD 860 · 31.9 GB");

    v.fsType = QStringLiteral("vfat");
    v.fsVersion = QStringLiteral("FAT32");
    EXPECT_EQ(lmrplatform::displayName(v), "Samsung SSD 860 · FAT32 · 31.9 GB");
    v.label = QStringLiteral("CAMERA");
    EXPECT_EQ(lmrplatform::displayName(v), "Samsung SSD 860 · CAMERA (FAT32) · 31.9 GB");
    v.fsType.clear();
    v.fsVersion.clear();
    EXPECT_EQ(lmrplatform::displayName(v), "Samsung SSD 860 · CAMERA · 31.9 GB");

    // A loop device is known by its backing file; an image by its name.
    VolumeInfo loop;
    loop.kernelName = QStringLiteral("loop3p1");
    loop.backingFile = QStringLiteral("/home/ann/cards/card.img");
    loop.size = 40 << 20;
    EXPECT_EQ(lmrplatform::displayName(loop), "card.img · 41.9 MB");
    VolumeInfo image;
    image.imageFile = true;
    image.kernelName = QStringLiteral("card.img");
    image.size = 40 << 20;
    image.label = QStringLiteral("CAMERA");
    image.fsType = QStringLiteral("vfat");
    image.fsVersion = QStringLiteral("FAT16");
    EXPECT_EQ(lmrplatform::displayName(image), "card.img · CAMERA (FAT16)");

    EXPECT_EQ(lmrplatform::fileSystemName("vfat", ""), "FAT");
    EXPECT_EQ(lmrplatform::fileSystemName("exfat", "1.0"), "exFAT");
    EXPECT_EQ(lmrplatform::fileSystemName("ntfs", ""), "NTFS");
    EXPECT_EQ(lmrplatform::fileSystemName("ext4", "1.0"), "ext4");

    EXPECT_EQ(lmrplatform::decimalSize(0), "0 B");
    EXPECT_EQ(lmrplatform::decimalSize(999), "999 B");
    EXPECT_EQ(lmrplatform::decimalSize(1000), "1.0 kB");
    EXPECT_EQ(lmrplatform::decimalSize(999949), "999.9 kB");
    EXPECT_EQ(lmrplatform::decimalSize(999950), "1.0 MB");  // never "1000.0 kB"
    EXPECT_EQ(lmrplatform::decimalSize(2000398934016), "2.0 TB");
}

TEST(Naming, TextFromDevicesIsMadePrintable) {
    using lmrplatform::cleanText;
    EXPECT_EQ(cleanText("  SanDisk \n"), "SanDisk");
    EXPECT_EQ(cleanText("Ultra   Fit\t"), "Ultra Fit");
    EXPECT_EQ(cleanText(QByteArray("CAM\x01\x1b[2JERA", 11)), "CAM[2JERA");
    EXPECT_EQ(cleanText(QByteArray("CAM\0ERA", 7)), "CAM");
    EXPECT_EQ(cleanText("\xe7\x85\xa7\xe7\x89\x87"), QString::fromUtf8("照片"));
    EXPECT_EQ(cleanText("FOTO\xc4"), QString::fromLatin1("FOTO\xc4"));  // not UTF-8: Latin-1
    EXPECT_EQ(cleanText(QByteArray(5000, 'x')).size(), 64);
    EXPECT_EQ(cleanText(QByteArray("\xe2\x80\xae" "gpj.exe")), "gpj.exe");  // no reordering marks
}

TEST(Naming, SysfsAndLibblkidNameTheDevicesOfAFakeTree) {
    if (!lmrtest::have_tool("mkfs.vfat") || !lmrtest::have_tool("mkfs.ext4")) GTEST_SKIP() << "dosfstools or e2fsprogs missing";
    FakeSystem fs;
    // A card reader on USB with a FAT32 card, a SATA disk with an ext4
    // partition, a card in a built-in reader, a loop device.
    const QString usb = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
    fs.block(usb, "8:16", 62333952, false);
    fs.write("sys/devices/" + usb + "/device/vendor", "SanDisk \n");
    fs.write("sys/devices/" + usb + "/device/model", "Ultra           \n");
    fs.write("sys/devices/" + usb + "/removable", "1\n");
    fs.block(usb + "/sdb1", "8:17", 62325760, true);
    const QString sata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
    fs.block(sata, "8:0", 976773168, false);
    fs.write("sys/devices/" + sata + "/device/vendor", "ATA     \n");
    fs.write("sys/devices/" + sata + "/device/model", "Samsung SSD 860 \n");
    fs.write("sys/devices/" + sata + "/removable", "0\n");
    fs.block(sata + "/sda1", "8:1", 2097152, true);
    const QString mmc = "platform/mmc0/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0";
    fs.block(mmc, "179:0", 62333952, false);
    fs.write("sys/devices/" + mmc + "/device/name", "SD32G\n");
    fs.write("sys/devices/" + mmc + "/removable", "0\n");
    const QString virtio = "pci0000:00/0000:00:05.0/virtio2/block/vda";
    fs.block(virtio, "254:0", 536870912, false);
    fs.write("sys/devices/" + virtio + "/device/vendor", "0x1af4\n");
    fs.block("virtual/block/loop0", "7:0", 81920, false);
    fs.write("sys/devices/virtual/block/loop0/loop/backing_file", "/home/ann/old card.img\n");

    QDir().mkpath(fs.dev());
    int status = 0;
    lmrtest::run("mkfs.vfat -F 32 -S 512 -s 1 -n CAMERA -C '" + (fs.dev() + "/sdb1").toStdString() +
                     "' 40960 >/dev/null 2>&1",
                 &status);
    ASSERT_EQ(status, 0);
    lmrtest::run("truncate -s 8M '" + (fs.dev() + "/sda1").toStdString() + "' && mkfs.ext4 -q -F -L PHOTOS '" +
                     (fs.dev() + "/sda1").toStdString() + "' >/dev/null 2>&1",
                 &status);
    ASSERT_EQ(status, 0);

    QList<Device *> *list = DeviceManager::getDeviceList(fs.sys(), fs.proc(), fs.dev());
    EXPECT_EQ(nameOf(list, fs.dev() + "/sdb"), "SanDisk Ultra · 31.9 GB");
    EXPECT_EQ(nameOf(list, fs.dev() + "/sdb1"), "SanDisk Ultra · CAMERA (FAT32) · 31.9 GB");
    EXPECT_EQ(nameOf(list, fs.dev() + "/sda"), "Samsung SSD 860 · 500.1 GB");
    EXPECT_EQ(nameOf(list, fs.dev() + "/sda1"), "Samsung SSD 860 · PHOTOS (ext4) · 1.1 GB");
    EXPECT_EQ(nameOf(list, fs.dev() + "/mmcblk0"), "SD32G · 31.9 GB");
    EXPECT_EQ(nameOf(list, fs.dev() + "/loop0"), "old card.img · 41.9 MB");
    EXPECT_EQ(nameOf(list, fs.dev() + "/vda"), "vda · 274.9 GB");  // a vendor number names no one
    // Removable: said so by the disk, or on a USB bus; a partition is as
    // removable as its disk.
    EXPECT_TRUE(removableOf(list, fs.dev() + "/sdb1"));
    EXPECT_TRUE(removableOf(list, fs.dev() + "/sdb"));
    EXPECT_FALSE(removableOf(list, fs.dev() + "/sda1"));
    EXPECT_FALSE(removableOf(list, fs.dev() + "/loop0"));
    DeviceManager::freeDeviceList(list);
}

TEST(Naming, ImageFilesKeepTheirNameWithTheirFileSystem) {
    if (!lmrtest::have_tool("mkfs.vfat")) GTEST_SKIP() << "dosfstools missing";
    QTemporaryDir dir;
    const QString card = dir.filePath("card.img");
    int status = 0;
    lmrtest::run("mkfs.vfat -n CAMERA -C '" + card.toStdString() + "' 4096 >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0);
    Device *d = DeviceManager::deviceForPath(card);
    EXPECT_EQ(d->getName(), "card.img · CAMERA (FAT12)");
    EXPECT_EQ(d->totalSize, 4096 * 1024);
    delete d;

    // Bytes without a file system, and a file that is not there.
    lmrtest::TempFile blank(lmrtest::Bytes(65536, 0), "blank");
    d = DeviceManager::deviceForPath(QString::fromStdString(blank.path()));
    EXPECT_EQ(d->getName(), QFileInfo(QString::fromStdString(blank.path())).fileName());
    delete d;
    d = DeviceManager::deviceForPath("/nonexistent/card.img");
    EXPECT_EQ(d->getName(), "card.img");
    delete d;
}
