#include "recovery/filerecovery.h"

#include "engine/recovery_engine.h"
#include "engine/run_handle.h"

#include "engine/file_types.h"
#include "recovery/device.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QMutexLocker>
#include <QThread>

#include <cstdlib>
#include <cstring>

namespace {
QString desktopGroup(lmr::desktop group) { return QString::fromStdString(lmr::desktop_group(group)); }
}  // namespace

// The desktop program's groups, from the list of file types.  Their values
// are fixed (the window repeats them); PROGRAM_SUFFIXES and ARCHIVE_SUFFIXES
// name exe and gzip, which the engine searches for but never reports.
const QString IMAGE_SUFFIXES = desktopGroup(lmr::desktop::image);
const QString DOCUMENT_SUFFIXES = desktopGroup(lmr::desktop::document);
const QString PROGRAM_SUFFIXES = desktopGroup(lmr::desktop::program);
const QString ARCHIVE_SUFFIXES = desktopGroup(lmr::desktop::archive);
const QString VIDEO_SUFFIXES = desktopGroup(lmr::desktop::video);
const QString AUDIO_SUFFIXES = desktopGroup(lmr::desktop::audio);
const QString MEDIA_SUFFIXES = QStringLiteral("%1,%2").arg(VIDEO_SUFFIXES, AUDIO_SUFFIXES);
const QString ALL_SUFFIXES = QStringLiteral("%1,%2,%3,%4,%5")
                                 .arg(IMAGE_SUFFIXES, DOCUMENT_SUFFIXES, MEDIA_SUFFIXES, PROGRAM_SUFFIXES,
                                      ARCHIVE_SUFFIXES);

LMRecovery::LMRecovery(QObject *parent) : QObject(parent) {}

AbstractFileRecovery::AbstractFileRecovery() : LMRecovery(nullptr), engineRun(recovery_run_new()) {}

AbstractFileRecovery::~AbstractFileRecovery() {
    if (FileValidationThread *t = takeValidationThread()) t->stop();
    recovery_run_free(engineRun);
}

FileValidationThread *AbstractFileRecovery::takeValidationThread() {
    QMutexLocker lock(&threadLock);
    FileValidationThread *t = validationThread;
    validationThread = nullptr;
    // Stopped under the lock: no find can be appended to it after this.
    if (t) t->stop();
    return t;
}

void AbstractFileRecovery::start(RecoveryParams params) {
    if (params.params.isEmpty()) params.params.insert(SuffixList, ALL_SUFFIXES);
    cleanNeeded = false;
    stopped.store(false);
    pausable.store(true);
    {
        QMutexLocker hold(&engineLock);
        engineDone = false;
    }

    Device *device = scanned ? scanned : DeviceManager::getCurrentDevice();
    if (!device) {
        if (recoveryCallback) recoveryCallback->onFailed(NoCurrentDevice);
        return;
    }
    cleanNeeded = true;

    if (!engineRun) {
        if (recoveryCallback) recoveryCallback->onFailed(OutOfMemory);
        return;
    }
    recovery_run_set_callbacks(engineRun, this, &AbstractFileRecovery::recovered_callback,
                               &AbstractFileRecovery::progress_callback, &AbstractFileRecovery::proceed_callback,
                               &AbstractFileRecovery::recovered_runs_callback);
    const bool deep = deepSetting < 0 ? EngineControl::deepScan() : deepSetting != 0;
    recovery_run_set_options(engineRun, deep, EngineControl::wholeInput(),
                             __atomic_load_n(&scan_partition, __ATOMIC_RELAXED));
    runPath = device->getRDevFile();
    QByteArray path = runPath.toUtf8();
    QByteArray suffixes = params.params.value(SuffixList).toUtf8();
    QByteArray format = device->getFormat().toUtf8();
    // A device the user may not open is read through the descriptor the
    // disk service handed over; the finds still name the device.
    const int fd = device->descriptor();
    if (fd >= 0)
        start_recovery_run_fd(engineRun, fd, path.constData(), suffixes.constData(), format.constData(),
                              quint64(device->totalSize));
    else
        start_recovery_run(engineRun, path.constData(), suffixes.constData(), format.constData(),
                           quint64(device->totalSize));
    {
        // A stop that came between the engine's end of the run and here is
        // taken back; later ones are not passed on (see stop()).
        QMutexLocker hold(&engineLock);
        engineDone = true;
        withdraw_recovery_run_stop(engineRun);
    }
    publish_recovery_run(engineRun);

    if (!recoveryCallback || stopped.load()) return;
    // A volume that could not be read is a failure, not an empty result.
    switch (recovery_run_outcome(engineRun)) {
    case LMR_RUN_CANNOT_OPEN:
    case LMR_RUN_BAD_PATH:
        recoveryCallback->onFailed(CannotOpenVolume);
        break;
    case LMR_RUN_NO_MEMORY:
        recoveryCallback->onFailed(OutOfMemory);
        break;
    default:
        recoveryCallback->onFinished();
        break;
    }
}

void AbstractFileRecovery::stop(bool notify) {
    if (stopped.exchange(true)) return;
    if (notify && recoveryCallback) recoveryCallback->onFinished();
    {
        QMutexLocker hold(&engineLock);
        if (!engineDone) stop_recovery_run(engineRun);
    }
    takeValidationThread();
}

bool AbstractFileRecovery::finishValidation(int msecs) {
    takeValidationThread();
    int started = 0;
    {
        QMutexLocker lock(&threadLock);
        started = validationThreads - validationThreadsEnded;
    }
    if (started > 0) {
        if (!validationDone->tryAcquire(started, msecs < 0 ? -1 : msecs)) return false;
        QMutexLocker lock(&threadLock);
        validationThreadsEnded += started;
    }
    // On the application's thread nobody else runs its event loop here:
    // service the threads' deferred deletion so they are gone on return.
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        QDeadlineTimer deadline(5000);
        while (FileValidationThread::liveCount() > 0 && !deadline.hasExpired()) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            if (FileValidationThread::liveCount() > 0) QThread::msleep(1);
        }
    }
    return true;
}

void AbstractFileRecovery::discardFinds() {
    QMutexLocker lock(&threadLock);
    discarding = true;
    if (validationThread) validationThread->discard();
    validationThread = nullptr;
}

void AbstractFileRecovery::pause() {
    if (pausable.load()) pause_recovery_run(engineRun);
}

void AbstractFileRecovery::resume() { resume_recovery_run(engineRun); }

void AbstractFileRecovery::clean() {}

bool AbstractFileRecovery::needClean() { return cleanNeeded; }

void AbstractFileRecovery::setRecoveryCallback(RecoveryCallback *callback) { recoveryCallback = callback; }

void AbstractFileRecovery::setExportCallback(ExportCallback *callback) { exportCallback = callback; }

void AbstractFileRecovery::setExportPath(QString path) {
    if (!path.isEmpty()) exportPath = path;
}

void AbstractFileRecovery::exportInfo(QList<FileRecoveredInfo *> infos) {
    const int n = infos.size();
    for (int i = 0; i < n; ++i) {
        FileRecoveredInfo *r = infos[i];
        r->setExportPath(exportPath);
        if (exportCallback) exportCallback->onExportBegin(r);
        bool ok = r->exportSelf();
        if (exportCallback) {
            if (ok)
                exportCallback->onExportSucceeded(r);
            else
                exportCallback->onExportFailed(r);
            exportCallback->onExportProgress(float(i * 100) / float(n));
        }
    }
    if (exportCallback) exportCallback->onExportFinished();
}

void AbstractFileRecovery::setThumbnails(bool on) { thumbnails = on; }

void AbstractFileRecovery::setDevice(Device *device) { scanned = device; }

void AbstractFileRecovery::setDeepScan(bool deep) { deepSetting = deep ? 1 : 0; }

EngineControl::Outcome AbstractFileRecovery::lastOutcome() const {
    return EngineControl::Outcome(recovery_run_outcome(engineRun));
}
int AbstractFileRecovery::lastErrno() const { return recovery_run_errno(engineRun); }
quint64 AbstractFileRecovery::lastUnreadableSectors() const { return recovery_run_unreadable_sectors(engineRun); }
bool AbstractFileRecovery::lastInputShrank(quint64 *size) const {
    uint64_t now = 0;
    const bool shrank = recovery_run_input_shrank(engineRun, &now) != 0;
    if (shrank && size) *size = now;
    return shrank;
}
quint64 AbstractFileRecovery::lastBlockSize() const { return recovery_run_block_size(engineRun); }

void AbstractFileRecovery::queueFind(r_info *copy, const QVector<r_run> &runs) {
    QMutexLocker lock(&threadLock);
    if (discarding) {
        lock.unlock();
        delete copy;
        return;
    }
    if (!validationThread) {
        validationThread = new FileValidationThread(recoveryCallback, nullptr);
        validationThread->setNamesOnly(!thumbnails);
        validationThread->setDoneSignal(validationDone);
        ++validationThreads;
        validationThread->start(QThread::InheritPriority);
    }
    validationThread->addFile(copy, runs, runPath);
}

void AbstractFileRecovery::recovered_callback(void *context, r_info *info) {
    auto *self = static_cast<AbstractFileRecovery *>(context);
    if (!self || !info) return;
    auto *copy = new r_info;
    std::memcpy(copy, info, sizeof(r_info));
    self->queueFind(copy, {});
}

void AbstractFileRecovery::recovered_runs_callback(void *context, r_info *info, const r_run *runs, int32_t count) {
    auto *self = static_cast<AbstractFileRecovery *>(context);
    if (!self || !info) return;
    if (!runs || count <= 0) {
        // No runs after all: the find is the range the record gives.
        recovered_callback(context, info);
        return;
    }
    if (count > LMR_MAX_RUNS) return;
    // The runs are the engine's only during the call; the record keeps its
    // own copy, and its length is theirs.
    QVector<r_run> kept(runs, runs + count);
    quint64 total = 0;
    for (const r_run &r : kept) {
        if (r.length > quint64(INT64_MAX) - total) return;  // no file is that long
        total += r.length;
    }
    auto *copy = new r_info;
    std::memcpy(copy, info, sizeof(r_info));
    self->queueFind(copy, kept);
}

void AbstractFileRecovery::progress_callback(void *context, float percent) {
    auto *self = static_cast<AbstractFileRecovery *>(context);
    if (self && self->recoveryCallback && !self->stopped.load(std::memory_order_relaxed))
        self->recoveryCallback->onProgress(percent);
}

void AbstractFileRecovery::proceed_callback(void *context, unsigned long long processed, unsigned long long total) {
    auto *self = static_cast<AbstractFileRecovery *>(context);
    if (self && !self->stopped.load(std::memory_order_relaxed) && self->recoveryCallback)
        self->recoveryCallback->onProceed(processed, total);
}

FileRecovery::FileRecovery() = default;

void FileRecovery::startGroup(QStringList groups) {
    RecoveryParams params;
    params.params.insert(SuffixList, groups.join(QLatin1Char(',')));
    start(params);
}

void FileRecovery::startAll() { start(RecoveryParams()); }

EngineControl::Outcome EngineControl::lastRunOutcome() { return Outcome(get_last_run_outcome()); }
int EngineControl::lastRunErrno() { return get_last_run_errno(); }
quint64 EngineControl::lastRunUnreadableSectors() { return get_last_run_unreadable_sectors(); }
bool EngineControl::lastRunInputShrank(quint64 *size) {
    uint64_t now = 0;
    const bool shrank = get_last_run_input_shrank(&now) != 0;
    if (shrank && size) *size = now;
    return shrank;
}
quint64 EngineControl::blockSize() { return _block_size; }
void EngineControl::setWholeInput(bool whole) { __atomic_store_n(&is_formated, whole ? 1 : 0, __ATOMIC_RELAXED); }
bool EngineControl::wholeInput() { return __atomic_load_n(&is_formated, __ATOMIC_RELAXED) != 0; }
void EngineControl::setDeepScan(bool deep) { __atomic_store_n(&deep_scan, deep ? 1 : 0, __ATOMIC_RELAXED); }
bool EngineControl::deepScan() { return __atomic_load_n(&deep_scan, __ATOMIC_RELAXED) != 0; }
void EngineControl::setDiagnosticOutput(FILE *out) { set_diagnostic_output(out); }
void EngineControl::requestStop() { stop_every_recovery(); }
bool EngineControl::knowsType(const QString &name) {
    const QByteArray n = name.toUtf8();
    // "office" is the engine's own word for the six office types.
    return lmr::key_for(n.constData()) >= 0 || n == "office";
}
