// udisks2, the system's disk service, on the system bus: the block devices
// it knows, with the names people know them by, and read-only descriptors
// of devices that the user may not open, after the desktop's usual
// administrator prompt (polkit).
#pragma once

#include "recovery/lmr_export.h"
#include "recovery/platform/linux_devices.h"

#include <QDBusConnection>
#include <QList>
#include <QString>

#include <functional>

class QObject;


namespace lmrudisks {

// The system bus; not connected when there is none (a container, a
// server without D-Bus).
LMR_QT_EXPORT QDBusConnection systemBus();

// The block devices udisks2 knows on `bus`, with a size and not hidden
// from users, sorted by their kernel names and named by
// lmrplatform::displayName.  *listed is false when udisks2 could not be
// asked (no bus, no service, no answer in a few seconds).  Waits for the
// answer: not on a thread that must stay responsive.
LMR_QT_EXPORT QList<lmrplatform::VolumeInfo> blockDevices(const QDBusConnection &bus, bool *listed);

// What askForBlockDevices hands over: blockDevices' list and its `listed`.
using DevicesAnswer = std::function<void(const QList<lmrplatform::VolumeInfo> &volumes, bool listed)>;
// The same without waiting: the question goes out and `done` runs later, in
// `context`'s thread's event loop, once udisks2 has answered or `timeoutMs`
// have passed without an answer (listed false).  Nothing runs when
// `context` goes first.
LMR_QT_EXPORT void askForBlockDevices(const QDBusConnection &bus, QObject *context, DevicesAnswer done,
                                      int timeoutMs = 5000);

}  // namespace lmrudisks

// Gets a device read for a user without the rights to open it.
class LMR_QT_EXPORT AccessBroker {
public:
    enum Outcome {
        NotNeeded,  // an image file, or a device this process opens itself
        Granted,    // `fd` is a read-only descriptor of the device
        NoService,  // udisks2 is not there to ask
        Refused,    // the user did not authorise it (or may not)
        Failed,     // udisks2 could not open the device; `detail` says why
    };
    struct Result {
        Outcome outcome = NotNeeded;
        int fd = -1;  // Granted: the caller owns it
        QString detail;
    };

    // Makes `device` readable: nothing to do for an image file or a device
    // this process can open (root, the disk group); otherwise asks udisks2
    // for a read-only descriptor (OpenForBackup, or OpenDevice for a
    // device in use, which OpenForBackup refuses), which shows the
    // desktop's administrator prompt.  Blocks until the answer, which can
    // take as long as the person takes: call it off the GUI thread.
    static Result openForReading(const QString &devFile, const QString &udisksObject, const QDBusConnection &bus,
                                 int timeoutMs = 10 * 60 * 1000);
};
