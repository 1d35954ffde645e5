// One carving run of lumarek-carve, printed: the scan session scans and
// exports; this lists each find (once its export has named the file
// written), draws the progress line, and keeps what the report and the
// summary need.
#pragma once

#include "dfxml_report.h"
#include "progress_line.h"

#include "recovery/scansession.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class Device;
class QEventLoop;

class CarveSession : public QObject {
public:
    // `outputDir` empty: nothing is exported.  `progress`: draw the live
    // progress line on standard error.
    CarveSession(const QString &outputDir, bool progress, QObject *parent = nullptr);
    // Take the SHA-256 of each export as it is copied (for the report).
    void setHashExports(bool on) { hashExports = on; }

    // Scans `device` (borrowed) for the engine's type names `types`, in
    // their order, in deep mode or not, and returns once every find is
    // listed and exported: how the scan ended (ScanSession::Ending).  Runs
    // the application's event loop meanwhile.
    int run(Device *device, const QStringList &types, bool deep);
    // The user interrupted: the export under way finishes, none begins any
    // more, and the scan stops; its finds up to then are still listed.
    void interrupt();

    // Removes the progress line (call once the scan is over).
    void clearProgress();
    void printSummary(bool interrupted, quint64 unreadableSectors);

    QList<CarvedFile> files() const { return found; }
    QStringList exportFailures() const { return failures; }
    // The RecoveryFailure of a scan that failed, else 0.
    int failureCode() const { return failed; }
    // What the ended scan met (unreadable sectors, a shrunk input).
    const ScanSession &scan() const { return session; }

private:
    void takeFinds();
    void onFileExported(FileRecoveredInfo *record, bool ok, const QString &text);
    void onExportFinished();
    void onScanEnded(int ending, int code);
    void finishWhenDone();
    // Prints the find line of `record` and keeps it for the report.
    void list(const FileRecoveredInfo *record, bool exported);

    ScanSession session;
    QString outputDir;
    ProgressLine progressLine;
    bool hashExports = false;
    bool interrupted = false;
    // The finds handed to the export worker, each listed when its result
    // comes, in order; the rest after a cancel.
    QList<FileRecoveredInfo *> exporting;
    int exportListed = 0;
    bool scanOver = false;
    int ending = ScanSession::Completed;
    QEventLoop *loop = nullptr;

    QList<CarvedFile> found;
    QStringList failures;
    int failed = 0;
};
