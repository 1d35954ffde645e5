#include "recovery/devicelist.h"

#include "recovery/device.h"
#include "recovery/devicewatcher.h"
#include "recovery/udisks.h"
#include "engine/recovery_engine.h"

#include <atomic>

namespace {

std::atomic<int> waitingLists{0};

// udisks2 without waiting; the kernel's own list (sysfs) when it cannot say.
void askSystem(DeviceList *list, std::function<void(QList<Device *> *)> answer) {
    lmrudisks::askForBlockDevices(lmrudisks::systemBus(), list,
                                  [answer](const QList<lmrplatform::VolumeInfo> &volumes, bool listed) {
                                      answer(listed ? DeviceManager::devicesFor(volumes)
                                                    : DeviceManager::getDeviceList(QStringLiteral("/sys"),
                                                                                   QStringLiteral("/proc")));
                                  });
}

}  // namespace

DeviceList::DeviceList(const QStringList &imageFiles, bool watch, QObject *parent)
    : DeviceList(imageFiles, Asker(askSystem), watch ? new DeviceWatcher() : nullptr, parent) {}

DeviceList::DeviceList(const QStringList &imageFiles, Lister lister, DeviceWatcher *watcher, QObject *parent)
    : DeviceList(imageFiles,
                 Asker([lister](DeviceList *, std::function<void(QList<Device *> *)> answer) {
                     answer(lister ? lister() : new QList<Device *>());
                 }),
                 watcher, parent) {}

DeviceList::DeviceList(const QStringList &imageFiles, Asker asker_, DeviceWatcher *watcher_, QObject *parent)
    : QObject(parent), images(imageFiles), asker(std::move(asker_)), watcher(watcher_) {
    if (watcher) {
        watcher->setParent(this);
        connect(watcher, &DeviceWatcher::changed, this, &DeviceList::refresh);
    }
    // The images need no one's answer.
    merge(new QList<Device *>());
    refresh();
}

DeviceList::~DeviceList() {
    if (waiting()) --waitingLists;
    qDeleteAll(shown);
    qDeleteAll(gone);
}

int DeviceList::rowOf(const Device *device) const {
    for (int i = 0; i < shown.size(); ++i)
        if (shown.at(i) == device) return i;
    return -1;
}

int DeviceList::listsWaiting() { return waitingLists.load(); }

void DeviceList::refresh() {
    if (!waiting()) ++waitingLists;
    const quint64 question = ++asked;
    asker(this, [this, question](QList<Device *> *system) {
        // An answer overtaken by a later question is not shown.
        if (question != asked) {
            DeviceManager::freeDeviceList(system);
            return;
        }
        answered = question;
        --waitingLists;
        merge(system);
        emit changed();
    });
}

void DeviceList::merge(QList<Device *> *fresh) {
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

