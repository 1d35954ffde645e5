// The partition table of a whole disk or disk image, for the front ends:
// listing it and choosing the partition a scan covers.
#pragma once

#include "lmr_export.h"

#include <QList>
#include <QString>

struct PartitionInfo {
    int number = 0;        // MBR: 1-4 primary, 5 on logical; GPT: entry number
    quint64 start = 0;     // bytes from the disk's start
    quint64 size = 0;      // bytes
    QString type;          // "0x0c", or the GPT type's name or GUID
    QString label;         // GPT partition name; empty on MBR
    QString fileSystem;    // "FAT12", "FAT16", "FAT32", "exFAT", "NTFS", "ext" or empty
};

class LMR_QT_EXPORT DiskPartitions {
public:
    // The partitions of the input in table order of their start; empty when
    // it has no partition table (or cannot be opened).  `scheme` receives
    // "MBR" or "GPT".
    static QList<PartitionInfo> read(const QString &path, QString *scheme = nullptr);
    // The partition the next scans cover: 0 for every partition and the
    // space between them, else the partition's number.
    static void setScanPartition(int number);
    static int scanPartition();
};
