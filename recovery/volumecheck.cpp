#include "recovery/volumecheck.h"

#include "recovery/filerecovery.h"
#include "recovery/platform/linux_devices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// strerror's text without its shared buffer: the checks run on any thread.
QString errorText(int err) {
    char buf[256];
    return QString::fromLocal8Bit(strerror_r(err, buf, sizeof buf));
}

bool refusedForRights(int err) { return err == EACCES || err == EPERM; }

QString cannotOpen(const QString &path, int err, bool block) {
    QString message = QStringLiteral("cannot open %1: %2").arg(path, errorText(err));
    if (block && refusedForRights(err))
        message += QStringLiteral(" (reading a block device needs root or membership of the 'disk' group)");
    return message;
}

// errno of opening `path` for reading, 0 when it opens.
int openError(const QString &path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

}  // namespace

QString VolumeCheck::inputKindProblem(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("cannot open %1: %2").arg(path, errorText(errno));
    // A folder reads as an endless run of failing sectors, and a character
    // device such as /dev/zero has no end, or no bytes at all.
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("cannot scan %1: it is a folder; give a block device or a disk image file").arg(path);
    if (S_ISCHR(st.st_mode))
        return QStringLiteral("cannot scan %1: it is a character device, whose size cannot be known; give a block "
                              "device or a disk image file")
            .arg(path);
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))
        return QStringLiteral("cannot scan %1: it is neither a block device nor a regular file").arg(path);
    return QString();
}

QString VolumeCheck::inputReadProblem(const QString &path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return cannotOpen(path, errno, false);
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) return inputKindProblem(path);
    const int err = openError(path);
    return err ? cannotOpen(path, err, S_ISBLK(st.st_mode)) : QString();
}

QString VolumeCheck::outputFolderProblem(const QString &dir) {
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) return QStringLiteral("cannot export into %1: it is not a folder").arg(dir);
    errno = 0;
    if (!QDir().mkpath(dir)) {
        const int err = errno;
        QString message = QStringLiteral("cannot create the output folder %1").arg(dir);
        if (err) message += QStringLiteral(": ") + errorText(err);
        return message;
    }
    // Rights, ACLs and read-only mounts all show in one real attempt.
    QByteArray probe = QFile::encodeName(dir + QStringLiteral("/.lumarek-probe-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return QStringLiteral("cannot write into the output folder %1: %2").arg(dir, errorText(errno));
    ::close(fd);
    ::unlink(probe.constData());
    return QString();
}

bool VolumeCheck::isBlockDevice(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISBLK(st.st_mode);
}

bool VolumeCheck::exportsOntoScannedVolume(const QString &input, const QString &outputDir) {
    return lmrplatform::writesOntoDevice(input, outputDir, QStringLiteral("/sys"), QStringLiteral("/proc"));
}

QString VolumeCheck::lastRunOpenProblem(const QString &input) {
    switch (EngineControl::lastRunOutcome()) {
    case EngineControl::BadPath:
        return QStringLiteral("cannot open %1: path too long").arg(input);
    case EngineControl::CannotOpen:
        return cannotOpen(input, EngineControl::lastRunErrno(), isBlockDevice(input));
    default:
        return QString();
    }
}

bool VolumeCheck::needsAccessRights(const QString &input) {
    return isBlockDevice(input) && refusedForRights(openError(input));
}
