// The volumes a user can recover from, and the one picked for the scan.
#pragma once

#include "recovery/lmr_export.h"

#include <QList>
#include <QObject>
#include <QString>

class LMR_QT_EXPORT Device : public QObject {
    Q_OBJECT
public:
    explicit Device(QObject *parent = nullptr);

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

    QString devFile;
    QString rDevFile;
    QString mountPoint;
    QString format;
    QString name;
    qint64 totalSize = 0;
};

class LMR_QT_EXPORT DeviceManager : public QObject {
    Q_OBJECT
public:
    explicit DeviceManager(QObject *parent = nullptr);

    // The block devices of the machine (whole disks and partitions, sorted
    // by name, zero-sized ones left out).  The caller owns the list and its
    // devices; never null.
    static QList<Device *> *getDeviceList();
    // The same from another sysfs and proc tree (for tests and chroots).
    static QList<Device *> *getDeviceList(const QString &sysRoot, const QString &procRoot);
    static void freeDeviceList(QList<Device *> *list);

    // A device for a path given by the user: a block device (size and mount
    // point from the system) or a disk image file (its file name and size).
    // Never null; a path that cannot be examined gives size 0.
    static Device *deviceForPath(const QString &path);

    static Device *getCurrentDevice();
    static void setCurrentDevice(Device *device);
};
