// The recovery controller on real picture files: what it hands the engine,
// how a run ends, and how its finds are reported.
#include "qt_test_support.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

using namespace lmrtest;

namespace {

// The test's probe: reports a file wherever the table says one starts, so
// the controller's behaviour is tested apart from the format probes.
std::map<uint64_t, uint64_t> g_files;

uint64_t tableProbe(recovery_state *, search_spec_entry *, const unsigned char *, int32_t, uint64_t offset, uint64_t,
                    int32_t *found) {
    auto it = g_files.find(offset);
    if (it == g_files.end()) return 0;
    *found = 1;
    return it->second;
}

// Type keys of jpg, gif and png in the signature table.
const int kKeys[] = {0, 1, 24};

struct Recorder : RecoveryCallback {
    QMutex lock;
    QStringList names;
    std::vector<Qt::HANDLE> recoveredThreads;
    int finished = 0;
    Qt::HANDLE finishedThread = nullptr;
    std::vector<int> failures;
    std::atomic<int> progressAfterStop{0};
    std::atomic<bool> stopCalled{false};
    std::atomic<int> proceeds{0};
    std::function<void()> onFirstProceed;

    void onRecovered(FileRecoveredInfo *info) override {
        QMutexLocker l(&lock);
        names << info->getName();
        recoveredThreads.push_back(QThread::currentThreadId());
        delete info;
    }
    void onProgress(float) override {
        if (stopCalled) ++progressAfterStop;
    }
    void onFinished() override {
        QMutexLocker l(&lock);
        ++finished;
        finishedThread = QThread::currentThreadId();
    }
    void onFailed(int code) override {
        QMutexLocker l(&lock);
        failures.push_back(code);
    }
    void onProceed(quint64, quint64) override {
        if (stopCalled) ++progressAfterStop;
        if (proceeds++ == 0 && onFirstProceed) onFirstProceed();
    }
};

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        for (int k : kKeys) saved_[k] = register_probe(k, tableProbe);
        g_files.clear();
        EngineControl::setWholeInput(true);  // plain image files: no file system
    }
    void TearDown() override {
        for (int k : kKeys) register_probe(k, saved_[k]);
        DeviceManager::setCurrentDevice(nullptr);
        EngineControl::setWholeInput(false);
        set_callbacks(nullptr, nullptr, nullptr, nullptr);
        // Every validation thread ends and is deleted once.
        EXPECT_TRUE(pumpUntil([] { return FileValidationThread::liveCount() == 0; }));
    }

    // A volume of `size` bytes with the three sample pictures placed at
    // 512-byte offsets; the table probe knows where they are.
    void buildVolume(size_t size = 64 * 1024) {
        volume_.assign(size, 0);
        place("jpg_jfif_baseline_01.jpg", 512);
        place("gif87a_2colour.gif", 40960);
        place("png_small_01.png", 46080);
        file_ = std::make_unique<TempFile>(volume_, "ctl");
        device_.setDevFile(QString::fromStdString(file_->path()));
        device_.totalSize = qint64(volume_.size());
    }
    void place(const char *name, size_t at) {
        Bytes b = read_file(data_path(std::string("recovery/") + name));
        ASSERT_FALSE(b.empty());
        ASSERT_LE(at + b.size(), volume_.size());
        std::copy(b.begin(), b.end(), volume_.begin() + long(at));
        g_files[at] = b.size();
    }
    // Runs startGroup and lets every find be reported.
    void run(FileRecovery &rec, const QStringList &groups) {
        DeviceManager::setCurrentDevice(&device_);
        rec.startGroup(groups);
        rec.finishValidation(10000);
    }

    probe_fn saved_[64] = {};
    Bytes volume_;
    std::unique_ptr<TempFile> file_;
    Device device_;
};

}  // namespace

TEST_F(Controller, GroupStringsSelectTheTypesSearched) {
    buildVolume();
    {
        Recorder cb;
        FileRecovery rec;
        rec.setRecoveryCallback(&cb);
        run(rec, {IMAGE_SUFFIXES});
        EXPECT_EQ(cb.names, (QStringList{"IMG_1512.jpg", "image_315x208_40960.gif", "image_27x29_46080.png"}));
        EXPECT_EQ(cb.finished, 1);
        EXPECT_TRUE(rec.needClean());
        // Reported on the validation thread, not on the scanning one.
        for (Qt::HANDLE h : cb.recoveredThreads) EXPECT_NE(h, QThread::currentThreadId());
    }
    {
        Recorder cb;
        FileRecovery rec;
        rec.setRecoveryCallback(&cb);
        run(rec, {"jpg", "png"});
        EXPECT_EQ(cb.names, (QStringList{"IMG_1512.jpg", "image_27x29_46080.png"}));
    }
    {
        // An empty list is not "everything": nothing is searched, the run ends.
        Recorder cb;
        FileRecovery rec;
        rec.setRecoveryCallback(&cb);
        run(rec, {});
        EXPECT_TRUE(cb.names.isEmpty());
        EXPECT_EQ(cb.finished, 1);
        EXPECT_EQ(EngineControl::lastRunOutcome(), EngineControl::NothingToSearch);
    }
}

TEST_F(Controller, RunsThatCannotStartReportFailure) {
    Recorder cb;
    FileRecovery rec;
    rec.setRecoveryCallback(&cb);
    DeviceManager::setCurrentDevice(nullptr);
    rec.startAll();
    EXPECT_EQ(cb.failures, std::vector<int>{NoCurrentDevice});
    EXPECT_EQ(cb.finished, 0);
    EXPECT_FALSE(rec.needClean());

    Device missing;
    missing.setDevFile("/nonexistent/lumarek/volume.img");
    DeviceManager::setCurrentDevice(&missing);
    rec.startAll();
    EXPECT_EQ(cb.failures, (std::vector<int>{NoCurrentDevice, CannotOpenVolume}));
    EXPECT_EQ(cb.finished, 0);
    DeviceManager::setCurrentDevice(nullptr);
}

TEST_F(Controller, StopWithNotifyReportsOneFinishFromTheCaller) {
    buildVolume(4 << 20);
    Recorder cb;
    FileRecovery rec;
    rec.setRecoveryCallback(&cb);
    // The scan waits at its first block until the stop has been made from
    // this thread.
    std::mutex m;
    std::condition_variable cv;
    bool scanning = false, stopDone = false;
    cb.onFirstProceed = [&] {
        std::unique_lock<std::mutex> l(m);
        scanning = true;
        cv.notify_all();
        cv.wait(l, [&] { return stopDone; });
    };
    DeviceManager::setCurrentDevice(&device_);
    std::thread scan([&] { rec.startGroup({IMAGE_SUFFIXES}); });
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return scanning; });
    }
    cb.stopCalled = true;
    rec.stop(true);
    rec.stop(true);  // a second stop does nothing
    EXPECT_EQ(cb.finished, 1);
    EXPECT_EQ(cb.finishedThread, QThread::currentThreadId());
    {
        std::lock_guard<std::mutex> l(m);
        stopDone = true;
    }
    cv.notify_all();
    scan.join();
    EXPECT_EQ(cb.finished, 1);  // the end of the run adds none
    EXPECT_EQ(cb.progressAfterStop, 0);
    EXPECT_EQ(EngineControl::lastRunOutcome(), EngineControl::Stopped);
    rec.finishValidation(10000);
    // The jpg at the first block may or may not have been reported; nothing
    // later was scanned.
    EXPECT_LE(cb.names.size(), 1);
}

TEST_F(Controller, StopWithoutNotifyReportsNoFinish) {
    buildVolume(4 << 20);
    Recorder cb;
    FileRecovery rec;
    rec.setRecoveryCallback(&cb);
    cb.onFirstProceed = [&] {
        cb.stopCalled = true;
        rec.stop(false);
    };
    run(rec, {IMAGE_SUFFIXES});
    EXPECT_EQ(cb.finished, 0);
    EXPECT_EQ(cb.progressAfterStop, 0);
}

// The controller's pause and stop are its own: a pause before its first
// start is ignored, and neither the engine's process-wide words nor another
// controller's stop reach its run.
TEST_F(Controller, PauseBeforeTheFirstStartIsIgnoredAndPauseAndStopAreTheControllersOwn) {
    buildVolume();
    Recorder cb;
    FileRecovery rec;
    rec.setRecoveryCallback(&cb);
    rec.pause();
    FileRecovery other;
    other.stop(false);
    signal_pause = 1;
    std::atomic<bool> done{false};
    std::thread scan([&] {
        run(rec, {IMAGE_SUFFIXES});
        done = true;
    });
    const bool ended = pumpUntil([&] { return done.load(); }, 20000);
    if (!ended) rec.resume();  // do not leave the scan hanging
    scan.join();
    signal_pause = 0;
    EXPECT_TRUE(ended) << "the run was paused";
    EXPECT_EQ(rec.lastOutcome(), EngineControl::Scanned);
    EXPECT_EQ(cb.names.size(), 3);
    EXPECT_EQ(cb.finished, 1);
}

namespace {
struct ExportRecorder : ExportCallback {
    QStringList events;
    std::vector<float> progress;
    void onExportBegin(FileRecoveredInfo *i) override { events << "begin " + i->getName(); }
    void onExportProgress(float p) override { progress.push_back(p); }
    void onExportSucceeded(FileRecoveredInfo *i) override { events << "ok " + i->getName(); }
    void onExportFailed(FileRecoveredInfo *i) override { events << "failed " + i->getName(); }
    void onExportFinished() override { events << "finished"; }
};
}  // namespace

TEST_F(Controller, ExportInfoReportsEachRecordAndTheEnd) {
    buildVolume();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QList<FileRecoveredInfo *> records;
    for (uint64_t off : {512, 40960, 46080, 999999}) {
        records << FileRecoveredInfo::newRecoveredInfo(makeInfo(file_->path(), off, off == 999999 ? 10 : g_files[off], "pdf"));
        records.back()->genName();
    }
    ExportRecorder ecb;
    FileRecovery rec;
    rec.setExportCallback(&ecb);
    rec.exportInfo({});
    EXPECT_EQ(ecb.events, QStringList{"finished"});

    ecb.events.clear();
    rec.setExportPath(dir.path());
    rec.setExportPath("");
    rec.exportInfo(records);
    EXPECT_EQ(ecb.events, (QStringList{"begin file512.pdf", "ok file512.pdf", "begin file40960.pdf", "ok file40960.pdf",
                                       "begin file46080.pdf", "ok file46080.pdf", "begin file999999.pdf",
                                       "failed file999999.pdf", "finished"}));
    EXPECT_EQ(ecb.progress, (std::vector<float>{0, 25, 50, 75}));
    EXPECT_EQ(read_file((dir.path() + "/file40960.pdf").toStdString()), read_file(data_path("recovery/gif87a_2colour.gif")));
    qDeleteAll(records);
}
