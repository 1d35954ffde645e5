// A message bus of the test's own (a private dbus-daemon) and a stand-in
// for udisks2 on it: block devices and drives as udisks2 describes them,
// descriptors of image files handed out for the devices, refusals, and the
// object manager's signals when a device comes or goes.
//
// The stand-in answers on a connection of its own, from a thread of its
// own, so a blocking call from the test's thread goes through the daemon
// (descriptors included) as it would to the real service.
#pragma once

#include <QByteArray>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QVariantMap>

#include <fcntl.h>
#include <unistd.h>

namespace lmrtest {

using UDisksInterfaces = QMap<QString, QVariantMap>;
using UDisksObjects = QMap<QDBusObjectPath, UDisksInterfaces>;

}  // namespace lmrtest

Q_DECLARE_METATYPE(lmrtest::UDisksInterfaces)
Q_DECLARE_METATYPE(lmrtest::UDisksObjects)

namespace lmrtest {

// A dbus-daemon listening on a socket in a temporary folder; stopped when
// the object goes.
class PrivateBus {
public:
    PrivateBus() {
        if (!dir.isValid()) return;
        const QString conf = dir.filePath(QStringLiteral("bus.conf"));
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly)) return;
        f.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" +
                QFile::encodeName(dir.filePath(QStringLiteral("bus"))) +
                "</listen>\n  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n");
        f.close();
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--config-file=") + conf, QStringLiteral("--print-address=1"),
                      QStringLiteral("--nofork"), QStringLiteral("--nopidfile")});
        if (!daemon.waitForStarted(5000)) return;
        QByteArray out;
        while (!out.contains('\n') && daemon.waitForReadyRead(5000)) out += daemon.readAllStandardOutput();
        address_ = QString::fromUtf8(out).trimmed();
    }
    ~PrivateBus() {
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            if (!daemon.waitForFinished(3000)) daemon.kill();
            daemon.waitForFinished(3000);
        }
    }
    bool ok() const { return !address_.isEmpty(); }
    QString address() const { return address_; }
    // A new connection to this bus under `name`.
    QDBusConnection connect(const QString &name) const { return QDBusConnection::connectToBus(address_, name); }

    // One bus for the whole test program, which is also the program's
    // "system bus": it must come before the first use of the system bus.
    static PrivateBus &system() {
        static PrivateBus bus;
        static const bool set = [] {
            if (bus.ok()) qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
            return true;
        }();
        (void)set;
        return bus;
    }

private:
    QTemporaryDir dir;
    QProcess daemon;
    QString address_;
};

class MockUDisks : public QDBusVirtualObject {
public:
    struct Drive {
        QString vendor, model;
        bool removable = false;
        QString bus;  // ConnectionBus: usb, sdio ...
    };
    struct Block {
        QString device;     // /dev/...
        quint64 size = 0;
        QString label, type, version;
        QString drive;      // name of a drive added with addDrive, or empty
        QString backing;    // the file whose descriptor is handed out
        bool hidden = false;  // HintIgnore
    };
    // How the next requests for a descriptor are answered.
    enum Answer { Grant, Refuse, BusyThenGrant, Fail };

    explicit MockUDisks(const PrivateBus &bus) : conn(bus.connect(QStringLiteral("lmrtest-udisks"))) {
        qDBusRegisterMetaType<UDisksInterfaces>();
        qDBusRegisterMetaType<UDisksObjects>();
        conn.registerVirtualObject(root(), this, QDBusConnection::SubPath);
        thread.start();
        moveToThread(&thread);
        serving = conn.registerService(QStringLiteral("org.freedesktop.UDisks2"));
    }
    ~MockUDisks() override {
        conn.unregisterObject(root(), QDBusConnection::UnregisterTree);
        conn.unregisterService(QStringLiteral("org.freedesktop.UDisks2"));
        thread.quit();
        thread.wait();
        QDBusConnection::disconnectFromBus(QStringLiteral("lmrtest-udisks"));
    }
    bool ok() const { return serving && conn.isConnected(); }
    // Leaves the bus's name: udisks2 is gone.
    void stopServing() { conn.unregisterService(QStringLiteral("org.freedesktop.UDisks2")); }

    static QString root() { return QStringLiteral("/org/freedesktop/UDisks2"); }
    static QString drivePath(const QString &name) { return root() + QStringLiteral("/drives/") + name; }
    static QString blockPath(const QString &name) { return root() + QStringLiteral("/block_devices/") + name; }

    void addDrive(const QString &name, const Drive &d) {
        QMutexLocker hold(&lock);
        drives[name] = d;
    }
    // Adds (and, with `announce`, signals) a block device.
    void addBlock(const QString &name, const Block &b, bool announce = false) {
        {
            QMutexLocker hold(&lock);
            blocks[name] = b;
        }
        if (!announce) return;
        QDBusMessage s = QDBusMessage::createSignal(root(), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                    QStringLiteral("InterfacesAdded"));
        s << QVariant::fromValue(QDBusObjectPath(blockPath(name))) << QVariant::fromValue(interfacesOf(name));
        conn.send(s);
    }
    void removeBlock(const QString &name, bool announce = true) {
        {
            QMutexLocker hold(&lock);
            blocks.remove(name);
        }
        if (!announce) return;
        QDBusMessage s = QDBusMessage::createSignal(root(), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                    QStringLiteral("InterfacesRemoved"));
        s << QVariant::fromValue(QDBusObjectPath(blockPath(name)))
          << QStringList{QStringLiteral("org.freedesktop.UDisks2.Block")};
        conn.send(s);
    }
    void setAnswer(Answer a) {
        QMutexLocker hold(&lock);
        answer = a;
    }
    // With `on`, requests for the list of devices go unanswered, as from a
    // service that hangs; without, those held are answered.
    void holdLists(bool on) {
        QList<QDBusMessage> answer;
        {
            QMutexLocker hold(&lock);
            holding = on;
            if (!on) answer.swap(held);
        }
        for (const QDBusMessage &m : answer) conn.send(m.createReply(QVariant::fromValue(allObjects())));
    }
    // Requests for the list of devices held unanswered.
    int listsHeld() {
        QMutexLocker hold(&lock);
        return held.size();
    }
    // Requests for a descriptor so far, as "METHOD name".
    QStringList requests() {
        QMutexLocker hold(&lock);
        return asked;
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &m, const QDBusConnection &c) override {
        if (m.type() != QDBusMessage::MethodCallMessage) return false;
        if (m.path() == root() && m.member() == QLatin1String("GetManagedObjects")) {
            {
                QMutexLocker hold(&lock);
                if (holding) {
                    held << m;
                    return true;
                }
            }
            c.send(m.createReply(QVariant::fromValue(allObjects())));
            return true;
        }
        const QString prefix = blockPath(QString());
        if (m.interface() == QLatin1String("org.freedesktop.UDisks2.Block") && m.path().startsWith(prefix) &&
            (m.member() == QLatin1String("OpenForBackup") || m.member() == QLatin1String("OpenDevice"))) {
            const QString name = m.path().mid(prefix.size());
            QMutexLocker hold(&lock);
            asked << m.member() + QLatin1Char(' ') + name;
            if (!blocks.contains(name)) {
                c.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"), name));
                return true;
            }
            if (answer == Refuse) {
                c.send(m.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"),
                                          QStringLiteral("Not authorized to perform operation")));
                return true;
            }
            if (answer == Fail || (answer == BusyThenGrant && m.member() == QLatin1String("OpenForBackup"))) {
                c.send(m.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                                          QStringLiteral("Error opening %1: Device or resource busy")
                                              .arg(blocks[name].device)));
                return true;
            }
            const int fd = ::open(QFile::encodeName(blocks[name].backing).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                c.send(m.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"), QStringLiteral("no backing file")));
                return true;
            }
            QDBusUnixFileDescriptor handed(fd);  // a copy of its own
            ::close(fd);
            c.send(m.createReply(QVariant::fromValue(handed)));
            return true;
        }
        c.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), m.member()));
        return true;
    }

private:
    UDisksObjects allObjects() {
        UDisksObjects all;
        QMutexLocker hold(&lock);
        for (auto it = drives.constBegin(); it != drives.constEnd(); ++it)
            all[QDBusObjectPath(drivePath(it.key()))] = driveInterfaces(it.value());
        for (auto it = blocks.constBegin(); it != blocks.constEnd(); ++it)
            all[QDBusObjectPath(blockPath(it.key()))] = blockInterfaces(it.value());
        return all;
    }
    UDisksInterfaces interfacesOf(const QString &name) {
        QMutexLocker hold(&lock);
        return blockInterfaces(blocks.value(name));
    }
    static UDisksInterfaces driveInterfaces(const Drive &d) {
        QVariantMap p;
        p[QStringLiteral("Vendor")] = d.vendor;
        p[QStringLiteral("Model")] = d.model;
        p[QStringLiteral("Removable")] = d.removable;
        p[QStringLiteral("MediaRemovable")] = false;
        p[QStringLiteral("ConnectionBus")] = d.bus;
        return {{QStringLiteral("org.freedesktop.UDisks2.Drive"), p}};
    }
    UDisksInterfaces blockInterfaces(const Block &b) const {
        QVariantMap p;
        p[QStringLiteral("Device")] = QByteArray(QFile::encodeName(b.device) + '\0');
        p[QStringLiteral("PreferredDevice")] = QByteArray(QFile::encodeName(b.device) + '\0');
        p[QStringLiteral("Size")] = QVariant::fromValue<qulonglong>(b.size);
        p[QStringLiteral("IdLabel")] = b.label;
        p[QStringLiteral("IdType")] = b.type;
        p[QStringLiteral("IdVersion")] = b.version;
        p[QStringLiteral("IdUsage")] = b.type.isEmpty() ? QString() : QStringLiteral("filesystem");
        p[QStringLiteral("HintIgnore")] = b.hidden;
        p[QStringLiteral("Drive")] =
            QVariant::fromValue(QDBusObjectPath(b.drive.isEmpty() ? QStringLiteral("/") : drivePath(b.drive)));
        return {{QStringLiteral("org.freedesktop.UDisks2.Block"), p}};
    }

    QDBusConnection conn;
    QThread thread;
    bool serving = false;
    QMutex lock;
    QMap<QString, Drive> drives;
    QMap<QString, Block> blocks;
    Answer answer = Grant;
    QStringList asked;
    bool holding = false;
    QList<QDBusMessage> held;
};

}  // namespace lmrtest
