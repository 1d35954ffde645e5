// Helpers of the object layer's tests.
#pragma once

#include "support/qt_printing.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QThread>

#include <cstring>
#include <functional>

namespace lmrtest {

// A heap r_info as the controller hands it to a record.
inline r_info *makeInfo(const std::string &path, uint64_t offset, uint64_t length, const char *suffix) {
    auto *info = new r_info{};
    info->offset = offset;
    info->length = length;
    std::strncpy(info->path, path.c_str(), sizeof info->path - 1);
    std::strncpy(info->suffix, suffix, sizeof info->suffix - 1);
    return info;
}

// Runs the GUI thread's events (deferred deletions included) until `done`
// holds or `msecs` pass.
inline bool pumpUntil(const std::function<bool()> &done, int msecs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > msecs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace lmrtest
