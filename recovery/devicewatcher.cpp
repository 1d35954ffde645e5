#include "recovery/devicewatcher.h"

#include "recovery/udisks.h"

#include <QDBusConnectionInterface>
#include <QSocketNotifier>
#include <QStringList>

#include <libudev.h>

namespace {
const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
constexpr int kSettleMs = 300;

bool serviceThere(const QDBusConnection &bus) {
    if (!bus.isConnected() || !bus.interface()) return false;
    if (bus.interface()->isServiceRegistered(kService)) return true;
    // Started on the first call, as desktops install it.
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}
}  // namespace

DeviceWatcher::DeviceWatcher(QObject *parent) : DeviceWatcher(lmrudisks::systemBus(), parent) {}

DeviceWatcher::DeviceWatcher(const QDBusConnection &bus_, QObject *parent)
    : QObject(parent), bus(bus_) {
    settle.setSingleShot(true);
    settle.setInterval(kSettleMs);
    connect(&settle, &QTimer::timeout, this, &DeviceWatcher::changed);
    watch(bus_);
}

DeviceWatcher::~DeviceWatcher() {
    delete notifier;
    if (monitor) udev_monitor_unref(monitor);
    if (udevContext) udev_unref(udevContext);
}

void DeviceWatcher::watch(const QDBusConnection &b) {
    if (serviceThere(b)) {
        // Devices come and go as objects; a card put into a reader that is
        // already there changes the size of its disk.
        bool ok = bus.connect(kService, QStringLiteral("/org/freedesktop/UDisks2"), kObjectManager,
                              QStringLiteral("InterfacesAdded"), this, SLOT(onBusSignal()));
        ok = bus.connect(kService, QStringLiteral("/org/freedesktop/UDisks2"), kObjectManager,
                         QStringLiteral("InterfacesRemoved"), this, SLOT(onBusSignal())) && ok;
        bus.connect(kService, QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("PropertiesChanged"), this, SLOT(onBusSignal()));
        if (ok) {
            from = UDisks;
            return;
        }
    }
    udevContext = udev_new();
    if (!udevContext) return;
    monitor = udev_monitor_new_from_netlink(udevContext, "udev");
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor) udev_monitor_unref(monitor);
        monitor = nullptr;
        return;
    }
    notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read);
    connect(notifier, &QSocketNotifier::activated, this, &DeviceWatcher::onUdevEvent);
    from = Udev;
}

void DeviceWatcher::onBusSignal() { settle.start(); }

void DeviceWatcher::onUdevEvent() {
    // Take every event waiting; what they say is read again from the system.
    while (struct udev_device *d = udev_monitor_receive_device(monitor)) udev_device_unref(d);
    settle.start();
}
