#include "loadthumbthread.h"

#include <QMutexLocker>

#include <cstring>

namespace {
// Results handed over at a time: the GUI thread applies a batch in one go,
// and a batch is small enough that thumbnails keep appearing as they come.
constexpr int kBatch = 64;

// The image's pixels without the text it carries.  Scaling keeps a picture's
// text (a PNG's can run to tens of KB), and the icon made from the result
// would hold it for as long as its row is shown.
QImage pixelsOnly(const QImage &image) {
    if (image.textKeys().isEmpty()) return image;
    QImage bare(image.size(), image.format());
    if (bare.isNull()) return QImage();
    bare.setColorTable(image.colorTable());
    const size_t line = size_t(qMin(bare.bytesPerLine(), image.bytesPerLine()));
    for (int y = 0; y < image.height(); ++y) std::memcpy(bare.scanLine(y), image.constScanLine(y), line);
    return bare;
}
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
            job.image = pixelsOnly(job.image);
            done.append(job);
        }
        if (!done.isEmpty()) emit thumbsReady(done);
        QMutexLocker hold(&lock);
        busy = 0;
    }
}
