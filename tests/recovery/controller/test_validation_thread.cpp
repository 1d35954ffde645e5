// The validation thread: order, discards, draining on stop, self-deletion.
#include "qt_test_support.h"

#include "recovery/filerecovery.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <gtest/gtest.h>

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
    QElapsedTimer clock;
    clock.start();
    t->stop();
    ASSERT_TRUE(FileValidationThread::waitForAll(5000));
    EXPECT_LT(clock.elapsed(), 1000);
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
