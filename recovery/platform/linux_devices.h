// The Linux side of the device list: block devices from sysfs, mount points
// from mountinfo.  Every function takes the sysfs and proc roots so that a
// fake tree can stand in for the system's.
#pragma once

#include "recovery/lmr_export.h"

#include <QList>
#include <QString>

#include <sys/types.h>

namespace lmrplatform {

struct VolumeInfo {
    QString devFile;     // /dev/NAME, or the image path
    QString name;        // as people know it: see displayName()
    QString mountPoint;  // empty when not mounted
    qint64 size = 0;     // bytes
    // What the name is made of; empty where unknown.
    QString kernelName;  // sdb1, mmcblk0p1; the file name of an image
    QString vendor;      // of the drive the device is on
    QString model;
    QString backingFile; // of a loop device
    QString label;       // of the file system
    QString fsType;      // as libblkid and udisks2 say it: vfat, ext4, ntfs ...
    QString fsVersion;   // FAT32, 1.0 ...
    bool removable = false;  // a card, a stick, a drive on a hot-plug bus
    bool imageFile = false;
    QString udisksObject;    // the udisks2 object of the device, when listed from there
};

// The name of a volume as people know it, from what is known of it: the
// drive's vendor and model (or a loop device's backing file, or the
// kernel's name), the file system's label and type, the size.  For
// example "SanDisk Ultra · CAMERA (FAT32) · 31.9 GB"; an image file keeps
// its file name: "card.img · CAMERA (FAT32)".
LMR_QT_EXPORT QString displayName(const VolumeInfo &v);
// How a file-system type is shown: "FAT32", "exFAT", "NTFS", "ext4" ...
LMR_QT_EXPORT QString fileSystemName(const QString &type, const QString &version);
// Sizes as drives are sold: decimal units, one decimal ("31.9 GB").
LMR_QT_EXPORT QString decimalSize(qint64 bytes);
// Printable text from bytes a device reports: UTF-8 (Latin-1 if it is not
// valid), control characters dropped, blanks folded, at most 64 characters.
LMR_QT_EXPORT QString cleanText(const QByteArray &raw);

// Fills in the file system's type, version and label of `path` (a block
// device or an image file) with libblkid, when it can be read.
LMR_QT_EXPORT void probeFileSystem(const QString &path, VolumeInfo *v);
// The same for the `size` bytes at `offset` of `path`: a partition of a disk
// image.  The file is opened read-only.
LMR_QT_EXPORT void probeFileSystemAt(const QString &path, qint64 offset, qint64 size, VolumeInfo *v);

// Block devices under SYS/class/block with a non-zero size, sorted by name,
// named from sysfs (vendor, model, removable) and libblkid (label and type
// of DEV/NAME).
LMR_QT_EXPORT QList<VolumeInfo> listBlockDevices(const QString &sysRoot, const QString &procRoot,
                                                 const QString &devRoot = QStringLiteral("/dev"));

// First mount point of the device numbered major:minor in
// PROC/self/mountinfo, octal escapes decoded; empty when not mounted.
LMR_QT_EXPORT QString mountPointOf(const QString &procRoot, unsigned major, unsigned minor);

// Describes a user-given path: a block device (size from sysfs) or a file.
LMR_QT_EXPORT VolumeInfo describePath(const QString &path, const QString &sysRoot, const QString &procRoot);

// True when files written to `outputDir` (or, if it does not exist yet, to
// its nearest existing ancestor) can land on what `input` holds.  For a
// block device: on it or a partition of it, directly or through the layers
// stored on it (device-mapper and RAID targets, loop devices backed by
// files on it, overlays whose upper directory lies there).  For an image
// file, or a loop device or loop partition over one: inside any loop
// device over that same file (compared by file system and inode) where the
// byte ranges meet.  False for anything else.  Overlays are looked up in
// PROC/self/mountinfo.
LMR_QT_EXPORT bool writesOntoDevice(const QString &input, const QString &outputDir, const QString &sysRoot,
                                    const QString &procRoot = QStringLiteral("/proc"));

// The same decision from device numbers: `input` is the scanned block
// device, `output` the device holding the output folder.
LMR_QT_EXPORT bool deviceContains(dev_t input, dev_t output, const QString &sysRoot,
                                  const QString &procRoot = QStringLiteral("/proc"));

}  // namespace lmrplatform
