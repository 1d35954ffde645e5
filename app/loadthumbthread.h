// Makes the name column's thumbnails off the GUI thread.  One worker serves
// the window: the GUI thread hands it each picture find's thumbnail image
// (a copy, never the record, which a new scan may delete at any time), the
// worker scales it to the table's icon size and hands the results back in
// batches through a queued signal.  A new scan's generation tells the window
// which results still belong to its rows.
#pragma once

#include <QImage>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QSize>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

struct ThumbJob {
    quint64 generation = 0;
    int category = 0;
    int row = 0;
    QImage image;  // the record's thumbnail on the way in, the icon on the way out
};
Q_DECLARE_METATYPE(ThumbJob)
Q_DECLARE_METATYPE(QVector<ThumbJob>)

class LoadThumbThread : public QThread {
    Q_OBJECT
public:
    explicit LoadThumbThread(QSize iconSize, QObject *parent = nullptr);
    // Stops the worker and waits for it.
    ~LoadThumbThread() override;

    // Any thread; starts the worker when it is not running.
    void add(const ThumbJob &job);
    // Drops the jobs not started yet.
    void clear();
    void stop();
    // Jobs queued or being scaled.
    int pending();

signals:
    void thumbsReady(const QVector<ThumbJob> &done);

protected:
    void run() override;

private:
    QSize iconSize;
    QMutex lock;
    QWaitCondition wake;
    QList<ThumbJob> queue;  // guarded by lock
    int busy = 0;           // guarded by lock
    bool stopping = false;  // guarded by lock
};
