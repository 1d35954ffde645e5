#include "output_guard.h"

#include "recovery/volumecheck.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<bool> exportsHalted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

QString errorText(int err) {
    char buf[256];
    return QString::fromLocal8Bit(strerror_r(err, buf, sizeof buf));
}

// Why no new file can be made in `dir`; empty when one can.  A real attempt
// shows rights, ACLs and read-only mounts alike.
QString folderWriteProblem(const QString &dir) {
    QByteArray probe = QFile::encodeName(dir + QStringLiteral("/.lumarek-probe-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return errorText(errno);
    ::close(fd);
    ::unlink(probe.constData());
    return QString();
}

}  // namespace

QString OutputGuard::fileProblem(const QString &what, const QString &path, const QString &input,
                                 bool sameStorageAllowed, bool regularOnly) {
    const QString option = QStringLiteral("--") + what;
    if (path.isEmpty()) return QStringLiteral("%1 needs a file name").arg(option);
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QByteArray encoded = QFile::encodeName(absolute);
    auto refuse = [&](const QString &why) {
        return QStringLiteral("refusing to write the %1 to %2: %3").arg(what, path, why);
    };

    struct stat target {};
    const bool exists = ::stat(encoded.constData(), &target) == 0;
    if (!exists && errno != ENOENT)
        return QStringLiteral("cannot write the %1 %2: %3").arg(what, path, errorText(errno));
    if (exists) {
        struct stat in {};
        if (::stat(QFile::encodeName(input).constData(), &in) == 0 && in.st_dev == target.st_dev &&
            in.st_ino == target.st_ino)
            return refuse(QStringLiteral("it is %1, the input being scanned").arg(input));
        if (S_ISBLK(target.st_mode)) return refuse(QStringLiteral("it is a block device"));
        if (S_ISDIR(target.st_mode)) return QStringLiteral("cannot write the %1 %2: it is a folder").arg(what, path);
        if (!S_ISREG(target.st_mode)) {
            if (regularOnly) return refuse(QStringLiteral("it is not a regular file"));
            // A character device or a pipe stores nothing of the input.
            if (::access(encoded.constData(), W_OK) != 0)
                return QStringLiteral("cannot write the %1 %2: %3").arg(what, path, errorText(errno));
            return QString();
        }
    }

    // The folder the file goes into: it must exist and take new files (the
    // report is written beside its final name and renamed), and it must not
    // lie on the storage being scanned.
    const QString folder = QFileInfo(absolute).absolutePath();
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists())
        return QStringLiteral("cannot write the %1 %2: the folder %3 does not exist").arg(what, path, folder);
    if (!folderInfo.isDir())
        return QStringLiteral("cannot write the %1 %2: %3 is not a folder").arg(what, path, folder);
    if (!sameStorageAllowed && VolumeCheck::exportsOntoScannedVolume(input, folder))
        return refuse(QStringLiteral("it is on %1, the device being scanned, and writing there would overwrite "
                                     "the deleted files being recovered (use --allow-same-device to do it anyway)")
                          .arg(input));
    if (regularOnly || !exists) {
        const QString problem = folderWriteProblem(folder);
        if (!problem.isEmpty()) return QStringLiteral("cannot write the %1 %2: %3").arg(what, path, problem);
    } else if (::access(encoded.constData(), W_OK) != 0) {
        return QStringLiteral("cannot write the %1 %2: %3").arg(what, path, errorText(errno));
    }
    return QString();
}

void OutputGuard::failWritesInsteadOfSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

void OutputGuard::stopExports() { exportsHalted.store(true); }

bool OutputGuard::exportsStopped() { return exportsHalted.load(); }
