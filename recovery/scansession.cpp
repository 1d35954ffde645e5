#include "recovery/scansession.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "recovery/namedfinds.h"
#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"
#include "recovery/udisks.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSet>

#include <unistd.h>

// ---- progress throttle ------------------------------------------------------

void ProgressThrottle::reset() { *this = ProgressThrottle(); }

int ProgressThrottle::percent(float value) {
    const int whole = int(value);
    if (whole == shown) return -1;
    shown = whole;
    return whole;
}

bool ProgressThrottle::bytes(quint64 value, quint64 total_) {
    held = value;
    total = total_;
    const qint64 diff = qint64(value) - qint64(passed);
    if (!(diff > kByteStep || value == total_)) return false;
    passed = value;
    return true;
}

// ---- one scan's thread ------------------------------------------------------

class ScanSession::Run : public QThread, public RecoveryCallback {
public:
    Run(ScanSession *session_, quint64 scan_, Device *device_, const QStringList &types_, bool deep_, bool thumbnails_,
        bool diskService_, bool names_)
        : session(session_), scan(scan_), device(device_), types(types_), deep(deep_), thumbnails(thumbnails_),
          diskService(diskService_), names(names_) {}

    // Any thread.
    void stopScan() {
        cancelled.store(true);
        QMutexLocker hold(&lock);
        if (recovery) recovery->stop(false);
    }
    void pause() {
        QMutexLocker hold(&lock);
        if (recovery) recovery->pause();
    }
    void resume() {
        QMutexLocker hold(&lock);
        if (recovery) recovery->resume();
    }
    // The session is going: nothing more is reported.
    void abandon() {
        abandoned.store(true);
        QMutexLocker hold(&lock);
        if (recovery) recovery->discardFinds();
    }

    void onRecovered(FileRecoveredInfo *info) override {
        if (!info || info->getLen() == 0 || abandoned.load()) {
            delete info;
            return;
        }
        named.annotate(info);
        info->setScan(scan);
        session->handOver(scan, info);
    }
    void onProgress(float value) override {
        const int whole = throttle.percent(value);
        if (whole < 0) return;
        ScanSession *s = session;
        s->post(scan, [s, whole] { emit s->progress(whole); });
    }
    void onProceed(quint64 value, quint64 total) override {
        if (cancelled.load()) return;  // the engine ends the run at its next block
        if (throttle.bytes(value, total)) forwardBytes(value, total);
    }
    void onFinished() override {
        // The last byte report may have been held back (the last free region
        // can end short of the volume's end): show where the scan ended.
        if (throttle.holding()) forwardBytes(throttle.heldValue(), throttle.heldTotal());
    }
    void onFailed(int code) override { failure.store(code); }

protected:
    void run() override {
        int ending = Completed;
        // Each scan runs on its controller's own run record: a scan stopped
        // a moment ago may still wind down beside this one.
        if (!cancelled.load() && gainAccess()) {
            // Deleted files the file system still names come back under
            // their names: a carved find that starts where one does takes
            // its name, folder and times.
            if (names && device) named.load(device->getRDevFile());
            {
                QMutexLocker guard(&lock);
                recovery = new FileRecovery();
                recovery->setRecoveryCallback(this);
                recovery->setThumbnails(thumbnails);
                recovery->setDevice(device);
                recovery->setDeepScan(deep);
                // A stop that came before the controller is passed on; the
                // controller keeps it for its run, as it does any later one.
                if (cancelled.load()) recovery->stop(false);
            }
            if (types.isEmpty())
                recovery->startAll();
            else
                recovery->startGroup({types.join(QLatin1Char(','))});
            facts.unreadable = recovery->lastUnreadableSectors();
            facts.empty = recovery->lastOutcome() == EngineControl::EmptyInput;
            quint64 left = 0;
            if (recovery->lastInputShrank(&left)) facts.shrankTo = qint64(left);
        }
        if (recovery) recovery->finishValidation(-1);
        // Then the named files no carved find stood for, whatever their
        // type (those whose clusters a live file took, marked so).
        if (!cancelled.load() && !abandoned.load() && device) {
            const QList<FileRecoveredInfo *> rest = named.takeRest(device->getRDevFile());
            for (FileRecoveredInfo *info : rest) {
                if (!wanted(info->getSuffix())) {
                    delete info;
                    continue;
                }
                info->setScan(scan);
                session->handOver(scan, info);
            }
        }
        {
            QMutexLocker guard(&lock);
            delete recovery;
            recovery = nullptr;
        }
        if (failure.load())
            ending = Failed;
        else if (cancelled.load())
            ending = Stopped;
        if (!abandoned.load()) session->runEnded(scan, ending, failure.load(), facts);
    }

private:
    // Whether a named file no carve found belongs to this scan's choice: its
    // type was asked for, or the whole of its kind was (every type of a
    // category; all files take those of no known type too).
    bool wanted(const QString &suffix) const {
        QSet<QString> asked;
        for (const QString &t : types)
            for (const QString &one : t.split(QLatin1Char(','), Qt::SkipEmptyParts)) asked.insert(one.trimmed().toLower());
        if (types.isEmpty() || asked.contains(suffix.toLower())) return true;
        const QStringList kind = SuffixUtils::categoryTypes(SuffixUtils::categoryOf(suffix));
        if (kind.isEmpty()) return false;
        for (const QString &t : kind)
            if (!asked.contains(t.toLower())) return false;
        return true;
    }

    void forwardBytes(quint64 value, quint64 total) {
        ScanSession *s = session;
        s->post(scan, [s, value, total] { emit s->proceed(value, total); });
    }

    // Before the scan: a device the user may not open is asked of the disk
    // service, which may put up the desktop's password prompt.  false when
    // the scan cannot go on (the failure is noted).
    bool gainAccess() {
        if (!device || device->descriptor() >= 0 || !diskService) return true;
        const AccessBroker::Result r = AccessBroker::openForReading(device->getRDevFile(), device->udisksObject, lmrudisks::systemBus());
        if (r.outcome == AccessBroker::Granted) {
            device->setDescriptor(r.fd);
            ::close(r.fd);
        }
        // The person may have stopped the scan while the prompt was up.
        if (cancelled.load()) return false;
        switch (r.outcome) {
        case AccessBroker::NotNeeded:
        case AccessBroker::Granted:
            return true;
        case AccessBroker::NoService: failure.store(NoAccessService); break;
        case AccessBroker::Refused: failure.store(AccessRefused); break;
        case AccessBroker::Failed: failure.store(AccessFailed); break;
        }
        session->setAccessDetail(r.detail);
        return false;
    }

    ScanSession *session;
    const quint64 scan;
    Device *device;
    const QStringList types;
    const bool deep;
    const bool thumbnails;
    const bool diskService;
    const bool names;
    NamedFinds named;
    QMutex lock;                        // guards recovery
    FileRecovery *recovery = nullptr;   // lives while the scan runs
    ProgressThrottle throttle;          // scanning thread
    std::atomic<bool> cancelled{false};
    std::atomic<bool> abandoned{false};
    std::atomic<int> failure{0};
    RunFacts facts;  // what the ended run met, written by the run itself
};

// ---- the export worker ------------------------------------------------------

class ScanSession::ExportWorker : public QThread {
public:
    ExportWorker(ScanSession *session_, const QList<FileRecoveredInfo *> &records_, const QString &folder_)
        : session(session_), records(records_), folder(folder_) {}
    std::atomic<bool> cancelled{false};

protected:
    void run() override {
        qint64 bytes = 0, done = 0;
        for (FileRecoveredInfo *r : records) bytes += r->getLen();
        const int files = records.size();
        int saved = 0, failed = 0;
        ScanSession *s = session;
        for (int i = 0; i < files; ++i) {
            if (cancelled.load()) break;
            FileRecoveredInfo *r = records.at(i);
            r->setExportPath(folder);
            const bool ok = r->exportSelf();
            // The name actually written: beside a file of the same name the
            // export takes a free one.
            const QString text = ok ? QFileInfo(r->getExportedFile()).fileName() : r->getExportError();
            ok ? ++saved : ++failed;
            done += r->getLen();
            QMetaObject::invokeMethod(
                s,
                [s, r, ok, text, i, files, done, bytes] {
                    emit s->fileExported(r, ok, text);
                    emit s->exportProgress(i + 1, files, done, bytes);
                },
                Qt::QueuedConnection);
        }
        const bool stoppedEarly = cancelled.load() && saved + failed < files;
        QMetaObject::invokeMethod(s, [s, saved, failed, stoppedEarly] { s->exportEnded(saved, failed, stoppedEarly); },
                                  Qt::QueuedConnection);
    }

private:
    ScanSession *session;
    const QList<FileRecoveredInfo *> records;
    const QString folder;
};

// ---- the session --------------------------------------------------------------

ScanSession::ScanSession(QObject *parent) : QObject(parent) {}

ScanSession::~ScanSession() {
    {
        QMutexLocker hold(&waitingLock);
        closing = true;
        qDeleteAll(waiting);
        waiting.clear();
        room.wakeAll();
        // A thread waiting for room leaves before the session goes.
        while (handingOver > 0) handedOver.wait(&waitingLock);
    }
    if (exportThread) {
        exportThread->cancelled.store(true);
        exportThread->wait();
        delete exportThread;
        exportThread = nullptr;
    }
    for (const QPointer<Run> &t : runs) {
        if (Run *r = t.data()) {
            r->abandon();
            r->stopScan();
        }
    }
    for (const QPointer<Run> &t : runs) {
        if (!t) continue;
        t->wait();
        delete t.data();
    }
    runs.clear();
    run = nullptr;
}

quint64 ScanSession::start(Device *device, const QStringList &types, bool deep) {
    if (run) run->stopScan();
    for (int i = runs.size() - 1; i >= 0; --i)
        if (!runs.at(i)) runs.removeAt(i);
    quint64 scan = 0;
    {
        QMutexLocker hold(&waitingLock);
        scan = current.load() + 1;
        current.store(scan);
        // The replaced scan's finds not taken yet go with it.
        qDeleteAll(waiting);
        waiting.clear();
        announced = false;
        room.wakeAll();
    }
    throttle.reset();
    scannedDevice = device;
    DeviceManager::setCurrentDevice(device);
    active = true;
    run = new Run(this, scan, device, types, deep, thumbnails, diskService, names);
    connect(run, &QThread::finished, run, &QObject::deleteLater);
    runs.append(run);
    run->start(QThread::InheritPriority);
    return scan;
}

void ScanSession::pause() {
    if (run) run->pause();
}

void ScanSession::resume() {
    if (run) run->resume();
}

void ScanSession::stop() {
    if (run) run->stopScan();
}

int ScanSession::liveScans() const {
    int n = 0;
    for (const QPointer<Run> &t : runs)
        if (t && !t->isFinished()) ++n;
    return n;
}

QString ScanSession::accessDetail() const {
    QMutexLocker hold(&waitingLock);
    return lastAccessDetail;
}

void ScanSession::setAccessDetail(const QString &detail) {
    QMutexLocker hold(&waitingLock);
    lastAccessDetail = detail;
}

void ScanSession::setWaitingLimit(int finds) {
    QMutexLocker hold(&waitingLock);
    waitingLimit = qMax(1, finds);
    room.wakeAll();
}

void ScanSession::handOver(quint64 scan, FileRecoveredInfo *info) {
    QMutexLocker hold(&waitingLock);
    ++handingOver;
    while (!closing && scan == current.load() && waiting.size() >= waitingLimit) room.wait(&waitingLock);
    if (--handingOver == 0) handedOver.wakeAll();
    if (closing || scan != current.load()) {
        hold.unlock();
        delete info;
        return;
    }
    waiting.append(info);
    if (announced) return;
    announced = true;
    QMetaObject::invokeMethod(this, [this] { emit findsWaiting(); }, Qt::QueuedConnection);
}

QList<FileRecoveredInfo *> ScanSession::takeFinds(int max) {
    QMutexLocker hold(&waitingLock);
    QList<FileRecoveredInfo *> out;
    const quint64 scan = current.load();
    while (!waiting.isEmpty() && out.size() < max) {
        FileRecoveredInfo *info = waiting.takeFirst();
        if (info->getScan() == scan)
            out.append(info);
        else
            delete info;
    }
    room.wakeAll();
    // Finds left for the next turn: announced again, behind the events that
    // came meanwhile.
    announced = !waiting.isEmpty();
    if (announced) QMetaObject::invokeMethod(this, [this] { emit findsWaiting(); }, Qt::QueuedConnection);
    return out;
}

int ScanSession::waitingFinds() const {
    QMutexLocker hold(&waitingLock);
    return waiting.size();
}

void ScanSession::post(quint64 scan, std::function<void()> what) {
    QMetaObject::invokeMethod(
        this,
        [this, scan, what] {
            if (scan == current.load()) what();
        },
        Qt::QueuedConnection);
}

void ScanSession::runEnded(quint64 scan, int ending, int code, RunFacts facts) {
    post(scan, [this, ending, code, facts] {
        run = nullptr;
        active = false;
        endUnreadable = facts.unreadable;
        endEmpty = facts.empty;
        endShrankTo = facts.shrankTo;
        emit scanEnded(ending, code);
    });
}

bool ScanSession::exportFiles(const QList<FileRecoveredInfo *> &records, const QString &folder) {
    if (exportThread) return false;
    exportThread = new ExportWorker(this, records, folder);
    exportThread->start(QThread::InheritPriority);
    return true;
}

void ScanSession::cancelExport() {
    if (exportThread) exportThread->cancelled.store(true);
}

void ScanSession::exportEnded(int saved, int failed, bool cancelled) {
    if (exportThread) {
        exportThread->wait();
        delete exportThread;
        exportThread = nullptr;
    }
    emit exportFinished(saved, failed, cancelled);
}
