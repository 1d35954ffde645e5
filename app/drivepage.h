// The first page's list of partitions: the system's volumes and the image
// files named on the command line, kept in step with the system.  An image
// with a partition table is listed whole, then one row per partition, as a
// disk's block devices are.  The chosen partition is the highlighted row,
// however the highlight got there (a click, the arrow keys, Home or End).
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class Device;
class DeviceList;
class QTreeView;

class DrivePage : public QObject {
    Q_OBJECT
public:
    // The first of `imageFiles` listed is chosen and scrolled into view.
    DrivePage(QTreeView *view, const QStringList &imageFiles, QObject *parent = nullptr);
    ~DrivePage() override;

    // Lists the partitions again; nothing stays chosen.
    void refresh();
    // The highlighted row's device, or null.
    Device *chosen() const;
    // The partition of the chosen image the row stands for: 0 for a whole
    // device or image.
    int chosenPartition() const;
    // The chosen row holds no byte (an empty image file).
    bool chosenIsEmpty() const;
    bool offers(const Device *device) const;

signals:
    // Devices came or went; the list shown has followed.
    void changed();

private:
    struct Row {
        Device *device = nullptr;
        int partition = 0;
        qint64 size = 0;
        QString name;
    };
    // Shows the partitions listed, the row of (`keep`, `keepPartition`)
    // still highlighted.
    void show(Device *keep, int keepPartition);
    QList<Row> rowsOf(Device *device);

    QTreeView *view;
    DeviceList *drives;
    QList<Row> rows;
    Row chosenRow;  // the highlighted one
    // Partition rows of the images, by path and size: reading a table
    // again on every change of the system's devices would be wasted.
    QHash<QString, QList<Row>> partitionRows;
};
