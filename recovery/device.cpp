#include "recovery/device.h"

#include "recovery/platform/linux_devices.h"

#include <atomic>

namespace {
std::atomic<Device *> currentDevice{nullptr};

Device *makeDevice(const lmrplatform::VolumeInfo &v) {
    auto *d = new Device(nullptr);
    d->setDevFile(v.devFile);
    if (!v.mountPoint.isEmpty()) d->setMountPoint(v.mountPoint);
    if (d->getName().isEmpty()) d->setName(v.name);
    d->totalSize = v.size;
    return d;
}
}  // namespace

Device::Device(QObject *parent) : QObject(parent) {}

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
    return getDeviceList(QStringLiteral("/sys"), QStringLiteral("/proc"));
}

QList<Device *> *DeviceManager::getDeviceList(const QString &sysRoot, const QString &procRoot) {
    auto *list = new QList<Device *>();
    for (const lmrplatform::VolumeInfo &v : lmrplatform::listBlockDevices(sysRoot, procRoot))
        list->append(makeDevice(v));
    return list;
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
