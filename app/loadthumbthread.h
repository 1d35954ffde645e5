// Makes the name column's thumbnails off the GUI thread.  One worker serves
// the window.  The GUI thread asks for the thumbnails of the rows being
// drawn, each job carrying a copy of its find's place on the volume (never
// the record, which a new scan may delete at any time) or the thumbnail the
// record already has.  The worker decodes the picture, scales it to the
// table's icon size and hands the results back in batches through a queued
// signal, as images: pixmaps are made on the GUI thread.
//
// Only the newest jobs are kept: a row scrolled past before its turn came
// is dropped, and asked for again if it is drawn again.
#pragma once

#include <QImage>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QSize>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <memory>

class FileRecoveredInfo;

struct ThumbJob {
    quint64 generation = 0;
    int category = 0;
    int row = 0;
    quintptr key = 0;                         // the record asked for
    std::shared_ptr<FileRecoveredInfo> find;  // a detached copy, when `image` is null
    QImage image;  // the record's own thumbnail on the way in, if any; the icon on the way out
};
Q_DECLARE_METATYPE(ThumbJob)
Q_DECLARE_METATYPE(QVector<ThumbJob>)

class LoadThumbThread : public QThread {
    Q_OBJECT
public:
    explicit LoadThumbThread(QSize iconSize, QObject *parent = nullptr);
    // Stops the worker and waits for it.
    ~LoadThumbThread() override;

    // Any thread; starts the worker when it is not running.  Returns the
    // jobs dropped to make room (the oldest waiting).
    QVector<ThumbJob> add(const ThumbJob &job);
    // Drops the jobs not started yet.
    void clear();
    void stop();
    // Jobs queued or being made.
    int pending();
    // Pictures decoded since the worker was made.
    int decoded() const { return decodes.load(); }

    // Jobs kept waiting at most.
    static const int MaxWaiting = 256;

signals:
    void thumbsReady(const QVector<ThumbJob> &done);

protected:
    void run() override;

private:
    QSize iconSize;
    QMutex lock;
    QWaitCondition wake;
    QList<ThumbJob> queue;  // guarded by lock; the newest last
    int busy = 0;           // guarded by lock
    bool stopping = false;  // guarded by lock
    std::atomic<int> decodes{0};
};
