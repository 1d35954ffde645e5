// One scan and the exports of its finds, for a front end.
//
// The session owns the controller (FileRecovery) of each scan and the thread
// it runs on.  It numbers every scan and stamps each record with that number,
// so that a stopped scan's late finds never reach the next one; it throttles
// the progress reports, hands the finds over in batches (the front end takes
// them at its own pace, and the scan's validation waits while too many are
// waiting), and runs exports on a worker of their own with progress, cancel
// and a result per file.
//
// Every signal is emitted on the thread the session lives on (the owner's),
// and only for the scan being shown: reports of a scan that has been
// replaced are dropped.
#pragma once

#include "recovery/lmr_export.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

class Device;
class FileRecoveredInfo;

// Decides which progress reports are worth passing on: a percentage when its
// whole number changes, a byte count once it is a step past the last one
// passed on, or when it reaches the total.
class LMR_QT_EXPORT ProgressThrottle {
public:
    static constexpr qint64 kByteStep = 104856;

    void reset();
    // The whole percentage to show, or -1 when it has not changed.
    int percent(float value);
    // true: pass (value, total) on.  The last report is kept either way.
    bool bytes(quint64 value, quint64 total);
    // true when the last byte report was held back (the scan's end may stop
    // short of a step).
    bool holding() const { return held != passed; }
    quint64 heldValue() const { return held; }
    quint64 heldTotal() const { return total; }

private:
    int shown = -1;
    quint64 passed = 0;
    quint64 held = 0;
    quint64 total = 0;
};

class LMR_QT_EXPORT ScanSession : public QObject {
    Q_OBJECT
public:
    // How a scan ended.
    enum Ending { Completed, Stopped, Failed };

    explicit ScanSession(QObject *parent = nullptr);
    // Stops the scan and cancels an export; returns once their threads have
    // ended (a stopped scan ends at its next block; finds not handed over
    // are dropped).
    ~ScanSession() override;

    // Owner's thread.  Starts scanning `device` (borrowed: it must outlive
    // the scan) for the type names `types` (empty: every type the engine
    // reports), in deep mode or not.  A scan still running is stopped, and
    // its finds not taken yet are dropped.  Returns the new scan's number.
    quint64 start(Device *device, const QStringList &types, bool deep);
    void pause();
    void resume();
    // The scan ends at its next block.  The finds it made up to then are
    // still handed over, then scanEnded(Stopped) follows.
    void stop();

    // The number of the scan being shown (0 before the first).
    quint64 currentScan() const { return current.load(); }
    // The shown scan has started and scanEnded has not been emitted yet.
    bool scanning() const { return active; }
    // Scan threads not ended yet (a stopped scan winds down for a moment).
    int liveScans() const;
    Device *device() const { return scannedDevice; }
    // What the disk service said when it did not open the device.
    QString accessDetail() const;
    // How the last ended scan went: sectors it could not read (their bytes
    // were skipped), and whether its input held no byte at all.  Valid from
    // scanEnded on.
    quint64 unreadableSectors() const { return endUnreadable; }
    bool inputWasEmpty() const { return endEmpty; }
    // The input shrank while it was scanned (a card pulled, a file cut):
    // its size at the end, else -1.  Finds past that end were not listed.
    qint64 inputShrankTo() const { return endShrankTo; }

    // Thumbnails for picture finds (the default) or only their names.
    void setThumbnails(bool on) { thumbnails = on; }
    // Whether a device this process may not open is asked of the disk
    // service (the default), which may put up the desktop's password
    // prompt; without it such a scan fails to open its input.
    void setDiskService(bool ask) { diskService = ask; }
    // Whether deleted files the input's file system still names are joined
    // with the carved finds (the default).
    void setNamedFinds(bool on) { names = on; }
    // At most this many finds wait to be taken before the scan's validation
    // waits for the front end.
    void setWaitingLimit(int finds);

    // Any thread but the owner's (a scan's validation): hands a find of scan
    // `scan` over, waiting while the limit of finds wait; a find of a scan no
    // longer shown is deleted.
    void handOver(quint64 scan, FileRecoveredInfo *info);
    // Owner's thread: up to `max` finds of the shown scan, oldest first; the
    // caller owns them.
    QList<FileRecoveredInfo *> takeFinds(int max);
    // Finds handed over and not taken yet.
    int waitingFinds() const;

    // Owner's thread.  Saves `records` (borrowed until exportFinished) into
    // `folder` on the export worker.  false when an export is running.
    bool exportFiles(const QList<FileRecoveredInfo *> &records, const QString &folder);
    // The export stops after the file being written; files saved stay whole.
    void cancelExport();
    bool exporting() const { return exportThread != nullptr; }

signals:
    // Finds of the shown scan are waiting in takeFinds().
    void findsWaiting();
    void progress(int percent);
    void proceed(quint64 processed, quint64 total);
    // Every find of the scan has been handed over (some may still wait in
    // takeFinds()).  `code` is the RecoveryFailure of a failed scan.
    void scanEnded(int ending, int code);

    void exportProgress(int filesDone, int files, qint64 bytesDone, qint64 bytes);
    // One record's result: the file name written (which differs from the
    // record's name when a file of that name was there), or why it failed.
    void fileExported(FileRecoveredInfo *record, bool ok, const QString &text);
    void exportFinished(int saved, int failed, bool cancelled);

private:
    class Run;
    class ExportWorker;
    friend class Run;
    friend class ExportWorker;

    // Any thread: runs `what` on the owner's thread if `scan` is still shown.
    void post(quint64 scan, std::function<void()> what);
    struct RunFacts {
        quint64 unreadable = 0;
        bool empty = false;
        qint64 shrankTo = -1;
    };
    void runEnded(quint64 scan, int ending, int code, RunFacts facts);
    void setAccessDetail(const QString &detail);
    void exportEnded(int saved, int failed, bool cancelled);

    std::atomic<quint64> current{0};
    bool active = false;
    bool thumbnails = true;
    bool diskService = true;
    bool names = true;
    Device *scannedDevice = nullptr;
    Run *run = nullptr;            // the shown scan's thread, until it ends
    QList<QPointer<Run>> runs;  // every scan thread not yet ended
    ProgressThrottle throttle;      // owner's thread
    bool stopRequested = false;
    quint64 endUnreadable = 0;      // owner's thread, from scanEnded on
    bool endEmpty = false;
    qint64 endShrankTo = -1;

    mutable QMutex waitingLock;
    QWaitCondition room;
    QList<FileRecoveredInfo *> waiting;  // guarded by waitingLock
    int waitingLimit = 512;              // guarded by waitingLock
    bool announced = false;              // guarded by waitingLock
    bool closing = false;                // guarded by waitingLock
    int handingOver = 0;                 // threads in handOver(), guarded by waitingLock
    QWaitCondition handedOver;           // handingOver went down
    QString lastAccessDetail;            // guarded by waitingLock

    ExportWorker *exportThread = nullptr;
};
