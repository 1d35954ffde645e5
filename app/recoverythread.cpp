#include "recoverythread.h"

#include "mainwindow.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "recovery/udisks.h"

#include <QMutexLocker>

#include <unistd.h>

QMutex RecoveryThread::engineRun;

namespace {
QMutex detailLock;
QString lastAccessDetail;  // guarded by detailLock
}  // namespace

RecoveryThread::RecoveryThread(MainWindow *window_, const QStringList &groups_)
    : QThread(nullptr), window(window_), groups(groups_) {
    connect(this, SIGNAL(finished()), this, SLOT(deleteLater()));
    recovery = new FileRecovery();
    recovery->setRecoveryCallback(window ? static_cast<RecoveryCallback *>(window) : nullptr);
}

RecoveryThread::~RecoveryThread() { delete recovery; }

void RecoveryThread::pause() { recovery->pause(); }

void RecoveryThread::resume() { recovery->resume(); }

void RecoveryThread::stop(bool notify) {
    cancelled.store(true);
    recovery->stop(notify);
}

RecoveryThread *RecoveryThread::current() { return dynamic_cast<RecoveryThread *>(QThread::currentThread()); }

void RecoveryThread::run() {
    QMutexLocker hold(&engineRun);
    // Stopped while the previous scan was still winding down.
    if (cancelled.load()) return;
    if (!gainAccess()) return;
    recovery->startGroup(groups);
}

QString RecoveryThread::accessDetail() {
    QMutexLocker hold(&detailLock);
    return lastAccessDetail;
}

bool RecoveryThread::gainAccess() {
    // The window keeps the device for as long as it may be scanned, gone
    // from the system or not.
    Device *device = DeviceManager::getCurrentDevice();
    if (!device || device->descriptor() >= 0) return true;
    const AccessBroker::Result r = AccessBroker::openForReading(*device);
    if (r.outcome == AccessBroker::Granted) {
        device->setDescriptor(r.fd);
        ::close(r.fd);
    }
    // The person may have stopped the scan while the prompt was up.
    if (cancelled.load()) return false;
    int failure = 0;
    switch (r.outcome) {
    case AccessBroker::NotNeeded:
    case AccessBroker::Granted:
        return true;
    case AccessBroker::NoService: failure = NoAccessService; break;
    case AccessBroker::Refused: failure = AccessRefused; break;
    case AccessBroker::Failed: failure = AccessFailed; break;
    }
    {
        QMutexLocker hold(&detailLock);
        lastAccessDetail = r.detail;
    }
    if (window) static_cast<RecoveryCallback *>(window)->onFailed(failure);
    return false;
}
