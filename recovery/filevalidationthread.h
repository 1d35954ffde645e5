// Turns the engine's finds into records off the scanning thread: the scan
// only builds the record and queues it; this thread completes it with
// readInfo() and reports it, in the order the finds were made.
#pragma once

#include "engine/run_records.h"
#include "recovery/lmr_export.h"

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <memory>

class FileRecoveredInfo;
class RecoveryCallback;

class LMR_QT_EXPORT FileValidationThread : public QThread {
    Q_OBJECT
public:
    // The thread deletes itself once run() has returned; the deletion is
    // serviced by the application's event loop (the object moves to the
    // application thread when one exists).
    explicit FileValidationThread(RecoveryCallback *callback, QObject *parent = nullptr);
    ~FileValidationThread() override;

    // Scanning thread: builds the record (which takes over `info`) and
    // queues it; `runs`, when there are several, are the find's byte runs
    // in file order; `devFile`, when given, is the input's full path (see
    // FileRecoveredInfo::setDevFile).
    void addFile(r_info *info, const QVector<r_run> &runs = QVector<r_run>(), const QString &devFile = QString());
    // Any thread: the thread reports what is still queued, then ends.
    void stop();
    // Any thread: the records still queued, and any queued later, are
    // dropped without being reported; the thread then ends.
    void discard();
    // Before start(): complete records only as far as their names need
    // (no picture decoding, no thumbnails).
    void setNamesOnly(bool on) { namesOnly = on; }
    // Before start(): released once when run() has returned (or the thread
    // is deleted without running), so its owner can wait for this thread
    // alone.
    void setDoneSignal(std::shared_ptr<QSemaphore> done) { doneSignal = std::move(done); }

    // Validation threads constructed and not yet deleted.
    static int liveCount();
    // Waits until every validation thread has returned from run() (or was
    // never started and is gone); false on timeout.
    static bool waitForAll(int msecs);

protected:
    void run() override;

private:
    void markDone();

    RecoveryCallback *callback;
    QMutex mutex;
    QWaitCondition queueChanged;       // a record was queued, or stop() was asked
    QList<FileRecoveredInfo *> queue;  // guarded by mutex
    bool stopped = false;              // guarded by mutex
    bool discarding = false;           // guarded by mutex
    std::shared_ptr<QSemaphore> doneSignal;
    bool done = false;  // run() has returned, or the thread never ran
    bool namesOnly = false;
};
