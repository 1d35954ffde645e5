#include "recovery/devicewatcher.h"

#include "recovery/udisks.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSocketNotifier>
#include <QStringList>

#include <libudev.h>

namespace {
const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int kSettleMs = 300;

QDBusMessage busCall(const char *method) {
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), QLatin1String(method));
}
}  // namespace

DeviceWatcher::DeviceWatcher(QObject *parent) : DeviceWatcher(lmrudisks::systemBus(), parent) {}

DeviceWatcher::DeviceWatcher(const QDBusConnection &bus_, QObject *parent)
    : QObject(parent), bus(bus_) {
    settle.setSingleShot(true);
    settle.setInterval(kSettleMs);
    connect(&settle, &QTimer::timeout, this, &DeviceWatcher::changed);
    if (bus.isConnected() && listen(true)) {
        from = UDisks;
        askForService();
        return;
    }
    watchKernel();
}

DeviceWatcher::~DeviceWatcher() {
    delete notifier;
    if (monitor) udev_monitor_unref(monitor);
    if (udevContext) udev_unref(udevContext);
}

bool DeviceWatcher::listen(bool on) {
    // Signals are matched by udisks2's object paths rather than its bus
    // name: following a name's owner would cost a call that waits.  Devices
    // come and go as objects; a card put into a reader that is already
    // there changes the size of its disk.
    const char *slot = SLOT(onBusSignal(QDBusMessage));
    auto hook = [&](const QString &path, const QString &interface, const char *signal) {
        return on ? bus.connect(QString(), path, interface, QLatin1String(signal), this, slot)
                  : bus.disconnect(QString(), path, interface, QLatin1String(signal), this, slot);
    };
    bool ok = hook(kRoot, kObjectManager, "InterfacesAdded");
    ok = hook(kRoot, kObjectManager, "InterfacesRemoved") && ok;
    hook(QString(), kProperties, "PropertiesChanged");
    return ok;
}

void DeviceWatcher::askForService() {
    QDBusMessage has = busCall("NameHasOwner");
    has << kService;
    auto *asked = new QDBusPendingCallWatcher(bus.asyncCall(has), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this, [this, asked] {
        asked->deleteLater();
        const QDBusPendingReply<bool> running = *asked;
        if (running.isValid() && running.value()) return;
        // Started on the first call, as desktops install it.
        auto *startable = new QDBusPendingCallWatcher(bus.asyncCall(busCall("ListActivatableNames")), this);
        connect(startable, &QDBusPendingCallWatcher::finished, this, [this, startable] {
            startable->deleteLater();
            const QDBusPendingReply<QStringList> names = *startable;
            if (names.isValid() && names.value().contains(kService)) return;
            listen(false);
            watchKernel();
        });
    });
}

void DeviceWatcher::watchKernel() {
    from = None;
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

void DeviceWatcher::onBusSignal(const QDBusMessage &message) {
    // Other services' properties pass by too.
    if (message.path() == kRoot || message.path().startsWith(kRoot + QLatin1Char('/'))) settle.start();
}

void DeviceWatcher::onUdevEvent() {
    // Take every event waiting; what they say is read again from the system.
    while (struct udev_device *d = udev_monitor_receive_device(monitor)) udev_device_unref(d);
    settle.start();
}
