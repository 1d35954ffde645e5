// Deleted files that the input's file system still names, joined with the
// carved finds: a carved find that starts where a named find starts is one
// record with the name, folder and times from the file system and the kind
// from the probe; the named finds no carved find stood for become records
// of their own, whatever their type.
#pragma once

#include "recovery/lmr_export.h"
#include "recovery/recoveredinfo.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QVector>

class LMR_QT_EXPORT NamedFinds {
public:
    // Walks the input's folders (each partition's, on a disk) for deleted
    // files they still name.  Returns how many were found.
    int load(const QString &input);
    int count() const;
    // Gives `info` the name, folder and times of the named find that
    // starts at its first byte, which is then used up: an intact one, or
    // one whose first cluster is still free (the carve found its bytes
    // where the file system no longer says).  True when there was one.
    // Where the two disagree on the bytes, an intact named find's are
    // kept when its file system kept its runs, or when the carve found
    // the file in one piece (its clusters in a row are all free and the
    // probe took its start for what the name says); the carve's are kept
    // when it found the file in pieces whose runs the file system lost,
    // or when some of the named clusters were taken since.
    // Safe from any thread.
    bool annotate(FileRecoveredInfo *info);
    // Records for the named finds no carved find stood for (overwritten
    // ones included, marked so), in the order walked; the caller owns them.
    QList<FileRecoveredInfo *> takeRest(const QString &input);

private:
    struct Find {
        QString path;
        qint64 modified, created, accessed;
        FileRecoveredInfo::State state;
        QVector<r_run> runs;
        quint64 size;
        bool runsKnown;  // the runs are the file system's, not taken in a row
        bool used;
    };
    mutable QMutex lock;
    QVector<Find> finds;
    QHash<quint64, int> byFirstByte;  // finds whose first cluster is free, by their first byte
};
