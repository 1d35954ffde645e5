#include "recovery/udisks.h"


#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMetaObject>
#include <QVariantMap>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kLoop = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString kPartition = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");

constexpr int kListTimeoutMs = 5000;

}  // namespace

Q_DECLARE_METATYPE(InterfaceProperties)
Q_DECLARE_METATYPE(ManagedObjects)

namespace {

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<InterfaceProperties>();
        qDBusRegisterMetaType<ManagedObjects>();
        return true;
    }();
    (void)done;
}

// A file name the service gives as bytes ("ay", NUL-terminated).
QString pathBytes(const QVariant &v) {
    QByteArray bytes = v.toByteArray();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    return QFile::decodeName(bytes);
}

QString text(const QVariantMap &props, const char *name) {
    return lmrplatform::cleanText(props.value(QLatin1String(name)).toString().toUtf8());
}

QDBusObjectPath objectPath(const QVariant &v) {
    return v.canConvert<QDBusObjectPath>() ? v.value<QDBusObjectPath>() : QDBusObjectPath();
}

// The first of a list of file names ("aay"), e.g. a file system's mount points.
QString firstPath(const QVariant &v) {
    if (!v.canConvert<QDBusArgument>()) return QString();
    const QList<QByteArray> list = qdbus_cast<QList<QByteArray>>(v.value<QDBusArgument>());
    return list.isEmpty() ? QString() : pathBytes(list.first());
}

QDBusMessage managedObjectsCall() {
    return QDBusMessage::createMethodCall(kService, kRoot, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                          QStringLiteral("GetManagedObjects"));
}

// The objects of a GetManagedObjects reply; false (with `error`) when the
// reply is an error or not what the service sends.
bool objectsOf(const QDBusMessage &reply, ManagedObjects *objects, QString *error) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        if (error) *error = reply.errorName();
        return false;
    }
    const QVariant first = reply.arguments().first();
    if (!first.canConvert<QDBusArgument>() || reply.signature() != QLatin1String("a{oa{sa{sv}}}")) {
        if (error) *error = QStringLiteral("unexpected reply");
        return false;
    }
    *objects = qdbus_cast<ManagedObjects>(first.value<QDBusArgument>());
    return true;
}

// Blocks until udisks2 answers: only off the GUI thread (the access
// broker's lookup of a device's object, on the scan's thread).
bool askForObjects(const QDBusConnection &bus, ManagedObjects *objects, QString *error) {
    registerTypes();
    if (!bus.isConnected()) {
        if (error) *error = QStringLiteral("no system bus");
        return false;
    }
    return objectsOf(bus.call(managedObjectsCall(), QDBus::Block, kListTimeoutMs), objects, error);
}

lmrplatform::VolumeInfo describe(const ManagedObjects &objects, const QDBusObjectPath &path) {
    const InterfaceProperties &ifaces = objects[path];
    const QVariantMap block = ifaces.value(kBlock);
    lmrplatform::VolumeInfo v;
    v.devFile = pathBytes(block.value(QStringLiteral("Device")));
    v.kernelName = QFileInfo(v.devFile).fileName();
    v.size = qint64(qMin<qulonglong>(block.value(QStringLiteral("Size")).toULongLong(), qulonglong(INT64_MAX)));
    v.label = text(block, "IdLabel");
    v.fsType = text(block, "IdType");
    v.fsVersion = text(block, "IdVersion");
    v.udisksObject = path.path();
    v.mountPoint = firstPath(ifaces.value(kFilesystem).value(QStringLiteral("MountPoints")));

    const QDBusObjectPath drivePath = objectPath(block.value(QStringLiteral("Drive")));
    if (objects.contains(drivePath)) {
        const QVariantMap drive = objects[drivePath].value(kDrive);
        v.vendor = text(drive, "Vendor");
        v.model = text(drive, "Model");
        const QString bus = drive.value(QStringLiteral("ConnectionBus")).toString();
        v.removable = drive.value(QStringLiteral("Removable")).toBool() ||
                      drive.value(QStringLiteral("MediaRemovable")).toBool() || bus == QLatin1String("usb") ||
                      bus == QLatin1String("sdio");
    }
    // A loop device, or a partition of one, is known by its backing file.
    QVariantMap loop = ifaces.value(kLoop);
    if (loop.isEmpty()) {
        const QDBusObjectPath table = objectPath(ifaces.value(kPartition).value(QStringLiteral("Table")));
        if (objects.contains(table)) loop = objects[table].value(kLoop);
    }
    v.backingFile = pathBytes(loop.value(QStringLiteral("BackingFile")));
    v.name = lmrplatform::displayName(v);
    return v;
}

bool refusedName(const QString &error) {
    return error.startsWith(QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
           error == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
           error == QLatin1String("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired");
}

bool noServiceName(const QString &error) {
    return error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           error == QLatin1String("org.freedesktop.DBus.Error.NoServer") ||
           error == QLatin1String("org.freedesktop.DBus.Error.Disconnected") ||
           error == QLatin1String("org.freedesktop.DBus.Error.Spawn.ServiceNotFound");
}

AccessBroker::Result fromReply(const QDBusMessage &reply) {
    AccessBroker::Result r;
    if (reply.type() == QDBusMessage::ReplyMessage) {
        const QList<QVariant> args = reply.arguments();
        const QDBusUnixFileDescriptor handed =
            args.isEmpty() ? QDBusUnixFileDescriptor() : args.first().value<QDBusUnixFileDescriptor>();
        if (!handed.isValid()) {
            r.outcome = AccessBroker::Failed;
            r.detail = QStringLiteral("udisks2 handed over no descriptor");
            return r;
        }
        r.fd = fcntl(handed.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        r.outcome = r.fd >= 0 ? AccessBroker::Granted : AccessBroker::Failed;
        if (r.fd < 0) r.detail = QString::fromLocal8Bit(strerror(errno));
        return r;
    }
    const QString name = reply.errorName();
    r.outcome = refusedName(name) ? AccessBroker::Refused : noServiceName(name) ? AccessBroker::NoService : AccessBroker::Failed;
    r.detail = lmrplatform::cleanText(reply.errorMessage().toUtf8());
    if (r.detail.isEmpty()) r.detail = name;
    return r;
}

AccessBroker::Result openCall(const QDBusConnection &bus, const QString &object, const QString &method,
                              const QVariantList &args, int timeoutMs) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, object, kBlock, method);
    call.setArguments(args);
    // udisks2 asks polkit, which may ask the person at the desktop.
    call.setInteractiveAuthorizationAllowed(true);
    return fromReply(bus.call(call, QDBus::Block, timeoutMs));
}

}  // namespace

namespace lmrudisks {

QDBusConnection systemBus() { return QDBusConnection::systemBus(); }

// The block devices worth listing among udisks2's objects, sorted by their
// kernel names.
QList<lmrplatform::VolumeInfo> volumesOf(const ManagedObjects &objects) {
    QList<lmrplatform::VolumeInfo> result;
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const QVariantMap block = it.value().value(kBlock);
        if (block.isEmpty() || block.value(QStringLiteral("Size")).toULongLong() == 0 ||
            block.value(QStringLiteral("HintIgnore")).toBool())
            continue;
        lmrplatform::VolumeInfo v = describe(objects, it.key());
        if (v.devFile.isEmpty()) continue;
        result.append(v);
    }
    std::sort(result.begin(), result.end(), [](const lmrplatform::VolumeInfo &a, const lmrplatform::VolumeInfo &b) {
        return a.kernelName < b.kernelName;
    });
    return result;
}

QList<lmrplatform::VolumeInfo> blockDevices(const QDBusConnection &bus, bool *listed) {
    ManagedObjects objects;
    const bool ok = askForObjects(bus, &objects, nullptr);
    if (listed) *listed = ok;
    return ok ? volumesOf(objects) : QList<lmrplatform::VolumeInfo>();
}

void askForBlockDevices(const QDBusConnection &bus, QObject *context, DevicesAnswer done, int timeoutMs) {
    registerTypes();
    if (!bus.isConnected()) {
        QMetaObject::invokeMethod(context, [done] { done({}, false); }, Qt::QueuedConnection);
        return;
    }
    QDBusConnection connection(bus);
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(managedObjectsCall(), timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done] {
        watcher->deleteLater();
        ManagedObjects objects;
        const bool ok = objectsOf(watcher->reply(), &objects, nullptr);
        done(ok ? volumesOf(objects) : QList<lmrplatform::VolumeInfo>(), ok);
    });
}

}  // namespace lmrudisks

AccessBroker::Result AccessBroker::openForReading(const QString &devFile, const QString &udisksObject,
                                                  const QDBusConnection &bus, int timeoutMs) {
    Result r;
    const QByteArray path = QFile::encodeName(devFile);
    struct stat st {};
    const bool exists = ::stat(path.constData(), &st) == 0;
    if (exists && !S_ISBLK(st.st_mode)) return r;  // an image file: read as it is
    if (exists) {
        // Root, or a member of the disk group: no one needs to be asked.
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return r;
        }
        if (errno != EACCES && errno != EPERM) return r;  // the scan will say what is wrong
    }
    QString object = udisksObject;
    if (object.isEmpty() && !exists) return r;  // nothing there: the scan will say so
    if (object.isEmpty()) {
        ManagedObjects objects;
        QString error;
        if (!askForObjects(bus, &objects, &error)) {
            r.outcome = NoService;
            r.detail = error;
            return r;
        }
        for (auto it = objects.constBegin(); it != objects.constEnd() && object.isEmpty(); ++it) {
            const QVariantMap block = it.value().value(kBlock);
            if (!block.isEmpty() && pathBytes(block.value(QStringLiteral("Device"))) == devFile) object = it.key().path();
        }
        if (object.isEmpty()) {
            r.outcome = Failed;
            r.detail = QStringLiteral("udisks2 does not know %1").arg(devFile);
            return r;
        }
    }
    if (!bus.isConnected()) {
        r.outcome = NoService;
        r.detail = QStringLiteral("no system bus");
        return r;
    }
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        r.outcome = NoService;
        r.detail = QStringLiteral("the system bus cannot pass descriptors");
        return r;
    }
    r = openCall(bus, object, QStringLiteral("OpenForBackup"), {QVariantMap()}, timeoutMs);
    if (r.outcome == Failed) {
        // OpenForBackup opens the device exclusively, which a mounted
        // partition refuses; OpenDevice reads it alongside the mount.
        Result shared = openCall(bus, object, QStringLiteral("OpenDevice"), {QStringLiteral("r"), QVariantMap()}, timeoutMs);
        if (shared.outcome != Failed) return shared;
    }
    return r;
}

