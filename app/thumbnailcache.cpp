#include "thumbnailcache.h"

#include "findpicture.h"

#include "recovery/recoveredinfo.h"

#include <QPixmap>

namespace {
// Some forty screens of rows: scrolling back and forth does not make them
// again, and 100,000 finds do not hold 100,000 pictures.
constexpr int kDefaultLimit = 2000;
}  // namespace

ThumbnailCache::ThumbnailCache(QSize iconSize, QObject *parent)
    : QObject(parent),
      worker(new LoadThumbThread(iconSize, this)),
      typeIcon(QIcon::fromTheme(QStringLiteral("image-x-generic"),
                                QIcon(QStringLiteral(":/icons/resource/icon_category_image.png")))) {
    cache.setMaxCost(kDefaultLimit);
    connect(worker, &LoadThumbThread::thumbsReady, this, &ThumbnailCache::onReady, Qt::QueuedConnection);
}

ThumbnailCache::~ThumbnailCache() {
    // The worker may be decoding: it ends before the cache goes.
    worker->stop();
    worker->wait();
}

void ThumbnailCache::setLimit(int thumbnails) { cache.setMaxCost(qMax(1, thumbnails)); }

QVariant ThumbnailCache::icon(int category, int row, FileRecoveredInfo *record) {
    if (!record) return QVariant();
    const quintptr key = quintptr(record);
    if (const QIcon *held = cache.object(key)) {
        if (!held->isNull()) return *held;
        // No picture: the type's icon for a type Qt has no reader for (its
        // preview is missing); none for bytes that are no picture at all.
        return FindPicture::decodable(record->getSuffix()) ? QVariant() : QVariant(typeIcon);
    }
    if (requested.contains(key)) return QVariant();
    ThumbJob job;
    job.generation = generation;
    job.category = category;
    job.row = row;
    job.key = key;
    job.image = record->readyThumbImage();
    if (job.image.isNull()) {
        job.find.reset(FindPicture::detachedCopy(record));
    } else {
        // The icon is made from the job's copy.  The record would hold its
        // 100 px thumbnail for as long as the results are shown; handed to
        // the pixmap cache, which is bounded, the record lets it go.
        record->getThumb();
    }
    requested.insert(key);
    for (const ThumbJob &dropped : worker->add(job))
        if (dropped.generation == generation) requested.remove(dropped.key);
    return QVariant();
}

void ThumbnailCache::clear() {
    ++generation;
    worker->clear();
    requested.clear();
    cache.clear();
}

void ThumbnailCache::onReady(const QVector<ThumbJob> &done) {
    for (const ThumbJob &job : done) {
        if (job.generation != generation) continue;
        if (!requested.remove(job.key)) continue;
        cache.insert(job.key, new QIcon(job.image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(job.image))));
        emit arrived(job.category, job.row);
    }
}
