// Tells when block devices come, go or change (a card put in or taken out,
// a file system made): from udisks2's signals on the system bus when it
// runs, else from the kernel's device events through a udev monitor.
#pragma once

#include "recovery/lmr_export.h"

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

struct udev;
struct udev_monitor;
class QSocketNotifier;

class LMR_QT_EXPORT DeviceWatcher : public QObject {
    Q_OBJECT
public:
    enum Source { None, UDisks, Udev };

    // Watches through udisks2 on the system bus, else through udev.
    explicit DeviceWatcher(QObject *parent = nullptr);
    // Through udisks2 on `bus` when it is there, else through udev.
    DeviceWatcher(const QDBusConnection &bus, QObject *parent);
    ~DeviceWatcher() override;

    Source source() const { return from; }

signals:
    // Something changed; a burst of events (a card brings a disk and its
    // partitions) gives one signal, a moment after the last of them.
    void changed();

private slots:
    void onBusSignal();
    void onUdevEvent();

private:
    void watch(const QDBusConnection &bus);

    Source from = None;
    QDBusConnection bus;
    QTimer settle;
    struct udev *udevContext = nullptr;
    struct udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
};
