#include "carve_session.h"

#include "output_guard.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

#include <cstdio>

namespace {

// Finds taken from the session at a time: each batch is one turn of the
// export worker.
constexpr int kBatch = 64;

// The window's categories: the same sorting on both front ends.
const char *const kCategoryNames[SuffixUtils::CategoryCount] = {"pictures", "documents", "audio/video", "archives",
                                                                 "other"};

}  // namespace

CarveSession::CarveSession(const QString &outputDir_, bool progress, QObject *parent)
    : QObject(parent), outputDir(outputDir_), progressLine(progress) {
    session.setThumbnails(false);  // names only: nothing here shows a picture
    // A terminal program has no desktop to show the disk service's prompt:
    // a device it cannot open is said to be unreadable before the scan.
    session.setDiskService(false);
    connect(&session, &ScanSession::findsWaiting, this, [this] {
        if (exporting.isEmpty()) takeFinds();
    });
    connect(&session, &ScanSession::proceed, this, [this](quint64 processed, quint64 total) {
        progressLine.update(processed, total, found.size() + exporting.size() + session.waitingFinds());
    });
    connect(&session, &ScanSession::scanEnded, this, &CarveSession::onScanEnded);
    connect(&session, &ScanSession::fileExported, this, &CarveSession::onFileExported);
    connect(&session, &ScanSession::exportFinished, this, [this] { onExportFinished(); });
}

int CarveSession::run(Device *device, const QStringList &types, bool deep) {
    progressLine.start();
    scanOver = false;
    ending = ScanSession::Completed;
    failed = 0;
    QEventLoop wait;
    loop = &wait;
    session.start(device, types, deep);
    wait.exec();
    loop = nullptr;
    return ending;
}

void CarveSession::interrupt() {
    interrupted = true;
    session.stop();
    session.cancelExport();
}

void CarveSession::takeFinds() {
    QList<FileRecoveredInfo *> batch = session.takeFinds(kBatch);
    if (batch.isEmpty()) {
        finishWhenDone();
        return;
    }
    // A named find whose clusters a live file took holds that file's bytes
    // now: it is listed, not exported.
    for (int i = batch.size(); i-- > 0;)
        if (batch.at(i)->getState() == FileRecoveredInfo::Overwritten) {
            list(batch.at(i), false);
            delete batch.takeAt(i);
        }
    if (batch.isEmpty()) {
        takeFinds();
        return;
    }
    if (outputDir.isEmpty() || interrupted || OutputGuard::exportsStopped()) {
        for (FileRecoveredInfo *r : batch) {
            list(r, false);
            delete r;
        }
        finishWhenDone();
        return;
    }
    for (FileRecoveredInfo *r : batch) r->setExportHash(hashExports);
    exporting = batch;
    exportListed = 0;
    session.exportFiles(exporting, outputDir);
}

void CarveSession::onFileExported(FileRecoveredInfo *record, bool ok, const QString &text) {
    if (exportListed >= exporting.size() || exporting.at(exportListed) != record) return;
    ++exportListed;
    if (!ok) {
        progressLine.erase();
        failures << record->getName();
        fprintf(stderr, "lumarek-carve: could not export %s into %s: %s\n", qPrintable(record->getName()),
                qPrintable(outputDir), qPrintable(text));
    }
    list(record, ok);
}

void CarveSession::onExportFinished() {
    // After an interrupt the rest of the batch is listed without exporting.
    for (int i = exportListed; i < exporting.size(); ++i) list(exporting.at(i), false);
    qDeleteAll(exporting);
    exporting.clear();
    exportListed = 0;
    takeFinds();
}

void CarveSession::onScanEnded(int ending_, int code) {
    scanOver = true;
    ending = ending_;
    if (ending_ == ScanSession::Failed) failed = code;
    if (exporting.isEmpty()) takeFinds();
}

void CarveSession::finishWhenDone() {
    if (scanOver && exporting.isEmpty() && session.waitingFinds() == 0 && loop) loop->quit();
}

void CarveSession::list(const FileRecoveredInfo *record, bool exported) {
    CarvedFile f;
    f.offset = quint64(record->getOffset());
    f.length = quint64(record->getLen());
    f.suffix = record->getSuffix();
    f.name = record->getName();
    if (record->isFragmented())
        for (const r_run &r : record->getRuns()) f.runs.append(ByteRun{r.offset, r.length});
    f.originalPath = record->getOriginalPath();
    f.modified = record->getModified();
    f.created = record->getCreated();
    f.accessed = record->getAccessed();
    f.overwritten = record->getState() == FileRecoveredInfo::Overwritten;
    if (!f.originalPath.isEmpty()) f.name = f.originalPath;
    f.exported = exported;
    if (exported) {
        // The name actually taken (below the output folder, for a named
        // find): an existing file keeps its own.
        f.name = f.originalPath.isEmpty() ? QFileInfo(record->getExportedFile()).fileName()
                                          : QDir(outputDir).relativeFilePath(record->getExportedFile());
        f.sha256 = record->getExportSha256();
    }

    progressLine.erase();
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
}

void CarveSession::clearProgress() { progressLine.erase(); }

void CarveSession::printSummary(bool interrupted_, quint64 unreadableSectors) {
    int counts[SuffixUtils::CategoryCount] = {};
    qint64 bytes[SuffixUtils::CategoryCount] = {};
    int exported = 0;
    int inPieces = 0;
    for (const CarvedFile &f : found) {
        const int c = SuffixUtils::categoryOf(f.suffix);
        ++counts[c];
        bytes[c] += qint64(f.length);
        if (f.exported) ++exported;
        if (!f.runs.isEmpty()) ++inPieces;
    }
    printf("\n%-12s %8s %12s\n", "category", "files", "size");
    int total = 0;
    qint64 totalBytes = 0;
    for (int c = 0; c < SuffixUtils::CategoryCount; ++c) {
        printf("%-12s %8d %12s\n", kCategoryNames[c], counts[c], qPrintable(Utils::formatSize(bytes[c])));
        total += counts[c];
        totalBytes += bytes[c];
    }
    printf("%-12s %8d %12s\n", "total", total, qPrintable(Utils::formatSize(totalBytes)));
    if (!outputDir.isEmpty()) printf("exported %d of %d into %s\n", exported, total, qPrintable(outputDir));
    if (inPieces) printf("in several pieces: %d (their runs follow their lines)\n", inPieces);
    if (unreadableSectors) printf("unreadable sectors: %llu (read as zeros)\n", (unsigned long long)unreadableSectors);
    if (interrupted_) printf("scan interrupted: the finds up to that point are listed\n");
    fflush(stdout);
}
