// The volumes a front end offers, kept in step with the system: devices
// that come are added and those that go are taken out as it happens, while
// a device still there keeps its Device object (its descriptor included),
// so a row chosen, or a scan under way, is not lost to a refresh.
#pragma once

#include "recovery/lmr_export.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class Device;
class DeviceWatcher;

class LMR_QT_EXPORT DeviceList : public QObject {
    Q_OBJECT
public:
    using Lister = std::function<QList<Device *> *()>;

    // The system's devices (DeviceManager::getDeviceList), then the image
    // files given; watched for changes when `watch` is set.
    explicit DeviceList(const QStringList &imageFiles, bool watch = true, QObject *parent = nullptr);
    // Devices from `lister` instead of the system's (for tests).
    DeviceList(const QStringList &imageFiles, Lister lister, DeviceWatcher *watcher, QObject *parent);
    // Frees every device, those gone from the list too.
    ~DeviceList() override;

    const QList<Device *> &devices() const { return shown; }
    Device *at(int row) const { return row >= 0 && row < shown.size() ? shown.at(row) : nullptr; }
    int rowOf(const Device *device) const;
    bool contains(const Device *device) const { return rowOf(device) >= 0; }

    // Lists again.  A device is the same while its path and size are (a
    // new card in a reader is another device); its name may change.
    void refresh();

signals:
    // The list was made again after the system's devices changed.
    void changed();

private:
    void onSystemChanged();

    QStringList images;
    Lister lister;
    DeviceWatcher *watcher = nullptr;
    QList<Device *> shown;
    // Devices gone from the list: kept until the list goes, as a scan
    // started on one may still be reading its path and descriptor.
    QList<Device *> gone;
};
