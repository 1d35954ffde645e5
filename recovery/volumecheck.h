// Checks a front end makes around a scan: can the input be scanned and read,
// can finds be written into the output folder, would they land on the
// scanned device, and why the last run could not open its input.  Both front
// ends word these problems the same way, so they are made here.
//
// Every check looks at the system as it is now (no state is kept) and is
// safe on any thread.
#pragma once

#include "recovery/lmr_export.h"

#include <QString>

class LMR_QT_EXPORT VolumeCheck {
public:
    // Why `path` cannot be scanned, by its kind; empty when it can.  Only
    // block devices and regular files have a size the scan can rely on.
    static QString inputKindProblem(const QString &path);
    // Why `path` cannot be opened for reading; empty when it can.  Something
    // other than a block device or a regular file is not opened (a named
    // pipe would block until a writer comes): its kind is the problem.
    static QString inputReadProblem(const QString &path);
    // Makes the output folder (with its parents) and checks that files can
    // be created in it; why not, or empty.
    static QString outputFolderProblem(const QString &dir);
    static bool isBlockDevice(const QString &path);
    // True when files written into `outputDir` (or, if it does not exist
    // yet, into its nearest existing parent) can land on what is scanned:
    // the block device `input` or a partition of it, also through the
    // device-mapper, RAID and loop devices and overlays stored there; or,
    // for an image file (or a loop device over one), any loop device over
    // that same file, partitions included.  Writing there would overwrite
    // what is being recovered.
    static bool exportsOntoScannedVolume(const QString &input, const QString &outputDir);
    // Why the last run in this process could not open its input, `input`;
    // empty when it did (or when it ended for another reason).
    static QString lastRunOpenProblem(const QString &input);
    // True when `input` is a block device that opening for reading refuses
    // for lack of rights (EACCES, EPERM): reading it needs root or
    // membership of the 'disk' group.  Asks the system now, so it holds
    // before a scan as after one that failed.
    static bool needsAccessRights(const QString &input);
};
