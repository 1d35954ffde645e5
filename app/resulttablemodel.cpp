#include "resulttablemodel.h"

#include "thumbnailcache.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

ResultTableModel::ResultTableModel(QList<FileRecoveredInfo *> *records_, QObject *parent)
    : QAbstractTableModel(parent), records(records_) {
    ticks.fill(0, records->size());
}

void ResultTableModel::setHeaderLabels(const QStringList &labels_) {
    labels = labels_;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

void ResultTableModel::setCheckToolTip(const QString &text) { checkTip = text; }

void ResultTableModel::setPictures(const QPixmap &checked, const QPixmap &unchecked, const QPixmap &preview) {
    checkedPixmap = checked;
    uncheckedPixmap = unchecked;
    previewPixmap = preview;
}

void ResultTableModel::setThumbnails(ThumbnailCache *cache, int category_) {
    thumbs = cache;
    category = category_;
}

void ResultTableModel::append(const QList<FileRecoveredInfo *> &finds) {
    if (finds.isEmpty()) return;
    const bool wasAll = allTicked();
    const int first = records->size();
    beginInsertRows(QModelIndex(), first, first + finds.size() - 1);
    records->append(finds);
    ticks.resize(records->size());
    endInsertRows();
    // New rows are not ticked: the tick-all box is no longer ticked.
    if (wasAll) emit headerDataChanged(Qt::Horizontal, CheckColumn, CheckColumn);
}

void ResultTableModel::clear() {
    beginResetModel();
    qDeleteAll(*records);
    records->clear();
    ticks.clear();
    ticked = 0;
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, CheckColumn, CheckColumn);
}

FileRecoveredInfo *ResultTableModel::record(int row) const {
    return row >= 0 && row < records->size() ? records->at(row) : nullptr;
}

bool ResultTableModel::isTicked(int row) const { return row >= 0 && row < ticks.size() && ticks.at(row); }

void ResultTableModel::setTicked(int first, int last, bool on) {
    first = qMax(first, 0);
    last = qMin(last, ticks.size() - 1);
    if (first > last) return;
    const bool wasAll = allTicked();
    int changedFirst = -1, changedLast = -1;
    for (int r = first; r <= last; ++r) {
        if (bool(ticks.at(r)) == on) continue;
        ticks[r] = on;
        ticked += on ? 1 : -1;
        if (changedFirst < 0) changedFirst = r;
        changedLast = r;
    }
    if (changedFirst < 0) return;
    emit dataChanged(index(changedFirst, CheckColumn), index(changedLast, CheckColumn), {Qt::DecorationRole});
    if (wasAll != allTicked()) emit headerDataChanged(Qt::Horizontal, CheckColumn, CheckColumn);
}

QList<FileRecoveredInfo *> ResultTableModel::tickedRecords() const {
    QList<FileRecoveredInfo *> out;
    out.reserve(ticked);
    for (int r = 0; r < ticks.size(); ++r)
        if (ticks.at(r)) out << records->at(r);
    return out;
}

void ResultTableModel::thumbnailArrived(int row) {
    if (row < 0 || row >= records->size()) return;
    const QModelIndex cell = index(row, NameColumn);
    emit dataChanged(cell, cell, {Qt::DecorationRole});
}

int ResultTableModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : records->size(); }

int ResultTableModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant ResultTableModel::data(const QModelIndex &index, int role) const {
    FileRecoveredInfo *info = index.isValid() ? record(index.row()) : nullptr;
    if (!info) return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case NameColumn:
            return info->getName();
        case TypeColumn:
            return info->getSuffix();
        case SizeColumn:
            return Utils::formatSize(info->getLen());
        default:
            return QVariant();
        }
    case Qt::DecorationRole:
        switch (index.column()) {
        case CheckColumn:
            return ticks.at(index.row()) ? checkedPixmap : uncheckedPixmap;
        case NameColumn:
            // Asked only for the rows being drawn.
            return thumbs ? thumbs->icon(category, index.row(), info) : QVariant();
        case PreviewColumn:
            return previewPixmap;
        default:
            return QVariant();
        }
    case Qt::TextAlignmentRole:
        if (index.column() == TypeColumn || index.column() == SizeColumn) return int(Qt::AlignCenter);
        return QVariant();
    case Qt::ToolTipRole:
        // A file its file system still named: where it was, folders and all.
        if (index.column() == NameColumn && !info->getOriginalPath().isEmpty()) return info->getOriginalPath();
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant ResultTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (role) {
    case Qt::DisplayRole:
        return labels.value(section);
    case Qt::DecorationRole:
        if (section == CheckColumn) return allTicked() ? checkedPixmap : uncheckedPixmap;
        return QVariant();
    case Qt::ToolTipRole:
        if (section == CheckColumn && !checkTip.isEmpty()) return checkTip;
        return QVariant();
    default:
        return QVariant();
    }
}

Qt::ItemFlags ResultTableModel::flags(const QModelIndex &index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
