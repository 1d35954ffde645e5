// The recovery controller: runs one engine scan for a file group on the
// caller's thread and reports through RecoveryCallback.
#pragma once

#include "engine/run_records.h"
#include "recovery/lmr_export.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <QSemaphore>

#include <atomic>
#include <cstdio>
#include <memory>

class Device;
class FileRecoveredInfo;
class FileValidationThread;
struct recovery_run;

// File groups, as the engine's type names.
LMR_QT_EXPORT extern const QString IMAGE_SUFFIXES;
LMR_QT_EXPORT extern const QString DOCUMENT_SUFFIXES;
LMR_QT_EXPORT extern const QString PROGRAM_SUFFIXES;
LMR_QT_EXPORT extern const QString ARCHIVE_SUFFIXES;
LMR_QT_EXPORT extern const QString VIDEO_SUFFIXES;
LMR_QT_EXPORT extern const QString AUDIO_SUFFIXES;
LMR_QT_EXPORT extern const QString MEDIA_SUFFIXES;
LMR_QT_EXPORT extern const QString ALL_SUFFIXES;

enum RecoveryParamSet { SuffixList = 2 };

struct LMR_QT_EXPORT RecoveryParams {
    QHash<RecoveryParamSet, QString> params;
};

// Codes of RecoveryCallback::onFailed.
enum RecoveryFailure {
    NoCurrentDevice = 2,    // no device was chosen
    CannotOpenVolume = 3,   // the engine could not open (or name) the volume
    OutOfMemory = 4,        // the engine could not get its scan buffer
    AccessRefused = 5,      // the user did not authorise reading the device
    NoAccessService = 6,    // no disk service to ask for a device the user may not open
    AccessFailed = 7,       // the disk service could not open the device
    DeviceRemoved = 8,      // the device went away during the scan
};

class RecoveryCallback {
public:
    // Validation thread; the receiver takes ownership of the record.
    virtual void onRecovered(FileRecoveredInfo *info) = 0;
    virtual void onProgress(float percent) = 0;
    // At most once per start: from the scanning thread at the end of a run
    // that was not stopped, or from the caller of stop(true).
    virtual void onFinished() = 0;
    // The run could not happen (RecoveryFailure).
    virtual void onFailed(int code) = 0;
    virtual void onProceed(quint64 processed, quint64 total) = 0;
};

class ExportCallback {
public:
    virtual void onExportBegin(FileRecoveredInfo *info) = 0;
    virtual void onExportProgress(float percent) = 0;
    virtual void onExportSucceeded(FileRecoveredInfo *info) = 0;
    virtual void onExportFailed(FileRecoveredInfo *info) = 0;
    virtual void onExportFinished() = 0;
};

// Engine settings and run facts that front ends need beside the controller.
class LMR_QT_EXPORT EngineControl {
public:
    enum Outcome {
        NoRun = LMR_RUN_NONE,
        Scanned = LMR_RUN_SCANNED,
        Stopped = LMR_RUN_STOPPED,
        CannotOpen = LMR_RUN_CANNOT_OPEN,
        EmptyInput = LMR_RUN_EMPTY_INPUT,
        NothingToSearch = LMR_RUN_NOTHING_TO_SEARCH,
        BadPath = LMR_RUN_BAD_PATH,
        NoMemory = LMR_RUN_NO_MEMORY,
    };
    static Outcome lastRunOutcome();
    // errno of the failed open when the outcome is CannotOpen.
    static int lastRunErrno();
    static quint64 lastRunUnreadableSectors();
    // True when the input shrank during the last run (a file truncated, a
    // card pulled), with its size as last seen in `size`; finds reaching
    // past that end were not reported.
    static bool lastRunInputShrank(quint64 *size = nullptr);
    // Scan step of the last run in bytes.
    static quint64 blockSize();
    // true: scan the whole input, ignoring the file system.
    static void setWholeInput(bool whole);
    static bool wholeInput();
    // true: find each file's exact end from its own structure where the
    // built-in rules miss or estimate it (slower; off by default).
    static void setDeepScan(bool deep);
    static bool deepScan();
    // Where the engine writes its diagnostic lines (null: standard output).
    static void setDiagnosticOutput(FILE *out);
    // Asks every running scan to stop (the controllers' and a run of the
    // engine's C interface); a controller that has not started its run yet
    // keeps the stop for it.  Safe in a signal handler.
    static void requestStop();
    // true when the engine searches for `name` (a type name or one of its
    // aliases, e.g. "jpeg").  Safe while a run is going.
    static bool knowsType(const QString &name);
};

class LMR_QT_EXPORT LMRecovery : public QObject {
    Q_OBJECT
public:
    explicit LMRecovery(QObject *parent = nullptr);

    virtual void start(RecoveryParams params) = 0;
    virtual void stop(bool notify) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void clean() = 0;
    virtual bool needClean() = 0;
    virtual void setRecoveryCallback(RecoveryCallback *callback) = 0;
    virtual void setExportCallback(ExportCallback *callback) = 0;
};

// Each controller runs the engine on a run record of its own: its settings,
// its stop and pause, and what its last run found out are its alone, so two
// controllers may scan at once.
class LMR_QT_EXPORT AbstractFileRecovery : public LMRecovery {
public:
    AbstractFileRecovery();
    // Stops the validation thread (not the engine).  Not while start() runs.
    ~AbstractFileRecovery() override;

    void start(RecoveryParams params) override;
    void stop(bool notify) override;
    void pause() override;
    void resume() override;
    void clean() override;
    bool needClean() override;
    void setRecoveryCallback(RecoveryCallback *callback) override;
    void setExportCallback(ExportCallback *callback) override;
    virtual void exportInfo(QList<FileRecoveredInfo *> infos);

    void setExportPath(QString path);
    // Before start(): the device to scan (borrowed: it must outlive the
    // run).  Null, the default: DeviceManager's current device at start().
    void setDevice(Device *device);
    // Before start(): deep scan or the built-in rules for this controller's
    // runs.  Until it is called, each run takes EngineControl::deepScan().
    void setDeepScan(bool deep);
    // What this controller's last run found out (valid once start() has
    // returned): its outcome, the errno of a failed open, the sectors it
    // could not read, whether the input shrank (its size then in `size`),
    // and the block size it stepped by.  start() also makes them the
    // process's last run (EngineControl::lastRun...).
    EngineControl::Outcome lastOutcome() const;
    int lastErrno() const;
    quint64 lastUnreadableSectors() const;
    bool lastInputShrank(quint64 *size = nullptr) const;
    quint64 lastBlockSize() const;
    // Thumbnails and decoded picture sizes for every find (the default), or
    // only what the records' names need: a front end that shows no pictures
    // saves decoding every one.
    void setThumbnails(bool on);

    // After start() has returned: lets the validation thread report every
    // find still queued and waits (up to `msecs`, -1 for ever) until it has.
    // Called on the application's thread, it also runs the posted events
    // that delete the finished thread.  For callers that need every record
    // before going on and run no event loop (the command-line carver).
    // Only the validation threads of this controller are waited for.
    bool finishValidation(int msecs = 60000);
    // Any thread: the finds not reported yet are dropped, and so is every
    // find of the run from here on (a front end that is closing).
    void discardFinds();

    static void recovered_callback(void *context, r_info *info);
    // A find of several byte runs (`count` runs in file order).
    static void recovered_runs_callback(void *context, r_info *info, const r_run *runs, int32_t count);
    static void progress_callback(void *context, float percent);
    static void proceed_callback(void *context, unsigned long long processed, unsigned long long total);

private:
    FileValidationThread *takeValidationThread();
    // Hands a find (a heap copy, taken over) to the validation thread.
    void queueFind(r_info *info, const QVector<r_run> &runs);

    RecoveryCallback *recoveryCallback = nullptr;
    ExportCallback *exportCallback = nullptr;
    bool cleanNeeded = false;
    QString exportPath;
    // The input of the run under way, in full: the finds name it, whatever
    // its length.  Set before the engine starts, read on the scanning thread.
    QString runPath;
    std::atomic<bool> stopped{false};
    // The engine's run record of this controller: its runs, their stop and
    // pause, and the facts of the last one.
    recovery_run *engineRun;
    Device *scanned = nullptr;  // null: the current device
    int deepSetting = -1;       // -1: the process-wide setting
    // The engine keeps a stop asked before a run for that run, so a stop
    // is passed on only until this controller's run has ended: one that
    // came later would stop its next run.
    QMutex engineLock;
    bool engineDone = false;  // guarded by engineLock
    std::atomic<bool> pausable{false};
    bool thumbnails = true;
    FileValidationThread *validationThread = nullptr;  // guarded by threadLock
    bool discarding = false;                            // guarded by threadLock
    int validationThreads = 0;                          // made, guarded by threadLock
    int validationThreadsEnded = 0;                     // waited for, guarded by threadLock
    // Released by each validation thread of this controller as it ends.
    std::shared_ptr<QSemaphore> validationDone = std::make_shared<QSemaphore>();
    QMutex threadLock;
};

class LMR_QT_EXPORT FileRecovery : public AbstractFileRecovery {
public:
    FileRecovery();

    // Joins the groups with "," and scans for them.
    void startGroup(QStringList groups);
    // Scans for ALL_SUFFIXES.
    void startAll();
};
