// The Linux device layer on a fake sysfs/proc tree.
#include "fake_system.h"
#include "qt_test_support.h"

#include "recovery/device.h"
#include "recovery/platform/linux_devices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/sysmacros.h>


TEST(Devices, ListsSizedBlockDevicesWithTheirMountPoints) {
    FakeSystem fs;
    fs.block("pci0/block/sda", "8:0", 1000000, false);
    fs.block("pci0/block/sda/sda1", "8:1", 2048, true);
    fs.block("pci0/block/sda/sda2", "8:2", 4096, true);
    fs.block("virtual/block/sr0", "11:0", 0, false);  // no disc
    fs.block("virtual/block/loop0", "7:0", 0, false);
    fs.write("proc/self/mountinfo",
             "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
             "36 1 8:1 / /media/my\\040card rw,relatime shared:1 - vfat /dev/sda1 rw\n"
             "37 1 8:1 / /mnt/again rw - vfat /dev/sda1 rw\n");

    QList<Device *> *list = DeviceManager::getDeviceList(fs.sys(), fs.proc(), fs.dev());
    ASSERT_EQ(list->size(), 3);
    Device *sda = list->at(0), *sda1 = list->at(1), *sda2 = list->at(2);
    EXPECT_EQ(sda->getDevFile(), fs.dev() + "/sda");
    EXPECT_EQ(sda->getName(), "sda · 512.0 MB");
    EXPECT_EQ(sda->totalSize, qint64(1000000) * 512);

    EXPECT_EQ(sda1->getDevFile(), fs.dev() + "/sda1");
    EXPECT_EQ(sda1->getRDevFile(), fs.dev() + "/sda1");
    EXPECT_EQ(sda1->getMountPoint(), "/media/my card");
    EXPECT_EQ(sda1->getName(), "sda1 · 1.0 MB");
    EXPECT_TRUE(sda1->getFormat().isEmpty());
    EXPECT_EQ(sda1->totalSize, 2048 * 512);

    EXPECT_TRUE(sda2->getMountPoint().isEmpty());
    EXPECT_EQ(sda2->getName(), "sda2 · 2.1 MB");
    DeviceManager::freeDeviceList(list);

    // Device files under /dev by default.
    list = DeviceManager::getDeviceList(fs.sys(), fs.proc());
    EXPECT_EQ(list->at(0)->getDevFile(), "/dev/sda");
    DeviceManager::freeDeviceList(list);
    DeviceManager::freeDeviceList(nullptr);

    // No tree at all: an empty list, not a failure.
    QList<Device *> *none = DeviceManager::getDeviceList(fs.dir.filePath("nothing"), fs.proc());
    EXPECT_TRUE(none->isEmpty());
    DeviceManager::freeDeviceList(none);
}

TEST(Devices, ImageFilesBecomeDevices) {
    lmrtest::TempFile img(lmrtest::Bytes(12345, 1), "disk");
    Device *d = DeviceManager::deviceForPath(QString::fromStdString(img.path()));
    EXPECT_EQ(d->getDevFile().toStdString(), img.path());
    EXPECT_EQ(d->getName(), QFileInfo(QString::fromStdString(img.path())).fileName());
    EXPECT_EQ(d->totalSize, 12345);
    delete d;

    Device *missing = DeviceManager::deviceForPath("/nonexistent/card.img");
    EXPECT_EQ(missing->getName(), "card.img");
    EXPECT_EQ(missing->totalSize, 0);
    delete missing;
}

TEST(Devices, OutputOnTheScannedDiskOrOneOfItsPartitionsIsDetected) {
    FakeSystem fs;
    fs.block("pci0/block/sda", "8:0", 1000, false);
    fs.block("pci0/block/sda/sda1", "8:1", 500, true);
    fs.block("pci0/block/sdb", "8:16", 1000, false);
    fs.block("pci0/block/sdb/sdb1", "8:17", 500, true);
    using lmrplatform::deviceContains;
    EXPECT_TRUE(deviceContains(makedev(8, 1), makedev(8, 1), fs.sys()));   // the same partition
    EXPECT_TRUE(deviceContains(makedev(8, 0), makedev(8, 1), fs.sys()));   // a partition of the disk
    EXPECT_FALSE(deviceContains(makedev(8, 0), makedev(8, 17), fs.sys())); // another disk
    EXPECT_FALSE(deviceContains(makedev(8, 1), makedev(8, 0), fs.sys()));
    EXPECT_FALSE(deviceContains(makedev(8, 0), makedev(0, 44), fs.sys())); // not a block device

    // An image file is not written by exports into a folder beside it.
    lmrtest::TempFile img(lmrtest::Bytes(512, 0), "disk");
    EXPECT_FALSE(lmrplatform::writesOntoDevice(QString::fromStdString(img.path()), fs.dir.path(), "/sys"));
}

TEST(Devices, OutputStoredOnTheScannedDeviceThroughOtherLayersIsDetected) {
    FakeSystem fs;
    fs.block("pci0/block/sda", "8:0", 1000, false);
    fs.block("pci0/block/sda/sda1", "8:1", 500, true);
    fs.block("pci0/block/sdb", "8:16", 1000, false);
    fs.block("pci0/block/sdb/sdb1", "8:17", 500, true);
    // A logical volume on sda1, a RAID set over that volume and sdb1.
    fs.block("virtual/block/dm-0", "253:0", 400, false);
    fs.block("virtual/block/md0", "9:0", 400, false);
    auto slave = [&](const QString &of, const QString &dev) {
        QDir().mkpath(fs.dir.filePath("sys/devices/virtual/block/" + of + "/slaves"));
        QFile::link(fs.dir.filePath("sys/devices/" + dev),
                    fs.dir.filePath("sys/devices/virtual/block/" + of + "/slaves/" + QFileInfo(dev).fileName()));
    };
    slave("dm-0", "pci0/block/sda/sda1");
    slave("md0", "virtual/block/dm-0");
    slave("md0", "pci0/block/sdb/sdb1");
    using lmrplatform::deviceContains;
    EXPECT_TRUE(deviceContains(makedev(8, 0), makedev(253, 0), fs.sys()));   // a volume on the disk
    EXPECT_TRUE(deviceContains(makedev(8, 1), makedev(253, 0), fs.sys()));   // ... on the partition
    EXPECT_TRUE(deviceContains(makedev(8, 0), makedev(9, 0), fs.sys()));     // two layers down
    EXPECT_TRUE(deviceContains(makedev(8, 17), makedev(9, 0), fs.sys()));
    EXPECT_FALSE(deviceContains(makedev(8, 16), makedev(253, 0), fs.sys())); // the volume is not on sdb

    // Layers that name each other end the walk instead of looping.
    fs.block("virtual/block/dm-1", "253:1", 10, false);
    fs.block("virtual/block/dm-2", "253:2", 10, false);
    slave("dm-1", "virtual/block/dm-2");
    slave("dm-2", "virtual/block/dm-1");
    EXPECT_FALSE(deviceContains(makedev(8, 0), makedev(253, 1), fs.sys()));

    // A loop device backed by a file: on the scanned image itself, and on a
    // file system of the scanned disk (the file's own device, made a fake
    // partition of a fake disk here).
    lmrtest::TempFile image(lmrtest::Bytes(4096, 0), "disk");
    lmrtest::TempFile other(lmrtest::Bytes(4096, 0), "disk");
    struct stat st {};
    ASSERT_EQ(::stat(image.path().c_str(), &st), 0);
    fs.block("virtual/block/loop0", "7:0", 8, false);
    fs.write("sys/devices/virtual/block/loop0/loop/backing_file", QByteArray::fromStdString(image.path()) + "\n");
    const QString fileFs = QStringLiteral("%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev));
    fs.block("fake/block/vdz", "250:0", 1000, false);
    fs.block("fake/block/vdz/vdz1", fileFs, 500, true);
    EXPECT_TRUE(deviceContains(makedev(250, 0), makedev(7, 0), fs.sys()));
    EXPECT_FALSE(deviceContains(makedev(8, 0), makedev(7, 0), fs.sys()));
}
