// The window with udisks2 (a stand-in service on a private bus, the
// program's system bus here): devices listed by their names and kept up to
// date as cards come and go, a scan through the descriptor the service
// hands out, a refused authorisation, no service to ask, and a card taken
// out mid-scan.
#include "results/sample_finds.h"
#include "support/mock_udisks.h"

#include "recovery/udisks.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <unistd.h>

using namespace apptest;
using lmrtest::MockUDisks;

namespace {

const char *const kCard = "/dev/lmrtest-sdz1";  // no such file: only the service can open it
const QString kCardName = QString::fromUtf8("SanDisk Ultra · LMRDEMO (FAT32) · 41.9 MB · 可移动");

struct Hotplug : ::testing::Test {
    void SetUp() override {
        if (!lmrtest::PrivateBus::system().ok()) GTEST_SKIP() << "dbus-daemon missing (scripts/setup installs it)";
        ASSERT_TRUE(DemoVolume::get().ok());
        udisks.reset(new MockUDisks(lmrtest::PrivateBus::system()));
        ASSERT_TRUE(udisks->ok());
        udisks->addDrive(QStringLiteral("card"), {QStringLiteral("SanDisk"), QStringLiteral("Ultra"), true,
                                                  QStringLiteral("usb")});
        udisks->addBlock(QStringLiteral("lmrtest_sdz1"), card());
        forget_input_descriptor(nullptr);
    }
    void TearDown() override {
        udisks.reset();
        forget_input_descriptor(nullptr);
    }
    static MockUDisks::Block card() {
        MockUDisks::Block b;
        b.device = QString::fromLatin1(kCard);
        b.size = quint64(QFileInfo(DemoVolume::get().image).size());
        b.label = QStringLiteral("LMRDEMO");
        b.type = QStringLiteral("vfat");
        b.version = QStringLiteral("FAT32");
        b.drive = QStringLiteral("card");
        b.backing = DemoVolume::get().image;
        return b;
    }
    static QStringList rows(MainWindow *w) {
        auto *view = child<QTreeView>(w, "driveTreeView");
        QStringList names;
        for (int r = 0; r < view->model()->rowCount(); ++r) names << view->model()->index(r, 0).data().toString();
        return names;
    }
    // From the drive page to a scan of everything on the row named `name`.
    static void scan(Session &s, const QString &name) {
        const int row = driveRow(s.w(), name);
        ASSERT_GE(row, 0) << name.toStdString();
        clickCell(child<QTreeView>(s.w(), "driveTreeView"), row, 0);
        click(s.w(), "nextBtn");
        click(s.w(), "scanBtn");
    }

    std::unique_ptr<MockUDisks> udisks;
};

// Scan reads that take their time, so that a card can be taken out mid-way.
std::atomic<int> g_readDelayMs{0};
int64_t slowPread(int fd, void *buffer, uint64_t count, uint64_t offset) {
    if (g_readDelayMs.load()) usleep(useconds_t(g_readDelayMs.load()) * 1000);
    return ::pread(fd, buffer, size_t(count), off_t(offset));
}

}  // namespace

TEST_F(Hotplug, TheCardIsListedByItsNameAndScannedThroughTheDescriptorHandedOut) {
    // What a scan of the image by its path finds.
    int expected = 0;
    {
        Session byPath;
        byPath.startScan();
        ASSERT_TRUE(byPath.waitEnded());
        lmrtest::pumpUntil([] { return false; }, 200);
        expected = byPath.totalRows();
        ASSERT_GT(expected, 10);
    }

    Session s{QStringList()};
    EXPECT_EQ(rows(s.w()), QStringList{kCardName});
    EXPECT_EQ(child<QTreeView>(s.w(), "driveTreeView")->model()->index(0, 0).data(Qt::ToolTipRole).toString(),
              QString::fromLatin1(kCard));
    scan(s, kCardName);
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() == expected; }, 20000)) << s.totalRows();
    EXPECT_TRUE(s.prompts.messages.isEmpty()) << s.prompts.messages.join("; ").toStdString();
    EXPECT_EQ(udisks->requests(), QStringList{"OpenForBackup lmrtest_sdz1"});
    EXPECT_EQ(s.w()->category(0)->getInfos()->first()->getDevFile(), QString::fromLatin1(kCard));

    // A second scan of the same card asks no one again.
    click(s.w(), "startBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() == expected; }, 20000));
    EXPECT_EQ(udisks->requests().size(), 1);

    // A find is saved from the card, with the bytes the image holds there.
    clickCell(table(s.w(), 0), 0, 1);
    QTemporaryDir out;
    s.prompts.folder = out.path();
    s.save();
    EXPECT_EQ(s.prompts.messages, QStringList{QStringLiteral("已保存1个文件到%1").arg(QDir::toNativeSeparators(out.path()))});
    FileRecoveredInfo *first = s.w()->category(0)->getInfos()->first();
    QFile saved(out.filePath(first->getName())), image(DemoVolume::get().image);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly) && image.open(QIODevice::ReadOnly));
    image.seek(first->getOffset());
    EXPECT_TRUE(saved.readAll() == image.read(first->getLen()));
}

TEST_F(Hotplug, ARefusedAuthorisationSaysHowElseToGetAccess) {
    udisks->setAnswer(MockUDisks::Refuse);
    Session s{QStringList()};
    scan(s, kCardName);
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    const QString said = s.prompts.messages.first();
    EXPECT_TRUE(said.startsWith(QStringLiteral("无法读取所选分区 %1。\n没有得到读取该分区的授权").arg(kCard)))
        << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("sudo")) && said.contains(QStringLiteral("disk 用户组")));
    EXPECT_EQ(s.totalRows(), 0);
    EXPECT_EQ(has_input_descriptor(kCard), 0);

    // Asked again on the next try, which the person may allow.
    udisks->setAnswer(MockUDisks::Grant);
    s.prompts.messages.clear();
    click(s.w(), "startBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() > 10; }, 20000));
    EXPECT_TRUE(s.prompts.messages.isEmpty());
    EXPECT_EQ(udisks->requests().size(), 2);
}

TEST_F(Hotplug, WithoutTheDiskServiceTheMessageSaysHowToGetAccess) {
    Session s{QStringList()};
    ASSERT_GE(driveRow(s.w(), kCardName), 0);
    udisks->stopServing();
    scan(s, kCardName);
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    const QString said = s.prompts.messages.first();
    EXPECT_TRUE(said.contains(QStringLiteral("udisks2"))) << said.toStdString();
    EXPECT_TRUE(said.contains(QStringLiteral("sudo")) && said.contains(QStringLiteral("disk 用户组")));
    EXPECT_EQ(s.totalRows(), 0);
}

TEST_F(Hotplug, CardsThatComeAndGoAreListedWithoutARefreshAndTheChosenRowStays) {
    Session s{QStringList{DemoVolume::get().image}};
    MainWindow *w = s.w();
    const QString image = QFileInfo(DemoVolume::get().image).fileName();
    ASSERT_EQ(rows(w).size(), 2);
    auto *view = child<QTreeView>(w, "driveTreeView");
    clickCell(view, driveRow(w, image), 0);

    // A card that sorts first comes in: the list grows, the image stays
    // chosen on its new row.
    MockUDisks::Block other;
    other.device = QStringLiteral("/dev/lmrtest-sda1");
    other.size = 8000000000ull;
    other.label = QStringLiteral("TRIP");
    other.type = QStringLiteral("exfat");
    udisks->addBlock(QStringLiteral("lmrtest_sda1"), other, true);
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return rows(w).size() == 3; }, 5000));
    EXPECT_EQ(rows(w).first(), QString::fromUtf8("lmrtest-sda1 · TRIP (exFAT) · 8.0 GB"));
    EXPECT_TRUE(view->currentIndex().data().toString().startsWith(image));
    click(w, "nextBtn");
    EXPECT_TRUE(DeviceManager::getCurrentDevice() == nullptr);  // chosen, not yet scanned
    click(w, "backBtn");

    // The card goes again, and so does the one chosen now: nothing stays
    // chosen.
    clickCell(view, driveRow(w, kCardName), 0);
    udisks->removeBlock(QStringLiteral("lmrtest_sda1"));
    udisks->removeBlock(QStringLiteral("lmrtest_sdz1"));
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return rows(w).size() == 1; }, 5000));
    EXPECT_TRUE(rows(w).first().startsWith(image));
    click(w, "nextBtn");
    EXPECT_EQ(s.prompts.messages, QStringList{QStringLiteral("请先选择要恢复的分区！")});
}

TEST_F(Hotplug, ACardTakenOutMidScanEndsTheScanAndItsFindsStay) {
    Session s{QStringList()};
    input_pread_fn previous = set_input_pread(slowPread);
    g_readDelayMs.store(150);
    scan(s, kCardName);
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() > 0; }, 30000));
    EXPECT_TRUE(shown(s.w(), "stopBtn"));

    udisks->removeBlock(QStringLiteral("lmrtest_sdz1"));
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    g_readDelayMs.store(0);
    ASSERT_TRUE(s.waitEnded());
    set_input_pread(previous);
    const QString said = s.prompts.messages.first();
    EXPECT_TRUE(said.startsWith(QString::fromUtf8("所选分区 SanDisk Ultra · LMRDEMO (FAT32) · 41.9 MB 已被移除，扫描已停止。")))
        << said.toStdString();
    EXPECT_TRUE(rows(s.w()).isEmpty());
    EXPECT_TRUE(shown(s.w(), "startBtn"));

    // What was found before stays listed, and can be saved.
    lmrtest::pumpUntil([] { return false; }, 300);
    const int found = s.totalRows();
    EXPECT_GT(found, 0);
    RecoveryCategory *c = nullptr;
    int k = 0;
    for (; k < 5 && !c; ++k)
        if (s.rows(k) > 0) c = s.w()->category(k);
    ASSERT_TRUE(c);
    showCategory(s.w(), k - 1);
    clickCell(table(s.w(), k - 1), 0, 1);
    QTemporaryDir out;
    s.prompts.folder = out.path();
    s.prompts.messages.clear();
    s.save();
    EXPECT_EQ(s.prompts.messages, QStringList{QStringLiteral("已保存1个文件到%1").arg(QDir::toNativeSeparators(out.path()))});
    EXPECT_EQ(s.totalRows(), found);
}

TEST_F(Hotplug, EachRowSaysWhatTheDeviceIs) {
    udisks->addDrive(QStringLiteral("ssd"), {QStringLiteral("ATA"), QStringLiteral("Samsung SSD 860 EVO 500GB"), false,
                                             QString()});
    udisks->addDrive(QStringLiteral("stick"), {QStringLiteral("Kingston"), QStringLiteral("DataTraveler 3.0"), true,
                                               QStringLiteral("usb")});
    auto add = [this](const char *name, const char *dev, quint64 size, const char *label, const char *type,
                      const char *version, const char *drive) {
        MockUDisks::Block b;
        b.device = QString::fromLatin1(dev);
        b.size = size;
        b.label = QString::fromUtf8(label);
        b.type = QString::fromLatin1(type);
        b.version = QString::fromLatin1(version);
        b.drive = QString::fromLatin1(drive);
        udisks->addBlock(QString::fromLatin1(name), b);
    };
    add("lmrtest_sda", "/dev/lmrtest-sda", 500107862016ull, "", "", "", "ssd");
    add("lmrtest_sda1", "/dev/lmrtest-sda1", 536870912ull, "", "vfat", "FAT32", "ssd");
    add("lmrtest_sda2", "/dev/lmrtest-sda2", 499570991104ull, "home", "ext4", "1.0", "ssd");
    add("lmrtest_sdc1", "/dev/lmrtest-sdc1", 15518924800ull, "BACKUP", "exfat", "1.0", "stick");
    add("lmrtest_sdd1", "/dev/lmrtest-sdd1", 7948206080ull, "旅行照片", "vfat", "FAT32", "stick");

    DemoVolume::get();
    Session s{QStringList{DemoVolume::get().image}};
    EXPECT_EQ(rows(s.w()), (QStringList{
                               QString::fromUtf8("Samsung SSD 860 EVO 500GB · 500.1 GB"),
                               QString::fromUtf8("Samsung SSD 860 EVO 500GB · FAT32 · 536.9 MB"),
                               QString::fromUtf8("Samsung SSD 860 EVO 500GB · home (ext4) · 499.6 GB"),
                               QString::fromUtf8("Kingston DataTraveler 3.0 · BACKUP (exFAT) · 15.5 GB · 可移动"),
                               QString::fromUtf8("Kingston DataTraveler 3.0 · 旅行照片 (FAT32) · 7.9 GB · 可移动"),
                               kCardName,
                               QString::fromUtf8("demo-fat32.img · LMRDEMO (FAT32)"),
                           }));
    // A picture of the list, with LUMAREK_SCREENSHOTS=DIR (docs/lumarek-devices.png).
    const QString shots = qEnvironmentVariable("LUMAREK_SCREENSHOTS");
    if (!shots.isEmpty()) {
        clickCell(child<QTreeView>(s.w(), "driveTreeView"), 5, 0);
        lmrtest::pumpUntil([] { return false; }, 200);
        EXPECT_TRUE(s.w()->grab().save(QDir(shots).filePath(QStringLiteral("0-devices.png"))));
    }
}
