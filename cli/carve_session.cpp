#include "carve_session.h"

#include "output_guard.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

#include <cstdio>

namespace {

QString duration(double seconds) {
    if (seconds < 0 || seconds > 99.0 * 3600) return QStringLiteral("--:--");
    qint64 s = qint64(seconds + 0.5);
    if (s >= 3600) return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// The window's categories: the same sorting on both front ends.
enum Category {
    Pictures = SuffixUtils::Pictures,
    Documents = SuffixUtils::Documents,
    Media = SuffixUtils::Media,
    Archives = SuffixUtils::Archives,
    Other = SuffixUtils::Other,
    CategoryCount = SuffixUtils::CategoryCount
};

Category categoryOf(const QString &suffix) { return Category(SuffixUtils::categoryOf(suffix)); }

const char *const kCategoryNames[CategoryCount] = {"pictures", "documents", "audio/video", "archives", "other"};

}  // namespace

CarveSession::CarveSession(const QString &outputDir_, bool progress) : outputDir(outputDir_), showProgress(progress) {
    clock.start();
}

void CarveSession::onRecovered(FileRecoveredInfo *info) {
    if (named) named->annotate(info);
    CarvedFile f;
    f.offset = quint64(info->getOffset());
    f.length = quint64(info->getLen());
    f.suffix = info->getSuffix();
    f.name = info->getName();
    if (info->isFragmented())
        for (const r_run &r : info->getRuns()) f.runs.append(ByteRun{r.offset, r.length});
    f.originalPath = info->getOriginalPath();
    f.modified = info->getModified();
    f.created = info->getCreated();
    f.accessed = info->getAccessed();
    f.overwritten = info->getState() == FileRecoveredInfo::Overwritten;
    if (!f.originalPath.isEmpty()) f.name = f.originalPath;
    bool exportFailed = false;
    QString whyNot;
    // A named find whose clusters a live file took holds that file's bytes
    // now: it is listed, not exported.
    if (!outputDir.isEmpty() && !OutputGuard::exportsStopped() && !f.overwritten) {
        info->setExportPath(outputDir);
        info->setExportHash(hashExports);
        f.exported = info->exportSelf();
        if (f.exported) {
            // The name actually taken (below the output folder, for a
            // named find): an existing file keeps its own.
            f.name = f.originalPath.isEmpty() ? QFileInfo(info->getExportedFile()).fileName()
                                              : QDir(outputDir).relativeFilePath(info->getExportedFile());
            f.sha256 = info->getExportSha256();
        } else {
            exportFailed = true;
            whyNot = info->getExportError();
        }
    }
    delete info;

    QMutexLocker guard(&lock);
    if (progressShown) {
        fputs("\r\033[K", stderr);
        progressShown = false;
    }
    if (exportFailed) {
        failures << f.name;
        fprintf(stderr, "lumarek-carve: could not export %s into %s: %s\n", qPrintable(f.name), qPrintable(outputDir),
                qPrintable(whyNot));
    }
    printf("%llu\t%llu\t%s\t%s\n", (unsigned long long)f.offset, (unsigned long long)f.length,
           f.suffix.toUtf8().constData(), f.name.toUtf8().constData());
    // A find in several pieces: its runs (offset+length in the input, in
    // file order) on an indented line of their own, which a reader of the
    // four tab-separated columns passes over.
    if (!f.runs.isEmpty()) {
        fputs("  runs:", stdout);
        for (const ByteRun &run : f.runs)
            printf(" %llu+%llu", (unsigned long long)run.imgOffset, (unsigned long long)run.length);
        fputc('\n', stdout);
    }
    // A named find: its original path and times on an indented line.
    if (!f.originalPath.isEmpty()) {
        printf("  named: %s", f.originalPath.toUtf8().constData());
        if (f.modified != INT64_MIN) printf("  modified: %s", isoTime(f.modified).toUtf8().constData());
        if (f.created != INT64_MIN) printf("  created: %s", isoTime(f.created).toUtf8().constData());
        if (f.overwritten) fputs("  overwritten: not exported", stdout);
        fputc('\n', stdout);
    }
    fflush(stdout);
    found << f;
    ++foundCount;
}

void CarveSession::onProgress(float) {}

void CarveSession::onFinished() {}

void CarveSession::onFailed(int code) { failed.store(code); }

void CarveSession::onProceed(quint64 processed, quint64 total) {
    if (!showProgress) return;
    qint64 now = clock.elapsed();
    if (lastDraw >= 0 && now - lastDraw < 200 && processed != total) return;
    lastDraw = now;
    drawProgress(processed, total);
}

void CarveSession::drawProgress(quint64 processed, quint64 total) {
    double seconds = clock.elapsed() / 1000.0;
    double rate = seconds > 0 ? double(processed) / seconds : 0;  // bytes per second
    double percent = total ? 100.0 * double(processed) / double(total) : 0;
    double eta = rate > 0 && total >= processed ? double(total - processed) / rate : -1;
    QString line = QStringLiteral("%1%  %2 of %3  %4 found  %5 MB/s  ETA %6")
                       .arg(percent, 5, 'f', 1)
                       .arg(Utils::formatSize(qint64(processed)), Utils::formatSize(qint64(total)))
                       .arg(foundCount.load())
                       .arg(rate / (1024.0 * 1024.0), 0, 'f', 1)
                       .arg(duration(eta));
    QMutexLocker guard(&lock);
    fprintf(stderr, "\r%s\033[K", qPrintable(line));
    fflush(stderr);
    progressShown = true;
}

void CarveSession::clearProgress() {
    QMutexLocker guard(&lock);
    if (progressShown) fputs("\r\033[K", stderr);
    fflush(stderr);
    progressShown = false;
}

void CarveSession::printSummary(bool interrupted, quint64 unreadableSectors) {
    QMutexLocker guard(&lock);
    int counts[CategoryCount] = {};
    qint64 bytes[CategoryCount] = {};
    int exported = 0;
    int inPieces = 0;
    for (const CarvedFile &f : found) {
        Category c = categoryOf(f.suffix);
        ++counts[c];
        bytes[c] += qint64(f.length);
        if (f.exported) ++exported;
        if (!f.runs.isEmpty()) ++inPieces;
    }
    printf("\n%-12s %8s %12s\n", "category", "files", "size");
    int total = 0;
    qint64 totalBytes = 0;
    for (int c = 0; c < CategoryCount; ++c) {
        printf("%-12s %8d %12s\n", kCategoryNames[c], counts[c], qPrintable(Utils::formatSize(bytes[c])));
        total += counts[c];
        totalBytes += bytes[c];
    }
    printf("%-12s %8d %12s\n", "total", total, qPrintable(Utils::formatSize(totalBytes)));
    if (!outputDir.isEmpty())
        printf("exported %d of %d into %s\n", exported, total, qPrintable(outputDir));
    if (inPieces) printf("in several pieces: %d (their runs follow their lines)\n", inPieces);
    if (unreadableSectors) printf("unreadable sectors: %llu (read as zeros)\n", (unsigned long long)unreadableSectors);
    if (interrupted) printf("scan interrupted: the finds up to that point are listed\n");
    fflush(stdout);
}

QList<CarvedFile> CarveSession::files() const {
    QMutexLocker guard(&lock);
    return found;
}

QStringList CarveSession::exportFailures() const {
    QMutexLocker guard(&lock);
    return failures;
}
