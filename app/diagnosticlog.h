// Where the engine's diagnostic lines go while the window scans: a log file
// (the user's cache, ~/.cache/lumarek/lumarek-recovery.log, or the file
// given with --log), never the program's standard output.  The log is
// opened at the first scan and appended to; a scan of the storage the log
// lies on writes no line, since each would overwrite deleted files still
// to be found there.
#pragma once

#include <QString>

#include <cstdio>

class DiagnosticLog {
public:
    // `path`: the log file; empty for the default one in the user's cache.
    // The engine's lines go nowhere until the first scan.
    explicit DiagnosticLog(const QString &path = QString());
    // Closes the log; the engine's lines go to standard output again.
    ~DiagnosticLog();
    DiagnosticLog(const DiagnosticLog &) = delete;
    DiagnosticLog &operator=(const DiagnosticLog &) = delete;

    QString path() const { return file; }
    // Aims the engine's lines of a scan of `input` (a device or image
    // path) into the log; true when they go there, false when they are
    // dropped (the log lies on what is scanned, or cannot be written).
    bool aimAt(const QString &input);

    // ~/.cache/lumarek/lumarek-recovery.log, after XDG_CACHE_HOME.
    static QString defaultPath();

private:
    QString file;
    FILE *log = nullptr;
    FILE *discard = nullptr;
};
