#include "drivepage.h"

#include "recovery/device.h"
#include "recovery/devicelist.h"
#include "recovery/diskpartitions.h"
#include "recovery/platform/linux_devices.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QIcon>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QStandardItemModel>
#include <QTreeView>

namespace {

// "card.img · 1 · CAMERA (exFAT) · 63.9 GB": the image, the partition's
// number, the file system's label and type (the table's name or type where
// the file system is not known), the size.
QString partitionName(const QString &image, const PartitionInfo &p) {
    lmrplatform::VolumeInfo v;
    lmrplatform::probeFileSystemAt(image, qint64(p.start), qint64(p.size), &v);
    QString fs = lmrplatform::fileSystemName(v.fsType, v.fsVersion);
    if (fs.isEmpty()) fs = p.fileSystem;
    const QString label = v.label.isEmpty() ? p.label : v.label;
    QStringList parts{QFileInfo(image).fileName(), QString::number(p.number)};
    if (!label.isEmpty() && !fs.isEmpty())
        parts << QStringLiteral("%1 (%2)").arg(label, fs);
    else if (!label.isEmpty() || !fs.isEmpty())
        parts << (label.isEmpty() ? fs : label);
    else if (!p.type.isEmpty())
        parts << p.type;
    parts << lmrplatform::decimalSize(qint64(p.size));
    return parts.join(QStringLiteral(" · "));
}

}  // namespace

DrivePage::DrivePage(QTreeView *view_, const QStringList &imageFiles, QObject *parent)
    : QObject(parent), view(view_), drives(new DeviceList(imageFiles)) {
    view->setAttribute(Qt::WA_MacShowFocusRect, false);
    view->setColumnWidth(0, 280);
    view->setColumnWidth(1, 380);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(drives, &DeviceList::changed, this, [this] {
        show(chosenRow.device, chosenRow.partition);
        emit changed();
    });
    // The image the user named is what they came for: chosen and in view,
    // however many partitions the system lists before it.
    Device *named = nullptr;
    for (Device *d : drives->devices())
        if (!named && imageFiles.contains(d->getDevFile())) named = d;
    show(named, 0);
    if (named) view->scrollTo(view->currentIndex());
}

DrivePage::~DrivePage() {
    // The model is the view's child; the devices go with the list.
    delete drives;
}

void DrivePage::refresh() {
    drives->refresh();
    show(nullptr, 0);
}

Device *DrivePage::chosen() const { return drives->contains(chosenRow.device) ? chosenRow.device : nullptr; }

int DrivePage::chosenPartition() const { return chosen() ? chosenRow.partition : 0; }

bool DrivePage::chosenIsEmpty() const { return chosen() && chosenRow.size <= 0; }

bool DrivePage::offers(const Device *device) const { return device && drives->contains(device); }

QList<DrivePage::Row> DrivePage::rowsOf(Device *d) {
    Row whole;
    whole.device = d;
    whole.size = d->totalSize;
    whole.name = d->getName();
    if (d->removable) whole.name += QStringLiteral(" · ") + tr("可移动");
    const QString path = d->getDevFile();
    // A device the system lists has its partitions listed beside it; an
    // image's are read from its table here.
    if (!QFileInfo(path).isFile()) return {whole};
    if (d->totalSize <= 0) {
        whole.name += QStringLiteral(" · ") + tr("空文件（0 字节），无法扫描");
        return {whole};
    }
    const QString key = QStringLiteral("%1\n%2").arg(path).arg(d->totalSize);
    if (!partitionRows.contains(key)) {
        QList<Row> parts;
        for (const PartitionInfo &p : DiskPartitions::read(path)) {
            Row r;
            r.partition = p.number;
            r.size = qint64(p.size);
            r.name = partitionName(path, p);
            parts << r;
        }
        partitionRows.insert(key, parts);
    }
    QList<Row> out{whole};
    for (Row r : partitionRows.value(key)) {
        r.device = d;
        out << r;
    }
    return out;
}

void DrivePage::show(Device *keep, int keepPartition) {
    rows.clear();
    for (Device *d : drives->devices()) rows << rowsOf(d);
    // Two rows of one name (an image through two loop devices, two cards
    // of one model) say which device each is.
    QHash<QString, int> uses;
    for (const Row &r : rows) ++uses[r.name];
    for (Row &r : rows)
        if (uses.value(r.name) > 1) r.name += QStringLiteral(" · ") + r.device->getDevFile();

    auto *model = new QStandardItemModel(view);
    model->setHorizontalHeaderLabels({tr("分区名称"), tr("分区大小")});
    const QIcon partition(QPixmap(QStringLiteral(":/icons/resource/icon_partition.png")));
    int keepRow = -1;
    for (int i = 0; i < rows.size(); ++i) {
        const Row &r = rows.at(i);
        auto *item = new QStandardItem(partition, r.name);
        item->setToolTip(r.partition ? tr("%1 的第 %2 个分区").arg(r.device->getDevFile()).arg(r.partition)
                                     : r.device->getDevFile());
        model->setItem(i, 0, item);
        model->setItem(i, 1, new QStandardItem(lmrplatform::decimalSize(r.size)));
        if (keep && r.device == keep && r.partition == keepPartition) keepRow = i;
    }
    QAbstractItemModel *old = view->model();
    chosenRow = Row();
    view->setModel(model);
    // Whatever moves the highlight (mouse, arrow keys, Home, End) moves the
    // choice with it.
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList selected = view->selectionModel()->selectedRows(0);
        chosenRow = selected.isEmpty() ? Row() : rows.value(selected.first().row());
    });
    // Names say what a device is and run long: the name column takes what
    // they need, leaving the size its room.
    const int room = view->viewport()->width() - 140;
    view->resizeColumnToContents(0);
    const int nameWidth = qMax(280, qMin(view->columnWidth(0) + 16, room));
    view->setColumnWidth(0, nameWidth);
    view->setColumnWidth(1, qMax(140, qMin(380, view->viewport()->width() - nameWidth)));
    if (keepRow >= 0)
        view->selectionModel()->setCurrentIndex(model->index(keepRow, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (old && old->parent() == view) old->deleteLater();
}
