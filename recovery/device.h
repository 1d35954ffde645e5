// The volumes a user can recover from, and the one picked for the scan.
#pragma once

#include "recovery/lmr_export.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

namespace lmrplatform {
struct VolumeInfo;
}

class LMR_QT_EXPORT Device : public QObject {
    Q_OBJECT
public:
    explicit Device(QObject *parent = nullptr);
    // Closes the descriptor it carries.
    ~Device() override;

    QString getDevFile() const;
    QString getRDevFile() const;
    QString getMountPoint() const;
    QString getFormat() const;
    QString getName() const;

    // Sets both the device path and the raw path handed to the engine.
    void setDevFile(QString path);
    // Also becomes the name while no name is set.
    void setMountPoint(QString mountPoint);
    void setFormat(QString format);
    void setName(QString name);

    // A read-only descriptor of the device, handed over by the system's disk
    // service to a user who may not open the device file: the scan and the
    // reads of its finds then go through it.  The device keeps a duplicate
    // (the caller keeps `fd`); a negative value drops the one it carries.
    // Safe on any thread.
    void setDescriptor(int fd);
    // The descriptor carried, or -1.
    int descriptor() const;

    QString devFile;
    QString rDevFile;
    QString mountPoint;
    QString format;
    QString name;
    qint64 totalSize = 0;
    bool removable = false;   // a card, a stick, a drive on a hot-plug bus
    QString udisksObject;     // its object in udisks2, when listed from there

private:
    std::atomic<int> fd{-1};
};

class LMR_QT_EXPORT DeviceManager : public QObject {
    Q_OBJECT
public:
    explicit DeviceManager(QObject *parent = nullptr);

    // The block devices of the machine (whole disks and partitions, zero-
    // sized ones left out), named as people know them (Device::getName):
    // from udisks2 on the system bus when it runs, else from sysfs and
    // libblkid.  The caller owns the list and its devices; never null.
    static QList<Device *> *getDeviceList();
    // The same from another sysfs and proc tree (for tests and chroots), the
    // device files under `devRoot`.
    static QList<Device *> *getDeviceList(const QString &sysRoot, const QString &procRoot,
                                          const QString &devRoot = QStringLiteral("/dev"));
    static void freeDeviceList(QList<Device *> *list);
    // Devices for volumes already described (by udisks2, asked without
    // waiting); owned by the caller as getDeviceList's.
    static QList<Device *> *devicesFor(const QList<lmrplatform::VolumeInfo> &volumes);

    // A device for a path given by the user: a block device (size and mount
    // point from the system) or a disk image file (its file name and size).
    // Never null; a path that cannot be examined gives size 0.
    static Device *deviceForPath(const QString &path);

    static Device *getCurrentDevice();
    static void setCurrentDevice(Device *device);
};
