#include "diagnosticlog.h"

#include "recovery/filerecovery.h"
#include "recovery/volumecheck.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// A log past this size is started afresh rather than appended to.
constexpr qint64 kLogLimit = qint64(8) << 20;

// A stream that takes every line and keeps none.
FILE *discardingStream() {
    cookie_io_functions_t io{};
    io.write = [](void *, const char *, size_t n) -> ssize_t { return ssize_t(n); };
    return fopencookie(nullptr, "w", io);
}

}  // namespace

DiagnosticLog::DiagnosticLog(const QString &path)
    : file(path.isEmpty() ? defaultPath() : QFileInfo(path).absoluteFilePath()), discard(discardingStream()) {
    EngineControl::setDiagnosticOutput(discard);
}

DiagnosticLog::~DiagnosticLog() {
    EngineControl::setDiagnosticOutput(nullptr);
    if (log) fclose(log);
    if (discard) fclose(discard);
}

QString DiagnosticLog::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/lumarek/lumarek-recovery.log");
}

bool DiagnosticLog::aimAt(const QString &input) {
    const QString folder = QFileInfo(file).absolutePath();
    if (VolumeCheck::exportsOntoScannedVolume(input, folder)) {
        EngineControl::setDiagnosticOutput(discard);
        return false;
    }
    if (!log) {
        QDir().mkpath(folder);
        const bool fresh = QFileInfo(file).size() > kLogLimit;
        log = fopen(QFile::encodeName(file).constData(), fresh ? "we" : "ae");
    }
    if (!log) {
        EngineControl::setDiagnosticOutput(discard);
        return false;
    }
    fprintf(log, "-- %s: scan of %s\n", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
            qPrintable(input));
    fflush(log);
    EngineControl::setDiagnosticOutput(log);
    return true;
}
