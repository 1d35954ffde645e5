#include "loadthumbthread.h"

#include <QMutexLocker>

namespace {
// Results handed over at a time: the GUI thread applies a batch in one go,
// and a batch is small enough that thumbnails keep appearing as they come.
constexpr int kBatch = 64;
}  // namespace

LoadThumbThread::LoadThumbThread(QSize iconSize_, QObject *parent) : QThread(parent), iconSize(iconSize_) {
    qRegisterMetaType<ThumbJob>("ThumbJob");
    qRegisterMetaType<QVector<ThumbJob>>("QVector<ThumbJob>");
}

LoadThumbThread::~LoadThumbThread() {
    stop();
    wait();
}

void LoadThumbThread::add(const ThumbJob &job) {
    {
        QMutexLocker hold(&lock);
        if (stopping) return;
        queue.append(job);
        wake.wakeOne();
    }
    if (!isRunning()) start(QThread::InheritPriority);
}

void LoadThumbThread::clear() {
    QMutexLocker hold(&lock);
    queue.clear();
}

void LoadThumbThread::stop() {
    QMutexLocker hold(&lock);
    stopping = true;
    queue.clear();
    wake.wakeAll();
}

int LoadThumbThread::pending() {
    QMutexLocker hold(&lock);
    return queue.size() + busy;
}

void LoadThumbThread::run() {
    for (;;) {
        QList<ThumbJob> jobs;
        {
            QMutexLocker hold(&lock);
            while (queue.isEmpty() && !stopping) wake.wait(&lock);
            if (stopping) return;
            const int n = qMin(kBatch, queue.size());
            for (int i = 0; i < n; ++i) jobs.append(queue.takeFirst());
            busy = n;
        }
        QVector<ThumbJob> done;
        done.reserve(jobs.size());
        for (ThumbJob &job : jobs) {
            if (job.image.isNull()) continue;
            if (job.image.width() > iconSize.width() || job.image.height() > iconSize.height())
                job.image = job.image.scaled(iconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            done.append(job);
        }
        if (!done.isEmpty()) emit thumbsReady(done);
        QMutexLocker hold(&lock);
        busy = 0;
    }
}
