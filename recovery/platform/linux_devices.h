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
    QString name;        // mount point when mounted, else the device or file name
    QString mountPoint;  // empty when not mounted
    qint64 size = 0;     // bytes
};

// Block devices under SYS/class/block with a non-zero size, sorted by name.
LMR_QT_EXPORT QList<VolumeInfo> listBlockDevices(const QString &sysRoot, const QString &procRoot);

// First mount point of the device numbered major:minor in
// PROC/self/mountinfo, octal escapes decoded; empty when not mounted.
LMR_QT_EXPORT QString mountPointOf(const QString &procRoot, unsigned major, unsigned minor);

// Describes a user-given path: a block device (size from sysfs) or a file.
LMR_QT_EXPORT VolumeInfo describePath(const QString &path, const QString &sysRoot, const QString &procRoot);

// True when files written to `outputDir` (or, if it does not exist yet, to
// its nearest existing ancestor) can land on what `input` holds: for a block
// device, on it or a partition of it, directly or through the layers stored
// on it (device-mapper and RAID targets, loop devices backed by files on
// it); for an image file, inside a loop device backed by that file.  False
// for anything else.
LMR_QT_EXPORT bool writesOntoDevice(const QString &input, const QString &outputDir, const QString &sysRoot);

// The same decision from device numbers: `input` is the scanned block
// device, `output` the device holding the output folder.
LMR_QT_EXPORT bool deviceContains(dev_t input, dev_t output, const QString &sysRoot);

}  // namespace lmrplatform
