// The udisks2 path against a stand-in service on a private bus: devices
// listed with their names, descriptors handed out and scanned through,
// refusals, the signals of devices that come and go, and a list that fills
// in when the service answers, however long that takes.
#include "qt_test_support.h"
#include "support/mock_udisks.h"

#include "recovery/device.h"
#include "recovery/devicelist.h"
#include "recovery/devicewatcher.h"
#include "recovery/filerecovery.h"
#include "recovery/recoveredinfo.h"
#include "recovery/udisks.h"

#include <QMutex>
#include <QMutexLocker>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <unistd.h>

using namespace lmrtest;

namespace {

const char *const kCard = "/dev/lmrtest-sdz1";  // no such file: only the service can open it

struct UDisksTest : ::testing::Test {
    void SetUp() override {
        if (!PrivateBus::system().ok()) GTEST_SKIP() << "dbus-daemon missing (scripts/setup installs it)";
        mock.reset(new MockUDisks(PrivateBus::system()));
        ASSERT_TRUE(mock->ok());
        mock->addDrive(QStringLiteral("SanDisk_Ultra"), {QStringLiteral("SanDisk"), QStringLiteral("Ultra"), true,
                                                         QStringLiteral("usb")});
        MockUDisks::Block card;
        card.device = QString::fromLatin1(kCard);
        card.size = 31914983424ull;
        card.label = QStringLiteral("CAMERA");
        card.type = QStringLiteral("vfat");
        card.version = QStringLiteral("FAT32");
        card.drive = QStringLiteral("SanDisk_Ultra");
        mock->addBlock(QStringLiteral("lmrtest_sdz1"), card);
    }
    void TearDown() override { mock.reset(); }
    QDBusConnection bus() { return lmrudisks::systemBus(); }

    std::unique_ptr<MockUDisks> mock;
};

struct Finds : RecoveryCallback {
    QMutex lock;
    std::vector<std::tuple<qint64, qint64, QString, QString>> all;
    std::vector<int> failures;
    void onRecovered(FileRecoveredInfo *info) override {
        QMutexLocker hold(&lock);
        all.emplace_back(info->getOffset(), info->getLen(), info->getSuffix(), info->getDevFile());
        delete info;
    }
    void onProgress(float) override {}
    void onFinished() override {}
    void onFailed(int code) override { failures.push_back(code); }
    void onProceed(quint64, quint64) override {}
};

std::vector<std::tuple<qint64, qint64, QString, QString>> scan(Device *device) {
    Finds finds;
    FileRecovery recovery;
    recovery.setThumbnails(false);
    recovery.setRecoveryCallback(&finds);
    DeviceManager::setCurrentDevice(device);
    recovery.startAll();
    recovery.finishValidation();
    DeviceManager::setCurrentDevice(nullptr);
    EXPECT_TRUE(finds.failures.empty());
    std::sort(finds.all.begin(), finds.all.end());
    return finds.all;
}

}  // namespace

TEST_F(UDisksTest, DevicesAreListedWithModelLabelTypeAndSize) {
    MockUDisks::Block hidden;
    hidden.device = QStringLiteral("/dev/lmrtest-hidden");
    hidden.size = 4096;
    hidden.hidden = true;
    mock->addBlock(QStringLiteral("lmrtest_hidden"), hidden);
    MockUDisks::Block empty;  // a reader without a card
    empty.device = QStringLiteral("/dev/lmrtest-sdy");
    mock->addBlock(QStringLiteral("lmrtest_sdy"), empty);
    MockUDisks::Block plain;
    plain.device = QStringLiteral("/dev/lmrtest-sda");
    plain.size = 500107862016ull;
    mock->addBlock(QStringLiteral("lmrtest_sda"), plain);

    bool listed = false;
    const QList<lmrplatform::VolumeInfo> volumes = lmrudisks::blockDevices(bus(), &listed);
    ASSERT_TRUE(listed);
    ASSERT_EQ(volumes.size(), 2);
    EXPECT_EQ(volumes[0].devFile, "/dev/lmrtest-sda");
    EXPECT_EQ(volumes[0].name, "lmrtest-sda · 500.1 GB");
    EXPECT_FALSE(volumes[0].removable);
    EXPECT_EQ(volumes[1].devFile, kCard);
    EXPECT_EQ(volumes[1].name, "SanDisk Ultra · CAMERA (FAT32) · 31.9 GB");
    EXPECT_TRUE(volumes[1].removable);
    EXPECT_EQ(volumes[1].udisksObject, MockUDisks::blockPath(QStringLiteral("lmrtest_sdz1")));

    // The list both front ends show comes from there when udisks2 runs.
    QList<Device *> *devices = DeviceManager::getDeviceList();
    ASSERT_EQ(devices->size(), 2);
    EXPECT_EQ(devices->at(1)->getName(), "SanDisk Ultra · CAMERA (FAT32) · 31.9 GB");
    EXPECT_EQ(devices->at(1)->getDevFile(), kCard);
    EXPECT_EQ(devices->at(1)->totalSize, qint64(31914983424ll));
    EXPECT_TRUE(devices->at(1)->removable);
    DeviceManager::freeDeviceList(devices);

    // Without the service nothing is listed from it, and the caller knows.
    mock->stopServing();
    lmrudisks::blockDevices(bus(), &listed);
    EXPECT_FALSE(listed);
    lmrudisks::blockDevices(QDBusConnection(QStringLiteral("never-connected")), &listed);
    EXPECT_FALSE(listed);
}

TEST_F(UDisksTest, AScanThroughTheHandedDescriptorFindsWhatAScanOfTheImageFinds) {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    if (!make_demo_volume(image.toStdString())) GTEST_SKIP() << "mkfs.vfat or mtools missing (scripts/setup installs them)";
    MockUDisks::Block card;
    card.device = QString::fromLatin1(kCard);
    card.size = quint64(QFileInfo(image).size());
    card.type = QStringLiteral("vfat");
    card.backing = image;
    mock->addBlock(QStringLiteral("lmrtest_sdz1"), card);

    QList<Device *> *devices = DeviceManager::getDeviceList();
    ASSERT_EQ(devices->size(), 1);
    Device *device = devices->at(0);
    const AccessBroker::Result r = AccessBroker::openForReading(device->getRDevFile(), device->udisksObject, lmrudisks::systemBus());
    ASSERT_EQ(r.outcome, AccessBroker::Granted) << r.detail.toStdString();
    EXPECT_EQ(mock->requests(), QStringList{"OpenForBackup lmrtest_sdz1"});
    device->setDescriptor(r.fd);
    ::close(r.fd);
    device->setFormat(QStringLiteral("vfat"));

    Device byPath;
    byPath.setDevFile(image);
    byPath.setFormat(QStringLiteral("vfat"));
    byPath.totalSize = device->totalSize;
    const auto expected = scan(&byPath);
    const auto got = scan(device);
    ASSERT_GT(expected.size(), 10u);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::get<0>(got[i]), std::get<0>(expected[i]));
        EXPECT_EQ(std::get<1>(got[i]), std::get<1>(expected[i]));
        EXPECT_EQ(std::get<2>(got[i]), std::get<2>(expected[i]));
        EXPECT_EQ(std::get<3>(got[i]), kCard);  // the finds name the device
    }

    // A find is exported from the device after the scan, through the
    // engine's copy of the descriptor, and equals the bytes of the image.
    const auto &last = got.back();
    const QString out = dir.filePath(QStringLiteral("find.bin"));
    ASSERT_EQ(general_file_export(kCard, quint64(std::get<0>(last)), quint64(std::get<1>(last)), QFile::encodeName(out).constData()), 0);
    QFile a(image), b(out);
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    a.seek(qint64(std::get<0>(last)));
    EXPECT_TRUE(a.read(qint64(std::get<1>(last))) == b.readAll());
    DeviceManager::freeDeviceList(devices);
    forget_input_descriptor(kCard);
}

TEST_F(UDisksTest, RefusalsAndAMissingServiceAreToldApart) {
    const QString object = MockUDisks::blockPath(QStringLiteral("lmrtest_sdz1"));
    mock->setAnswer(MockUDisks::Refuse);
    AccessBroker::Result r = AccessBroker::openForReading(kCard, object, bus());
    EXPECT_EQ(r.outcome, AccessBroker::Refused);
    EXPECT_EQ(r.fd, -1);
    EXPECT_FALSE(r.detail.isEmpty());
    // A refusal is final: the person is not asked a second time.
    EXPECT_EQ(mock->requests().size(), 1);

    // A device in use (mounted) is refused to OpenForBackup, which opens it
    // exclusively; it is then read alongside the mount.
    QTemporaryDir dir;
    const QString backing = dir.filePath(QStringLiteral("backing.img"));
    QFile f(backing);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    MockUDisks::Block card;
    card.device = QString::fromLatin1(kCard);
    card.size = 4096;
    card.backing = backing;
    mock->addBlock(QStringLiteral("lmrtest_sdz1"), card);
    mock->setAnswer(MockUDisks::BusyThenGrant);
    r = AccessBroker::openForReading(kCard, object, bus());
    ASSERT_EQ(r.outcome, AccessBroker::Granted);
    char byte = 0;
    EXPECT_EQ(::pread(r.fd, &byte, 1, 100), 1);
    EXPECT_EQ(byte, 'x');
    ::close(r.fd);
    EXPECT_EQ(mock->requests().mid(1), (QStringList{"OpenForBackup lmrtest_sdz1", "OpenDevice lmrtest_sdz1"}));

    mock->setAnswer(MockUDisks::Fail);
    r = AccessBroker::openForReading(kCard, object, bus());
    EXPECT_EQ(r.outcome, AccessBroker::Failed);
    EXPECT_TRUE(r.detail.contains(QStringLiteral("busy"))) << r.detail.toStdString();

    // A device the service does not know.
    r = AccessBroker::openForReading(QStringLiteral("/dev/lmrtest-unknown"), QString(), bus());
    EXPECT_EQ(r.outcome, AccessBroker::NotNeeded);  // nothing there: the scan says so

    // Image files and devices this process opens itself need no one.
    r = AccessBroker::openForReading(backing, QString(), bus());
    EXPECT_EQ(r.outcome, AccessBroker::NotNeeded);

    // No service on the bus, no bus at all.
    mock->stopServing();
    r = AccessBroker::openForReading(kCard, object, bus());
    EXPECT_EQ(r.outcome, AccessBroker::NoService);
    r = AccessBroker::openForReading(kCard, object, QDBusConnection(QStringLiteral("never-connected")));
    EXPECT_EQ(r.outcome, AccessBroker::NoService);
}

TEST_F(UDisksTest, DevicesThatComeAndGoAreSignalledOnceABurst) {
    DeviceWatcher watcher(bus(), nullptr);
    ASSERT_EQ(watcher.source(), DeviceWatcher::UDisks);
    struct {
        int n = 0;
        int count() const { return n; }
    } changed;
    QObject::connect(&watcher, &DeviceWatcher::changed, [&changed] { ++changed.n; });

    // A card brings a disk and its partitions: one signal for all.
    MockUDisks::Block b;
    b.device = QStringLiteral("/dev/lmrtest-sdx");
    b.size = 1 << 20;
    mock->addBlock(QStringLiteral("lmrtest_sdx"), b, true);
    b.device = QStringLiteral("/dev/lmrtest-sdx1");
    mock->addBlock(QStringLiteral("lmrtest_sdx1"), b, true);
    ASSERT_TRUE(pumpUntil([&] { return changed.count() > 0; }, 5000));
    pumpUntil([] { return false; }, 600);
    EXPECT_EQ(changed.count(), 1);

    mock->removeBlock(QStringLiteral("lmrtest_sdx1"));
    ASSERT_TRUE(pumpUntil([&] { return changed.count() > 1; }, 5000));
    bool listed = false;
    const auto volumes = lmrudisks::blockDevices(bus(), &listed);
    ASSERT_TRUE(listed);
    for (const auto &v : volumes) EXPECT_NE(v.devFile, "/dev/lmrtest-sdx1");

    // Without udisks2 the kernel's events are watched instead: at once
    // without a bus, once the bus has said so with one.
    mock->stopServing();
    DeviceWatcher fallback(QDBusConnection(QStringLiteral("never-connected")), nullptr);
    EXPECT_NE(fallback.source(), DeviceWatcher::UDisks);
    DeviceWatcher told(bus(), nullptr);
    EXPECT_TRUE(pumpUntil([&] { return told.source() != DeviceWatcher::UDisks; }, 5000));
}

TEST_F(UDisksTest, TheListFollowsTheSystemAndKeepsTheDevicesStillThere) {
    DeviceList list({}, [] { return DeviceManager::getDeviceList(); }, new DeviceWatcher(bus(), nullptr), nullptr);
    int changes = 0;
    QObject::connect(&list, &DeviceList::changed, [&changes] { ++changes; });
    ASSERT_EQ(list.devices().size(), 1);
    Device *card = list.at(0);
    card->setDescriptor(0);  // anything open: the device carries a descriptor
    ASSERT_GE(card->descriptor(), 0);

    // A second card comes: listed beside the first, which is the same object.
    MockUDisks::Block other;
    other.device = QStringLiteral("/dev/lmrtest-sdy1");
    other.size = 1000000000;
    other.label = QStringLiteral("TRIP");
    mock->addBlock(QStringLiteral("lmrtest_sdy1"), other, true);
    ASSERT_TRUE(pumpUntil([&] { return changes == 1; }));
    ASSERT_EQ(list.devices().size(), 2);
    EXPECT_EQ(list.at(0)->getName(), "lmrtest-sdy1 · TRIP · 1.0 GB");
    EXPECT_EQ(list.rowOf(card), 1);
    EXPECT_GE(card->descriptor(), 0);

    // Its label changes: the same device with its new name.
    other.label = QStringLiteral("HOLIDAY");
    mock->addBlock(QStringLiteral("lmrtest_sdy1"), other, true);
    ASSERT_TRUE(pumpUntil([&] { return changes == 2; }));
    Device *second = list.at(0);
    EXPECT_EQ(second->getName(), "lmrtest-sdy1 · HOLIDAY · 1.0 GB");

    // The first card goes: out of the list, its object still readable by a
    // scan that started on it.
    mock->removeBlock(QStringLiteral("lmrtest_sdz1"));
    ASSERT_TRUE(pumpUntil([&] { return changes == 3; }));
    EXPECT_FALSE(list.contains(card));
    EXPECT_EQ(card->getDevFile(), kCard);
    EXPECT_EQ(list.at(0), second);

    // Another card in its place is another device.
    MockUDisks::Block again;
    again.device = QString::fromLatin1(kCard);
    again.size = 2000000000;
    mock->addBlock(QStringLiteral("lmrtest_sdz1"), again, true);
    ASSERT_TRUE(pumpUntil([&] { return changes == 4; }));
    ASSERT_EQ(list.devices().size(), 2);
    EXPECT_NE(list.at(1), card);
    EXPECT_EQ(list.at(1)->descriptor(), -1);
}

TEST_F(UDisksTest, TheListFillsInWhenTheServiceAnswersAndASilentServiceHoldsNothingUp) {
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, '\0'));
    f.close();

    // The service does not answer: the list is made all the same, with the
    // image file, while the question is still out.
    mock->holdLists(true);
    DeviceList list({image}, false, nullptr);
    int changes = 0;
    QObject::connect(&list, &DeviceList::changed, [&changes] { ++changes; });
    ASSERT_TRUE(pumpUntil([&] { return mock->listsHeld() == 1; }, 5000));
    ASSERT_EQ(list.devices().size(), 1);
    EXPECT_EQ(list.at(0)->getName(), QStringLiteral("card.img"));
    EXPECT_TRUE(list.waiting());
    EXPECT_EQ(DeviceList::listsWaiting(), 1);
    Device *file = list.at(0);
    pumpUntil([] { return false; }, 200);
    EXPECT_EQ(changes, 0);

    // The answer comes: the card is listed before the image, which stays
    // the same object.
    mock->holdLists(false);
    ASSERT_TRUE(pumpUntil([&] { return changes == 1; }, 5000));
    ASSERT_EQ(list.devices().size(), 2);
    EXPECT_EQ(list.at(0)->getDevFile(), kCard);
    EXPECT_EQ(list.at(0)->getName(), "SanDisk Ultra · CAMERA (FAT32) · 31.9 GB");
    EXPECT_EQ(list.at(1), file);
    EXPECT_FALSE(list.waiting());
    EXPECT_EQ(DeviceList::listsWaiting(), 0);

    // Two questions in a row: the answer to the first, overtaken, is not
    // shown; the list changes once, as the last answer says.
    mock->holdLists(true);
    list.refresh();
    list.refresh();
    ASSERT_TRUE(pumpUntil([&] { return mock->listsHeld() == 2; }, 5000));
    mock->removeBlock(QStringLiteral("lmrtest_sdz1"), false);
    mock->holdLists(false);
    ASSERT_TRUE(pumpUntil([&] { return changes == 2; }, 5000));
    pumpUntil([] { return false; }, 200);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(list.devices(), QList<Device *>{file});

    // A list that goes before its answer comes: the answer finds nothing.
    mock->holdLists(true);
    {
        DeviceList gone({}, false, nullptr);
        ASSERT_TRUE(pumpUntil([&] { return mock->listsHeld() == 1; }, 5000));
        EXPECT_EQ(DeviceList::listsWaiting(), 1);
    }
    EXPECT_EQ(DeviceList::listsWaiting(), 0);
    mock->holdLists(false);
    pumpUntil([] { return false; }, 200);
}
