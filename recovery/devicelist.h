// The volumes a front end offers, kept in step with the system: devices
// that come are added and those that go are taken out as it happens, while
// a device still there keeps its Device object (its descriptor included),
// so a row chosen, or a scan under way, is not lost to a refresh.
//
// The system's devices are asked of udisks2 without waiting for it: the
// image files are listed at once, and the list fills in (changed()) when
// the answer comes, so a slow or silent service never holds up the thread
// the list lives on.
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
    // Asks for the system's devices and hands them (owned by the receiver)
    // to the function given, at once or later in the event loop.
    using Asker = std::function<void(DeviceList *list, std::function<void(QList<Device *> *)> answer)>;

    // The system's devices (from udisks2, else from sysfs), then the image
    // files given; watched for changes when `watch` is set.
    explicit DeviceList(const QStringList &imageFiles, bool watch = true, QObject *parent = nullptr);
    // Devices from `lister`, asked and answered at once, instead of the
    // system's (for tests).
    DeviceList(const QStringList &imageFiles, Lister lister, DeviceWatcher *watcher, QObject *parent);
    // Devices from `asker` instead of the system's.
    DeviceList(const QStringList &imageFiles, Asker asker, DeviceWatcher *watcher, QObject *parent);
    // Frees every device, those gone from the list too.
    ~DeviceList() override;

    const QList<Device *> &devices() const { return shown; }
    Device *at(int row) const { return row >= 0 && row < shown.size() ? shown.at(row) : nullptr; }
    int rowOf(const Device *device) const;
    bool contains(const Device *device) const { return rowOf(device) >= 0; }

    // Asks for the devices again; the list changes when the answer comes.
    // A device is the same while its path and size are (a new card in a
    // reader is another device); its name may change.
    void refresh();
    // A question sent and not answered yet.
    bool waiting() const { return answered != asked; }
    // Lists of the process waiting for an answer (for tests that go on
    // once the window shows the system's devices).
    static int listsWaiting();

signals:
    // The list was made again from an answer about the system's devices.
    void changed();

private:
    // The image files after the system's devices `system` (taken over).
    void merge(QList<Device *> *system);

    QStringList images;
    Asker asker;
    quint64 asked = 0;     // questions sent
    quint64 answered = 0;  // the last one whose answer was taken
    DeviceWatcher *watcher = nullptr;
    QList<Device *> shown;
    // Devices gone from the list: kept until the list goes, as a scan
    // started on one may still be reading its path and descriptor.
    QList<Device *> gone;
};
