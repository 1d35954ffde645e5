#include "recovery/device.h"

#include "recovery/platform/linux_devices.h"
#include "recovery/udisks.h"

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace {
std::atomic<Device *> currentDevice{nullptr};

Device *makeDevice(const lmrplatform::VolumeInfo &v) {
    auto *d = new Device(nullptr);
    d->setDevFile(v.devFile);
    d->setName(v.name);
    if (!v.mountPoint.isEmpty()) d->setMountPoint(v.mountPoint);
    d->totalSize = v.size;
    d->removable = v.removable;
    d->udisksObject = v.udisksObject;
    return d;
}

QList<Device *> *makeDevices(const QList<lmrplatform::VolumeInfo> &volumes) {
    auto *list = new QList<Device *>();
    for (const lmrplatform::VolumeInfo &v : volumes) list->append(makeDevice(v));
    return list;
}
}  // namespace

Device::Device(QObject *parent) : QObject(parent) {}

Device::~Device() { setDescriptor(-1); }

void Device::setDescriptor(int newFd) {
    const int copy = newFd >= 0 ? fcntl(newFd, F_DUPFD_CLOEXEC, 0) : -1;
    const int old = fd.exchange(copy);
    if (old >= 0) ::close(old);
}

int Device::descriptor() const { return fd.load(); }

QString Device::getDevFile() const { return devFile; }
QString Device::getRDevFile() const { return rDevFile; }
QString Device::getMountPoint() const { return mountPoint; }
QString Device::getFormat() const { return format; }
QString Device::getName() const { return name; }

void Device::setDevFile(QString path) {
    devFile = path;
    rDevFile = path;
}

void Device::setMountPoint(QString mountPoint_) {
    mountPoint = mountPoint_;
    if (name.isEmpty()) name = mountPoint_;
}

void Device::setFormat(QString format_) { format = format_; }
void Device::setName(QString name_) { name = name_; }

DeviceManager::DeviceManager(QObject *parent) : QObject(parent) {}

QList<Device *> *DeviceManager::getDeviceList() {
    bool listed = false;
    const QList<lmrplatform::VolumeInfo> volumes = lmrudisks::blockDevices(lmrudisks::systemBus(), &listed);
    if (listed) return makeDevices(volumes);
    return getDeviceList(QStringLiteral("/sys"), QStringLiteral("/proc"));
}

QList<Device *> *DeviceManager::getDeviceList(const QString &sysRoot, const QString &procRoot,
                                              const QString &devRoot) {
    return makeDevices(lmrplatform::listBlockDevices(sysRoot, procRoot, devRoot));
}

QList<Device *> *DeviceManager::devicesFor(const QList<lmrplatform::VolumeInfo> &volumes) {
    return makeDevices(volumes);
}

void DeviceManager::freeDeviceList(QList<Device *> *list) {
    if (!list) return;
    for (Device *d : *list) delete d;
    delete list;
}

Device *DeviceManager::deviceForPath(const QString &path) {
    return makeDevice(lmrplatform::describePath(path, QStringLiteral("/sys"), QStringLiteral("/proc")));
}

Device *DeviceManager::getCurrentDevice() { return currentDevice.load(); }

void DeviceManager::setCurrentDevice(Device *device) { currentDevice.store(device); }
