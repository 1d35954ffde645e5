// The rows of one result category: one row per find, over the category's
// list of records (entry r is row r).  Rows are appended a batch at a time
// and only removed all together; each row's tick is kept here, beside its
// record.  The name column of a picture category shows a thumbnail, asked
// of a ThumbnailCache when the row is drawn.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QPixmap>
#include <QStringList>
#include <QVector>

class FileRecoveredInfo;
class ThumbnailCache;

class ResultTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { CheckColumn, NameColumn, TypeColumn, SizeColumn, PreviewColumn, ColumnCount };

    // `records` belongs to the caller and outlives the model; the model
    // changes it only through append() and clear().
    ResultTableModel(QList<FileRecoveredInfo *> *records, QObject *parent = nullptr);

    void setHeaderLabels(const QStringList &labels);
    void setCheckToolTip(const QString &text);
    void setPictures(const QPixmap &checked, const QPixmap &unchecked, const QPixmap &preview);
    // Thumbnails for the name column (none by default); `category` names
    // this model's rows to the cache.
    void setThumbnails(ThumbnailCache *cache, int category);

    // Appends `finds` (owned by the caller's list from here on) as rows.
    void append(const QList<FileRecoveredInfo *> &finds);
    // Deletes every record and removes every row.
    void clear();

    FileRecoveredInfo *record(int row) const;
    bool isTicked(int row) const;
    // Ticks or unticks the rows first..last.
    void setTicked(int first, int last, bool on);
    int tickedCount() const { return ticked; }
    bool allTicked() const { return ticked > 0 && ticked == ticks.size(); }
    // The ticked records in row order.
    QList<FileRecoveredInfo *> tickedRecords() const;

    // The cache has the thumbnail of `row`.
    void thumbnailArrived(int row);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    QList<FileRecoveredInfo *> *records;
    QVector<char> ticks;  // one per row
    int ticked = 0;
    QStringList labels;
    QString checkTip;
    QPixmap checkedPixmap, uncheckedPixmap, previewPixmap;
    ThumbnailCache *thumbs = nullptr;
    int category = 0;
};
