#include "recovery/filevalidationthread.h"

#include "recovery/filerecovery.h"
#include "recovery/recoveredinfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QWaitCondition>

namespace {
std::atomic<int> liveThreads{0};
QMutex activeLock;
QWaitCondition activeChanged;
int activeThreads = 0;  // guarded by activeLock
}  // namespace

FileValidationThread::FileValidationThread(RecoveryCallback *callback_, QObject *parent)
    : QThread(parent), callback(callback_), stopped(false) {
    ++liveThreads;
    {
        QMutexLocker lock(&activeLock);
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
    QMutexLocker lock(&activeLock);
    if (done) return;
    done = true;
    --activeThreads;
    activeChanged.wakeAll();
}

int FileValidationThread::liveCount() { return liveThreads.load(); }

bool FileValidationThread::waitForAll(int msecs) {
    QMutexLocker lock(&activeLock);
    QDeadlineTimer deadline(msecs);
    while (activeThreads > 0) {
        if (!activeChanged.wait(&activeLock, deadline)) return activeThreads == 0;
    }
    return true;
}

void FileValidationThread::addFile(r_info *info) {
    FileRecoveredInfo *record = FileRecoveredInfo::newRecoveredInfo(info);
    QMutexLocker lock(&mutex);
    queue.append(record);
}

void FileValidationThread::stop() { stopped.store(true); }

void FileValidationThread::run() {
    for (;;) {
        // Read the flag before looking at the queue: every record added
        // before stop() is then seen, so nothing queued is left behind.
        bool stopSeen = stopped.load();
        FileRecoveredInfo *record = nullptr;
        {
            QMutexLocker lock(&mutex);
            if (!queue.isEmpty()) record = queue.takeFirst();
        }
        if (!record) {
            if (stopSeen) break;
            QThread::msleep(100);
            continue;
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
