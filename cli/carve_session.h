// One carving run of lumarek-carve: receives the controller's reports,
// prints each find, exports it, keeps what the report and summary need, and
// draws the progress line.
#pragma once

#include "dfxml_report.h"

#include "recovery/filerecovery.h"
#include "recovery/namedfinds.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>

class CarveSession : public RecoveryCallback {
public:
    // `outputDir` empty: nothing is exported.  `progress`: draw the live
    // progress line on standard error.
    CarveSession(const QString &outputDir, bool progress);
    // Take the SHA-256 of each export as it is copied (for the report).
    void setHashExports(bool on) { hashExports = on; }
    // Deleted files the file system still names: a find that starts where
    // one does is exported under its original path, with its times.
    void setNamedFinds(NamedFinds *finds) { named = finds; }

    void onRecovered(FileRecoveredInfo *info) override;
    void onProgress(float percent) override;
    void onFinished() override;
    void onFailed(int code) override;
    void onProceed(quint64 processed, quint64 total) override;

    // Removes the progress line (call once the scan is over).
    void clearProgress();
    void printSummary(bool interrupted, quint64 unreadableSectors);

    QList<CarvedFile> files() const;
    QStringList exportFailures() const;
    int failureCode() const { return failed.load(); }

private:
    void drawProgress(quint64 processed, quint64 total);

    QString outputDir;
    bool showProgress;
    bool hashExports = false;
    NamedFinds *named = nullptr;
    mutable QMutex lock;  // files, failures and the terminal
    QList<CarvedFile> found;
    QStringList failures;
    std::atomic<int> failed{0};
    std::atomic<int> foundCount{0};
    bool progressShown = false;
    QElapsedTimer clock;
    qint64 lastDraw = -1;
};
