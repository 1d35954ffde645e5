#include "drivepage.h"

#include "recovery/device.h"
#include "recovery/devicelist.h"
#include "recovery/suffixutils.h"

#include <QCoreApplication>
#include <QIcon>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QStandardItemModel>
#include <QTreeView>

DrivePage::DrivePage(QTreeView *view_, const QStringList &imageFiles, QObject *parent)
    : QObject(parent), view(view_), drives(new DeviceList(imageFiles)) {
    view->setAttribute(Qt::WA_MacShowFocusRect, false);
    view->setColumnWidth(0, 280);
    view->setColumnWidth(1, 380);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(drives, &DeviceList::changed, this, [this] {
        show(chosenDevice);
        emit changed();
    });
    show(nullptr);
}

DrivePage::~DrivePage() {
    // The model is the view's child; the devices go with the list.
    delete drives;
}

void DrivePage::refresh() {
    drives->refresh();
    show(nullptr);
}

Device *DrivePage::chosen() const { return drives->contains(chosenDevice) ? chosenDevice : nullptr; }

bool DrivePage::offers(const Device *device) const { return device && drives->contains(device); }

void DrivePage::show(Device *keep) {
    auto *model = new QStandardItemModel(view);
    model->setHorizontalHeaderLabels({tr("分区名称"), tr("分区大小")});
    const QIcon partition(QPixmap(QStringLiteral(":/icons/resource/icon_partition.png")));
    for (int i = 0; i < drives->devices().size(); ++i) {
        Device *d = drives->at(i);
        QString name = d->getName();
        if (d->removable) name += QStringLiteral(" · ") + tr("可移动");
        auto *item = new QStandardItem(partition, name);
        item->setToolTip(d->getDevFile());
        model->setItem(i, 0, item);
        model->setItem(i, 1, new QStandardItem(Utils::formatSize(d->totalSize)));
    }
    QAbstractItemModel *old = view->model();
    chosenDevice = nullptr;
    view->setModel(model);
    // Whatever moves the highlight (mouse, arrow keys, Home, End) moves the
    // choice with it.
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        const QModelIndexList rows = view->selectionModel()->selectedRows(0);
        chosenDevice = rows.isEmpty() ? nullptr : drives->at(rows.first().row());
    });
    // Names say what a device is and run long: the name column takes what
    // they need, leaving the size its room.
    const int room = view->viewport()->width() - 140;
    view->resizeColumnToContents(0);
    const int nameWidth = qMax(280, qMin(view->columnWidth(0) + 16, room));
    view->setColumnWidth(0, nameWidth);
    view->setColumnWidth(1, qMax(140, qMin(380, view->viewport()->width() - nameWidth)));
    const int row = drives->rowOf(keep);
    if (row >= 0)
        view->selectionModel()->setCurrentIndex(model->index(row, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (old && old->parent() == view) old->deleteLater();
}
