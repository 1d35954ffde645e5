#include "recovery/devicelist.h"

#include "recovery/device.h"
#include "recovery/devicewatcher.h"
#include "engine/recovery_engine.h"

DeviceList::DeviceList(const QStringList &imageFiles, bool watch, QObject *parent)
    : DeviceList(imageFiles, [] { return DeviceManager::getDeviceList(); }, watch ? new DeviceWatcher() : nullptr,
                 parent) {}

DeviceList::DeviceList(const QStringList &imageFiles, Lister lister_, DeviceWatcher *watcher_, QObject *parent)
    : QObject(parent), images(imageFiles), lister(std::move(lister_)), watcher(watcher_) {
    if (watcher) {
        watcher->setParent(this);
        connect(watcher, &DeviceWatcher::changed, this, &DeviceList::onSystemChanged);
    }
    refresh();
}

DeviceList::~DeviceList() {
    qDeleteAll(shown);
    qDeleteAll(gone);
}

int DeviceList::rowOf(const Device *device) const {
    for (int i = 0; i < shown.size(); ++i)
        if (shown.at(i) == device) return i;
    return -1;
}

void DeviceList::refresh() {
    QList<Device *> *fresh = lister ? lister() : new QList<Device *>();
    for (const QString &path : images) fresh->append(DeviceManager::deviceForPath(path));
    QList<Device *> kept;
    QList<Device *> previous = shown;
    for (Device *&d : *fresh) {
        Device *same = nullptr;
        for (Device *old : previous) {
            if (old->getDevFile() == d->getDevFile() && old->totalSize == d->totalSize) {
                same = old;
                break;
            }
        }
        if (!same) {
            // A device new at a path that another one had: reads of the path
            // must not go on through the old one's descriptor.
            const QByteArray path = d->getDevFile().toUtf8();
            if (!previous.isEmpty() || !gone.isEmpty()) forget_input_descriptor(path.constData());
            kept.append(d);
            continue;
        }
        previous.removeOne(same);
        // Only what the window shows changes; what a scan reads stays.
        same->setName(d->getName());
        same->removable = d->removable;
        if (same->udisksObject.isEmpty()) same->udisksObject = d->udisksObject;
        delete d;
        kept.append(same);
    }
    delete fresh;
    gone.append(previous);
    shown = kept;
}

void DeviceList::onSystemChanged() {
    refresh();
    emit changed();
}
