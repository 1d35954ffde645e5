// The scan report in the forensic XML convention (DFXML).
#pragma once

#include "recovery/diskpartitions.h"

#include <QDateTime>
#include <QList>
#include <QString>

// One piece of a find that lies in several: `length` bytes at `imgOffset` of
// the input.
struct ByteRun {
    quint64 imgOffset = 0;
    quint64 length = 0;
};

struct CarvedFile {
    quint64 offset = 0;  // of the first run
    quint64 length = 0;  // of the whole file
    QList<ByteRun> runs;  // in file order when there are several; else empty
    QString suffix;
    QString name;
    bool exported = false;
    QByteArray sha256;  // hex, when exported
    // A deleted file its file system still names: its path relative to the
    // volume's root, its times (seconds since 1970 UTC; INT64_MIN unknown)
    // and whether its clusters were overwritten since.
    QString originalPath;
    qint64 modified = INT64_MIN, created = INT64_MIN, accessed = INT64_MIN;
    bool overwritten = false;
};

// A time of a named find as ISO 8601 in UTC ("2024-06-12T14:30:16Z").
QString isoTime(qint64 seconds);

struct ReportHeader {
    QString program;
    QString version;
    QString commandLine;
    QDateTime startTime;
    QString imageFilename;
    qint64 imageSize = 0;
    quint64 sectorSize = 512;
    quint64 blockSize = 0;
    QString outcome;  // "scanned", "stopped", ...
    qint64 shrankTo = -1;  // the input's size when it shrank during the scan; -1: it did not
    // The input's partition table, when it has one ("MBR", "GPT"): each find
    // is said to lie in the partition that holds its first byte.
    QString partitionScheme;
    QList<PartitionInfo> partitions;
};

// Writes the report to `path`; false (with `error` set) when it cannot.
bool writeDfxmlReport(const QString &path, const ReportHeader &header, const QList<CarvedFile> &files,
                      QString *error);
