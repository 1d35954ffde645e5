// The first page's list of partitions: the system's volumes and the image
// files named on the command line, kept in step with the system.  The chosen
// partition is the highlighted row, however the highlight got there (a
// click, the arrow keys, Home or End).
#pragma once

#include <QObject>
#include <QStringList>

class Device;
class DeviceList;
class QTreeView;

class DrivePage : public QObject {
    Q_OBJECT
public:
    DrivePage(QTreeView *view, const QStringList &imageFiles, QObject *parent = nullptr);
    ~DrivePage() override;

    // Lists the partitions again; nothing stays chosen.
    void refresh();
    // The highlighted partition, or null.
    Device *chosen() const;
    bool offers(const Device *device) const;

signals:
    // Devices came or went; the list shown has followed.
    void changed();

private:
    // Shows the partitions listed, `keep` still highlighted.
    void show(Device *keep);

    QTreeView *view;
    DeviceList *drives;
    Device *chosenDevice = nullptr;  // of the highlighted row
};
