// The validation thread: order, discards, draining on stop, waking on each
// find, self-deletion.
#include "qt_test_support.h"

#include "recovery/filerecovery.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

using namespace lmrtest;

namespace {
struct Names : RecoveryCallback {
    QMutex lock;
    QStringList names;
    void onRecovered(FileRecoveredInfo *info) override {
        QMutexLocker l(&lock);
        names << info->getName();
        delete info;
    }
    void onProgress(float) override {}
    void onFinished() override {}
    void onFailed(int) override {}
    void onProceed(quint64, quint64) override {}
    int count() {
        QMutexLocker l(&lock);
        return names.size();
    }
};

QString pdfName(int i) { return QString("file%1.pdf").arg(i * 512); }

// Lets the GUI thread delete the finished threads.
bool allDeleted(int before) {
    return pumpUntil([&] { return FileValidationThread::liveCount() == before; });
}
}  // namespace

TEST(ValidationThread, DrainsItsQueueInOrderOnStopThenDeletesItself) {
    const int before = FileValidationThread::liveCount();
    Names cb;
    auto *t = new FileValidationThread(&cb, nullptr);
    for (int i = 1; i <= 10; ++i) t->addFile(makeInfo("/nonexistent", uint64_t(i) * 512, 100, "pdf"));
    t->addFile(makeInfo("/nonexistent", 99 * 512, 100, ""));  // no suffix: never reported
    t->stop();
    t->start();
    ASSERT_TRUE(FileValidationThread::waitForAll(5000));
    QStringList expected;
    for (int i = 1; i <= 10; ++i) expected << QString("file%1.pdf").arg(i * 512);
    EXPECT_EQ(cb.names, expected);
    EXPECT_TRUE(pumpUntil([&] { return FileValidationThread::liveCount() == before; }));
}

TEST(ValidationThread, IdleThreadEndsSoonAfterStop) {
    Names cb;
    auto *t = new FileValidationThread(&cb, nullptr);
    t->start();
    QThread::msleep(150);
    t->addFile(makeInfo("/nonexistent", 512, 100, "doc"));
    ASSERT_TRUE(pumpUntil([&] { return cb.count() == 1; }));
    t->stop();
    ASSERT_TRUE(FileValidationThread::waitForAll(5000));
    EXPECT_TRUE(pumpUntil([] { return FileValidationThread::liveCount() == 0; }));
}

TEST(ValidationThread, WithoutCallbackRecordsAreDiscarded) {
    auto *t = new FileValidationThread(nullptr, nullptr);
    for (int i = 0; i < 3; ++i) t->addFile(makeInfo("/nonexistent", 512, 100, "jpg"));
    t->stop();
    t->start();
    ASSERT_TRUE(FileValidationThread::waitForAll(5000));
    EXPECT_TRUE(pumpUntil([] { return FileValidationThread::liveCount() == 0; }));
}

TEST(ValidationThread, AFindQueuedToAnIdleThreadIsReportedWithoutAnotherToWakeIt) {
    // An idle thread waits for the next find: each of these is reported
    // while nothing else is queued and no stop comes.  (How soon is the
    // window's load benchmark's business, not a unit test's.)
    Names cb;
    auto *t = new FileValidationThread(&cb, nullptr);
    t->start();
    const int n = 5;
    for (int i = 1; i <= n; ++i) {
        QThread::msleep(25);  // the thread is idle again
        t->addFile(makeInfo("/nonexistent", uint64_t(i) * 512, 100, "pdf"));
        ASSERT_TRUE(pumpUntil([&] { return cb.count() == i; }, 10000)) << "find " << i << " never reported";
    }
    t->stop();
    ASSERT_TRUE(FileValidationThread::waitForAll(5000));
    EXPECT_TRUE(allDeleted(0));
}

TEST(ValidationThread, AStopRightAfterAFindStillReportsIt) {
    // On a thread that is running and idle, as between two finds of a scan
    // (and once on a thread that has not got to wait yet).
    for (int round = 0; round < 50; ++round) {
        Names cb;
        auto *t = new FileValidationThread(&cb, nullptr);
        t->start();
        if (round > 0) QThread::msleep(2);
        t->addFile(makeInfo("/nonexistent", 512, 100, "pdf"));
        t->stop();
        ASSERT_TRUE(FileValidationThread::waitForAll(5000)) << "round " << round << ": the stop went unseen";
        ASSERT_EQ(cb.names, QStringList{pdfName(1)}) << "round " << round;
    }
    EXPECT_TRUE(allDeleted(0));
}

TEST(ValidationThread, FindsQueuedBeforeARacingStopAreAllReportedInOrder) {
    // A scanning thread adds finds while another thread stops the
    // validation thread at a random moment.  Every find added before stop()
    // was called is reported, in order; any later one may be, or is freed.
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        Names cb;
        auto *t = new FileValidationThread(&cb, nullptr);
        t->start();
        const int total = 1 + int(rng() % 40);
        std::atomic<int> added{0};
        std::thread scan([&] {
            for (int i = 1; i <= total; ++i) {
                t->addFile(makeInfo("/nonexistent", uint64_t(i) * 512, 100, "pdf"));
                added.store(i);
                if (i % 7 == 0) std::this_thread::yield();
            }
        });
        const int spin = int(rng() % 2000);
        for (volatile int k = 0; k < spin; k = k + 1) {
        }
        const int before = added.load();
        t->stop();
        scan.join();
        ASSERT_TRUE(FileValidationThread::waitForAll(5000)) << "round " << round;
        QStringList expected;
        for (int i = 1; i <= cb.names.size(); ++i) expected << pdfName(i);
        ASSERT_GE(cb.names.size(), before) << "round " << round;
        ASSERT_EQ(cb.names, expected) << "round " << round;
        // Deleted before the next round, with whatever came too late.
        ASSERT_TRUE(allDeleted(0)) << "round " << round;
    }
}
