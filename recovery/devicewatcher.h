// Tells when block devices come, go or change (a card put in or taken out,
// a file system made): from udisks2's signals on the system bus when it
// runs, else from the kernel's device events through a udev monitor.
// Whether udisks2 runs is asked of the bus without waiting: on a bus, its
// signals are listened for at once, and the kernel's events instead once
// the bus has said that udisks2 is neither there nor to be started.
#pragma once

#include "recovery/lmr_export.h"

#include <QDBusConnection>
#include <QDBusMessage>
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

    // UDisks on a connected bus until the bus has said udisks2 is not
    // there (then Udev, or None without a udev monitor).
    Source source() const { return from; }

signals:
    // Something changed; a burst of events (a card brings a disk and its
    // partitions) gives one signal, a moment after the last of them.
    void changed();

private slots:
    void onBusSignal(const QDBusMessage &message);
    void onUdevEvent();

private:
    // Listens to (with `on`) or leaves udisks2's signals; true when the bus
    // took every one.
    bool listen(bool on);
    // Asks the bus, without waiting, whether udisks2 runs or can be started.
    void askForService();
    void watchKernel();

    Source from = None;
    QDBusConnection bus;
    QTimer settle;
    struct udev *udevContext = nullptr;
    struct udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
};
