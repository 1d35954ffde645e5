// The thumbnails of the rows on screen, for the result tables: a row's icon
// is asked for when the row is drawn, made by the worker (LoadThumbThread),
// and kept as a pixmap in a cache of bounded size; a row scrolled out of
// sight long ago is made again when it comes back.  GUI thread only.
#pragma once

#include "loadthumbthread.h"

#include <QCache>
#include <QIcon>
#include <QObject>
#include <QSet>
#include <QVariant>

class FileRecoveredInfo;

class ThumbnailCache : public QObject {
    Q_OBJECT
public:
    explicit ThumbnailCache(QSize iconSize, QObject *parent = nullptr);
    ~ThumbnailCache() override;

    // The decoration of row `row` of category `category`, whose record is
    // `record`: its thumbnail when made, the icon of its type when it has no
    // picture Qt can show, else nothing (and the thumbnail is asked for).
    QVariant icon(int category, int row, FileRecoveredInfo *record);
    // Forgets every thumbnail and every request: the rows are going.
    void clear();

    // Thumbnails asked for and not arrived yet.
    int pending() const { return requested.size(); }
    // Thumbnails held.
    int held() const { return cache.count(); }
    // Pictures decoded so far.
    int decoded() const { return worker->decoded(); }
    // Thumbnails held at most.
    void setLimit(int thumbnails);

signals:
    // The thumbnail of that row has come (or turned out to be none).
    void arrived(int category, int row);

private:
    void onReady(const QVector<ThumbJob> &done);

    LoadThumbThread *worker;
    QCache<quintptr, QIcon> cache;  // by record; a null icon: no picture
    QSet<quintptr> requested;
    quint64 generation = 1;
    QIcon typeIcon;
};
