#include "recovery/filevalidationthread.h"

#include "engine/recovery_engine.h"

#include "recovery/filerecovery.h"
#include "recovery/recoveredinfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QWaitCondition>

#include <atomic>

namespace {
std::atomic<int> liveThreads{0};
// A thread that has just said it is done may still hold the lock while the
// process that waited for it exits: the lock and its condition are never
// destroyed, so that exit never meets a locked mutex.
QMutex &activeLockRef() {
    static QMutex *lock = new QMutex;
    return *lock;
}
QWaitCondition &activeChangedRef() {
    static QWaitCondition *changed = new QWaitCondition;
    return *changed;
}
int activeThreads = 0;  // guarded by activeLockRef()
}  // namespace

FileValidationThread::FileValidationThread(RecoveryCallback *callback_, QObject *parent)
    : QThread(parent), callback(callback_) {
    ++liveThreads;
    {
        QMutexLocker lock(&activeLockRef());
        ++activeThreads;
    }
    connect(this, SIGNAL(finished()), this, SLOT(deleteLater()));
    // The creating thread (the scan) runs no event loop and may be gone when
    // this thread ends: let the application's loop service deleteLater().
    if (!parent && QCoreApplication::instance() && thread() != QCoreApplication::instance()->thread())
        moveToThread(QCoreApplication::instance()->thread());
}

FileValidationThread::~FileValidationThread() {
    // Only reached after run() returned (or for a thread never started).
    QMutexLocker lock(&mutex);
    qDeleteAll(queue);
    queue.clear();
    lock.unlock();
    markDone();
    --liveThreads;
}

void FileValidationThread::markDone() {
    QMutexLocker lock(&activeLockRef());
    if (done) return;
    done = true;
    --activeThreads;
    activeChangedRef().wakeAll();
    if (doneSignal) doneSignal->release();
}

int FileValidationThread::liveCount() { return liveThreads.load(); }

bool FileValidationThread::waitForAll(int msecs) {
    QMutexLocker lock(&activeLockRef());
    QDeadlineTimer deadline(msecs);
    while (activeThreads > 0) {
        if (!activeChangedRef().wait(&activeLockRef(), deadline)) return activeThreads == 0;
    }
    return true;
}

void FileValidationThread::addFile(r_info *info, const QVector<r_run> &runs, const QString &devFile) {
    FileRecoveredInfo *record = FileRecoveredInfo::newRecoveredInfo(info, runs);
    record->setDevFile(devFile);
    QMutexLocker lock(&mutex);
    if (discarding) {
        lock.unlock();
        delete record;
        return;
    }
    queue.append(record);
    queueChanged.wakeOne();
}

void FileValidationThread::discard() {
    QMutexLocker lock(&mutex);
    discarding = true;
    stopped = true;
    qDeleteAll(queue);
    queue.clear();
    queueChanged.wakeOne();
}

void FileValidationThread::stop() {
    // Set under the lock the thread waits with: it sees the flag either
    // before it starts waiting or by this wake-up.
    QMutexLocker lock(&mutex);
    stopped = true;
    queueChanged.wakeOne();
}

void FileValidationThread::run() {
    for (;;) {
        FileRecoveredInfo *record = nullptr;
        {
            QMutexLocker lock(&mutex);
            while (queue.isEmpty() && !stopped) queueChanged.wait(&mutex);
            // Stopped: what was queued before is still reported, then the
            // thread ends.
            if (queue.isEmpty()) break;
            record = queue.takeFirst();
        }
        if (record->getSuffix().isEmpty()) {
            delete record;
            continue;
        }
        if (namesOnly)
            record->readName();
        else
            record->readInfo();
        if (!record->isValid() || !callback) {
            delete record;
            continue;
        }
        callback->onRecovered(record);
    }
    markDone();
}
