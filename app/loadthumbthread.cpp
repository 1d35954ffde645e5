#include "loadthumbthread.h"

#include "findpicture.h"

#include "recovery/recoveredinfo.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <cstring>

namespace {
// Results handed over at a time, or what was made in this long: the GUI
// thread applies a batch in one go, and thumbnails keep appearing as they
// come.
constexpr int kBatch = 16;
constexpr int kBatchMs = 40;

// The image's pixels without the text it carries.  Scaling keeps a picture's
// text (a PNG's can run to tens of KB), and the icon made from the result
// would hold it for as long as it is cached.
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

QVector<ThumbJob> LoadThumbThread::add(const ThumbJob &job) {
    QVector<ThumbJob> dropped;
    {
        QMutexLocker hold(&lock);
        if (stopping) return {job};
        queue.append(job);
        while (queue.size() > MaxWaiting) dropped << queue.takeFirst();
        wake.wakeOne();
    }
    if (!isRunning()) start(QThread::InheritPriority);
    return dropped;
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
    QVector<ThumbJob> done;
    QElapsedTimer since;
    for (;;) {
        ThumbJob job;
        {
            QMutexLocker hold(&lock);
            if (queue.isEmpty() && !done.isEmpty()) {
                // Nothing more to do now: hand over what is made.
                hold.unlock();
                emit thumbsReady(done);
                hold.relock();
                busy -= done.size();
                done.clear();
            }
            while (queue.isEmpty() && !stopping) wake.wait(&lock);
            if (stopping) return;
            // The newest first: the rows drawn last are the ones on screen.
            job = queue.takeLast();
            ++busy;
        }
        if (job.image.isNull() && job.find) {
            job.image = FindPicture::read(job.find.get(), iconSize);
            ++decodes;
        }
        job.find.reset();
        if (!job.image.isNull() && (job.image.width() > iconSize.width() || job.image.height() > iconSize.height()))
            job.image = job.image.scaled(iconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        job.image = pixelsOnly(job.image);
        if (done.isEmpty()) since.start();
        done.append(job);
        if (done.size() >= kBatch || since.elapsed() >= kBatchMs) {
            emit thumbsReady(done);
            QMutexLocker hold(&lock);
            busy -= done.size();
            done.clear();
        }
    }
}
