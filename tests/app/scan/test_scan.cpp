// The scan as the window runs it: the progress bridge's throttles, the
// control buttons, real scans of the demo volume with pause, resume, stop
// and restart, a volume that cannot be read, and closing the window while a
// scan runs.
#include "app_test_support.h"

#include "diagnosticlog.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "recovery/scansession.h"
#include "recovery/platform/linux_devices.h"

#include "engine/recovery_engine.h"

#include <QSet>
#include <QTemporaryDir>
#include <QSignalSpy>

#include <atomic>
#include <iostream>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace apptest;

namespace {

// The lines `body` writes to standard output.
template <typename F>
QStringList printedLines(F body) {
    return QString::fromStdString(lmrtest::stdoutOf(body)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A large sparse image (no file system: scanned whole), slow enough to
// pause, stop or close the window in the middle of its scan.
struct SparseImage {
    lmrtest::TempFile file{{}, "lmr-sparse"};
    QString path = QString::fromStdString(file.path());
    explicit SparseImage(qint64 bytes) {
        if (truncate(file.path().c_str(), bytes) != 0) path.clear();
    }
};

// What the object layer finds on `image` with `group`, without the window.
struct Reference : RecoveryCallback {
    // The last byte report of the last count().
    static quint64 &lastProceed() {
        static quint64 v = 0;
        return v;
    }
    QMutex lock;
    int finds = 0;
    void onRecovered(FileRecoveredInfo *info) override {
        QMutexLocker hold(&lock);
        if (info->getLen() != 0) ++finds;
        delete info;
    }
    void onProgress(float) override {}
    void onFinished() override {}
    void onFailed(int) override {}
    void onProceed(quint64 value, quint64) override { last = value; }
    std::atomic<quint64> last{0};

    static int count(const QString &image, const QString &group) {
        Reference r;
        Device *d = DeviceManager::deviceForPath(image);
        DeviceManager::setCurrentDevice(d);
        {
            FileRecovery recovery;
            recovery.setRecoveryCallback(&r);
            recovery.startGroup({group});
            recovery.finishValidation(-1);
        }
        DeviceManager::setCurrentDevice(nullptr);
        delete d;
        lastProceed() = r.last.load();
        return r.finds;
    }
};

QString text(MainWindow *w, const char *label) { return child<QLabel>(w, label)->text(); }

}  // namespace

TEST(ProgressBridge, ByteReportsAreShownInDecimalUnitsNeverPastTheTotalAndNothingGoesToStandardOutput) {
    Session s{QStringList()};
    MainWindow *w = s.w();
    const quint64 total = 1000000;
    const QStringList printed = printedLines([&] {
        emit w->session()->proceed(104857, total);
        EXPECT_EQ(text(w, "proceedLabel"), QStringLiteral("104.9 kB/1.0 MB"));
        // The last free cluster run of a volume may end past the input.
        emit w->session()->proceed(total + 512 * 1024, total);
        EXPECT_EQ(text(w, "proceedLabel"), QStringLiteral("1.0 MB/1.0 MB"));
    });
    EXPECT_EQ(printed, QStringList());
}

TEST(ProgressBridge, TheBarIsDrawnFromTheFirstPercent) {
    Session s{QStringList()};
    MainWindow *w = s.w();
    auto *bar = child<QProgressBar>(w, "recoveryProgress");
    const QImage empty = bar->grab().toImage();
    emit w->session()->progress(2);
    ASSERT_EQ(bar->value(), 2);
    const QImage two = bar->grab().toImage();
    // 2% of the bar, painted: its left end differs from the empty bar's,
    // its middle does not.
    const int y = two.height() / 2;
    EXPECT_NE(two.pixel(3, y), empty.pixel(3, y));
    EXPECT_EQ(two.pixel(two.width() / 2, y), empty.pixel(two.width() / 2, y));
}

TEST(ProgressBridge, HundredPercentWaitsForTheEndOfTheScan) {
    Session s{QStringList()};
    MainWindow *w = s.w();
    emit w->session()->progress(13);
    EXPECT_EQ(text(w, "progressLabel"), QStringLiteral("13%"));
    EXPECT_EQ(child<QProgressBar>(w, "recoveryProgress")->value(), 13);
}

TEST(ScanControls, ButtonsFollowTheScanAndDoNothingWithoutOne) {
    SparseImage big(qint64(8) << 30);
    ASSERT_FALSE(big.path.isEmpty());
    Session s({big.path});
    MainWindow *w = s.w();
    // Without a scan the controls change nothing.
    for (const char *b : {"pauseBtn", "resumeBtn", "stopBtn"}) QMetaObject::invokeMethod(w, (std::string("on_") + b + "_clicked").c_str());
    EXPECT_FALSE(w->scanRunning());
    EXPECT_EQ(w->liveScans(), 0);

    auto *drives = child<QTreeView>(w, "driveTreeView");
    clickCell(drives, driveRow(w, QFileInfo(big.path).fileName()), 0);
    click(w, "nextBtn");
    click(w, "scanBtn");
    auto state = [w] {
        std::string s;
        for (const char *b : {"pauseBtn", "resumeBtn", "stopBtn", "startBtn"}) s += shown(w, b) ? '1' : '0';
        return s;
    };
    EXPECT_EQ(state(), "1010");  // running
    // Wait for the engine to be scanning before pausing it.
    ASSERT_TRUE(lmrtest::pumpUntil([w] { return !text(w, "proceedLabel").isEmpty(); }, 20000));
    click(w, "pauseBtn");
    EXPECT_EQ(state(), "0110");  // paused
    lmrtest::pumpUntil([] { return false; }, 300);
    const QString pausedAt = text(w, "proceedLabel");
    lmrtest::pumpUntil([] { return false; }, 300);
    EXPECT_EQ(text(w, "proceedLabel"), pausedAt) << "the scan went on while paused";
    click(w, "resumeBtn");
    EXPECT_EQ(state(), "1010");
    click(w, "pauseBtn");
    // Stop while paused ends the scan.
    click(w, "stopBtn");
    EXPECT_EQ(state(), "0001");  // ended
    EXPECT_FALSE(w->scanRunning());
    EXPECT_TRUE(lmrtest::pumpUntil([w] { return w->liveScans() == 0; }, 30000));
    // Start begins a fresh scan, which is not paused.
    click(w, "startBtn");
    EXPECT_EQ(state(), "1010");
    const QString before = text(w, "proceedLabel");
    EXPECT_TRUE(lmrtest::pumpUntil([&] { return text(w, "proceedLabel") != before; }, 20000));
    click(w, "stopBtn");
    EXPECT_TRUE(lmrtest::pumpUntil([w] { return w->liveScans() == 0; }, 30000));
}

TEST(RealScan, DemoVolumeFindsWhatTheObjectLayerFindsAcrossStopAndRestart) {
    ASSERT_TRUE(DemoVolume::get().ok());
    const int expected = Reference::count(DemoVolume::get().image, ScanGroups::members(QStringLiteral("all")).join(QLatin1Char(',')));
    const quint64 lastReport = Reference::lastProceed();
    ASSERT_GE(expected, DemoVolume::get().deleted.size());

    Session s;
    MainWindow *w = s.w();
    s.startScan();
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() == expected; }, 20000)) << s.totalRows();
    EXPECT_EQ(text(w, "successLabel"), QStringLiteral("已扫描到%1个文件").arg(expected));
    EXPECT_EQ(text(w, "progressLabel"), QStringLiteral("100%"));
    // The end of the last free region, even when the throttle held it.
    EXPECT_EQ(text(w, "proceedLabel"),
              QStringLiteral("%1/41.9 MB").arg(lmrplatform::decimalSize(qint64(qMin<quint64>(lastReport, 40 << 20)))));
    EXPECT_EQ(child<QProgressBar>(w, "recoveryProgress")->value(), 100);

    // Stopped at once, then started again: the tables are cleared and the
    // new scan finds everything again, once.
    click(w, "startBtn");
    click(w, "stopBtn");
    ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->liveScans() == 0; }, 30000));
    click(w, "startBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() == expected; }, 20000)) << s.totalRows();
    lmrtest::pumpUntil([] { return false; }, 200);
    EXPECT_EQ(s.totalRows(), expected);
    EXPECT_EQ(text(w, "successLabel"), QStringLiteral("已扫描到%1个文件").arg(expected));

    // The image group finds only pictures.
    click(w, "backBtn");
    child<QRadioButton>(w, "radioImage")->setChecked(true);
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    const int pictures = Reference::count(DemoVolume::get().image, SuffixUtils::categoryTypes(SuffixUtils::Pictures).join(QLatin1Char(',')));
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.rows(0) == pictures; }, 20000));
    EXPECT_EQ(s.totalRows(), pictures);
}

TEST(RealScan, AVolumeThatCannotBeReadIsSaidSo) {
    SparseImage gone(1 << 20);
    Session s({gone.path});
    MainWindow *w = s.w();
    QFile::remove(gone.path);  // listed, then gone before the scan
    clickCell(child<QTreeView>(w, "driveTreeView"), driveRow(w, QFileInfo(gone.path).fileName()), 0);
    click(w, "nextBtn");
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    EXPECT_TRUE(s.prompts.messages.first().startsWith(QStringLiteral("无法读取所选分区"))) << s.prompts.messages.first().toStdString();
    EXPECT_TRUE(s.prompts.messages.first().contains(gone.path));
    EXPECT_EQ(s.totalRows(), 0);
}

TEST(RealScan, ClosingTheWindowMidScanStopsAndWaitsForTheScan) {
    SparseImage big(qint64(8) << 30);
    ASSERT_TRUE(DemoVolume::get().ok());
    for (int round = 0; round < 3; ++round) {
        Session s({big.path, DemoVolume::get().image});
        MainWindow *w = s.w();
        // A scan with finds in flight, then one that is mid-way.
        s.startScan();
        click(w, "backBtn");  // stops it: page 1
        click(w, "backBtn");  // page 0
        clickCell(child<QTreeView>(w, "driveTreeView"), driveRow(w, QFileInfo(big.path).fileName()), 0);
        click(w, "nextBtn");
        click(w, "scanBtn");
        lmrtest::pumpUntil([w] { return !text(w, "proceedLabel").isEmpty(); }, 5000 * round);
        s.close();  // must not crash or leave a thread reporting into freed memory
    }
    EXPECT_TRUE(FileValidationThread::waitForAll(1000));
}

TEST(ScanEnd, ShownOnlyOnceEveryFindIsListedEvenWhenTheListingIsSlow) {
    ASSERT_TRUE(DemoVolume::get().ok());
    const int expected = Reference::count(DemoVolume::get().image, ScanGroups::members(QStringLiteral("all")).join(QLatin1Char(',')));
    ASSERT_GT(expected, 1);
    Session s;
    MainWindow *w = s.w();
    w->setListingPace(1);  // one find per turn of the event loop
    s.startScan();
    // The progress starts again from nothing.
    EXPECT_EQ(text(w, "progressLabel"), QStringLiteral("0%"));
    int endTooEarly = 0;
    ASSERT_TRUE(lmrtest::pumpUntil(
        [&] {
            const bool endShown = shown(w, "startBtn") || text(w, "progressLabel") == QStringLiteral("100%");
            if (endShown && s.totalRows() != expected) ++endTooEarly;
            return endShown && w->liveScans() == 0;
        },
        60000));
    EXPECT_EQ(endTooEarly, 0) << "the end was shown before every find was listed";
    EXPECT_EQ(s.totalRows(), expected);
    EXPECT_EQ(w->findsPending(), 0);
    EXPECT_EQ(text(w, "progressLabel"), QStringLiteral("100%"));
    EXPECT_EQ(text(w, "successLabel"), QStringLiteral("已扫描到%1个文件").arg(expected));
}

TEST(ScanEnd, AScanStoppedWithFindsQueuedAndRestartedAtOnceListsExactlyItsOwnFinds) {
    ASSERT_TRUE(DemoVolume::get().ok());
    const int expected = Reference::count(DemoVolume::get().image, ScanGroups::members(QStringLiteral("all")).join(QLatin1Char(',')));
    ASSERT_GT(expected, 1);
    Session s;
    MainWindow *w = s.w();
    w->setListingPace(1);
    s.startScan();
    // Finds are queued, not all listed, when the scan is stopped and a new
    // one started at once.
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return w->findsPending() > 0; }, 30000));
    click(w, "stopBtn");
    w->setListingPace(0);
    click(w, "startBtn");
    EXPECT_EQ(s.totalRows(), 0);
    EXPECT_EQ(text(w, "progressLabel"), QStringLiteral("0%"));
    ASSERT_TRUE(s.waitEnded());
    lmrtest::pumpUntil([] { return false; }, 300);
    EXPECT_EQ(s.totalRows(), expected);
    QSet<QString> names;
    for (int k = 0; k < 5; ++k)
        for (FileRecoveredInfo *r : *w->category(k)->getInfos()) {
            EXPECT_EQ(r->getScan(), w->session()->currentScan()) << qPrintable(r->getName());
            names.insert(r->getName());
        }
    EXPECT_EQ(names.size(), expected) << "a find is listed twice";
}

TEST(RealScan, AnInputEmptiedAfterItWasListedSaysNothingWasThere) {
    // An empty file named on the command line goes no further than the
    // list (see the drive page's tests); one emptied after it was listed is
    // said to hold nothing when its scan ends.
    SparseImage empty(4096);
    Session s({empty.path});
    MainWindow *w = s.w();
    const int row = driveRow(w, QFileInfo(empty.path).fileName());
    ASSERT_GE(row, 0);
    clickCell(child<QTreeView>(w, "driveTreeView"), row, 0);
    click(w, "nextBtn");
    ASSERT_EQ(::truncate(QFile::encodeName(empty.path).constData(), 0), 0);
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    EXPECT_TRUE(s.prompts.messages.first().contains(QStringLiteral("没有可扫描的内容")))
        << s.prompts.messages.first().toStdString();
    EXPECT_EQ(s.totalRows(), 0);
}

TEST(RealScan, TheEnginesLinesGoToTheLogNotToStandardOutput) {
    ASSERT_TRUE(DemoVolume::get().ok());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("logs/scan.log"));
    const QStringList printed = printedLines([&] {
        Session s;
        s.w()->setLogFile(log);
        EXPECT_EQ(s.w()->logFile(), log);
        s.startScan();
        ASSERT_TRUE(s.waitEnded());
        s.close();
    });
    EXPECT_EQ(printed, QStringList());
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "the log's folder is made as it is opened";
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_GT(lines.size(), 1);
    EXPECT_TRUE(lines.first().startsWith(QStringLiteral("-- ")) && lines.first().endsWith(DemoVolume::get().image))
        << lines.first().toStdString();
    // Without --log, the user's cache.
    EXPECT_TRUE(DiagnosticLog::defaultPath().endsWith(QStringLiteral("/lumarek/lumarek-recovery.log")));
}

namespace {
// Sectors 64 to 67 of every input fail to read, as on a worn card.
int64_t fourBadSectors(int fd, void *buf, uint64_t count, uint64_t offset) {
    if (offset < 68 * 512 && offset + count > 64 * 512) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buf, count, off_t(offset));
}
}  // namespace

TEST(RealScan, UnreadableSectorsAreCountedAtTheEnd) {
    SparseImage image(1 << 20);
    const input_pread_fn saved = set_input_pread(fourBadSectors);
    Session s({image.path});
    MainWindow *w = s.w();
    clickCell(child<QTreeView>(w, "driveTreeView"), driveRow(w, QFileInfo(image.path).fileName()), 0);
    click(w, "nextBtn");
    click(w, "scanBtn");
    const bool ended = s.waitEnded();
    set_input_pread(saved);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    EXPECT_EQ(EngineControl::lastRunUnreadableSectors(), 4u);
    EXPECT_TRUE(s.prompts.messages.first().contains(QStringLiteral("有4个扇区无法读取")))
        << s.prompts.messages.first().toStdString();
}
