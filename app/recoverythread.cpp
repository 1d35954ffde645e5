#include "recoverythread.h"

#include "mainwindow.h"

#include "recovery/filerecovery.h"

#include <QMutexLocker>

QMutex RecoveryThread::engineRun;

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
    recovery->startGroup(groups);
}
