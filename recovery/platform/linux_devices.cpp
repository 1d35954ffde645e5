#include "recovery/platform/linux_devices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace lmrplatform {

namespace {

// sysfs attribute files are one short line; never read more than a page.
QString readAttribute(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(f.read(4096)).trimmed();
}

// SYS/.../size counts 512-byte sectors whatever the logical block size.
qint64 sectorsToBytes(const QString &text) {
    bool ok = false;
    qulonglong sectors = text.toULongLong(&ok);
    if (!ok || sectors > qulonglong(LLONG_MAX / 512)) return 0;
    return qint64(sectors) * 512;
}

bool parseDevNumbers(const QString &text, unsigned *major_, unsigned *minor_) {
    QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2) return false;
    bool ok1 = false, ok2 = false;
    *major_ = parts[0].toUInt(&ok1);
    *minor_ = parts[1].toUInt(&ok2);
    return ok1 && ok2;
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
QString unescapeMountField(const QByteArray &field) {
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            QByteArray oct = field.mid(i + 1, 3);
            bool ok = oct.size() == 3;
            int v = ok ? oct.toInt(&ok, 8) : 0;
            if (ok && v >= 0 && v < 256) {
                out.append(char(v));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QString::fromUtf8(out);
}

QString fileNameOf(const QString &path) {
    QString n = QFileInfo(path).fileName();
    return n.isEmpty() ? path : n;
}

}  // namespace

QString mountPointOf(const QString &procRoot, unsigned major_, unsigned minor_) {
    QFile f(procRoot + QStringLiteral("/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly)) return QString();
    const QByteArray want = QByteArray::number(major_) + ':' + QByteArray::number(minor_);
    // A bounded number of lines of bounded length.
    for (int lines = 0; lines < 100000 && !f.atEnd(); ++lines) {
        QByteArray line = f.readLine(65536);
        QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() < 5) continue;
        if (fields[2] == want) return unescapeMountField(fields[4]);
    }
    return QString();
}

QList<VolumeInfo> listBlockDevices(const QString &sysRoot, const QString &procRoot) {
    QList<VolumeInfo> result;
    QDir dir(sysRoot + QStringLiteral("/class/block"));
    QStringList names = dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : names) {
        const QString base = dir.filePath(entry);
        qint64 size = sectorsToBytes(readAttribute(base + QStringLiteral("/size")));
        if (size <= 0) continue;
        VolumeInfo v;
        // Names with '!' stand for a sub-folder of /dev (cciss!c0d0).
        QString devName = entry;
        devName.replace(QLatin1Char('!'), QLatin1Char('/'));
        v.devFile = QStringLiteral("/dev/") + devName;
        v.size = size;
        unsigned ma = 0, mi = 0;
        if (parseDevNumbers(readAttribute(base + QStringLiteral("/dev")), &ma, &mi))
            v.mountPoint = mountPointOf(procRoot, ma, mi);
        v.name = v.mountPoint.isEmpty() ? devName : v.mountPoint;
        result.append(v);
    }
    return result;
}

VolumeInfo describePath(const QString &path, const QString &sysRoot, const QString &procRoot) {
    VolumeInfo v;
    v.devFile = path;
    v.name = fileNameOf(path);
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return v;
    if (S_ISBLK(st.st_mode)) {
        unsigned ma = major(st.st_rdev), mi = minor(st.st_rdev);
        QString numbers = QStringLiteral("%1:%2").arg(ma).arg(mi);
        v.size = sectorsToBytes(readAttribute(sysRoot + QStringLiteral("/dev/block/") + numbers + QStringLiteral("/size")));
        v.mountPoint = mountPointOf(procRoot, ma, mi);
        if (!v.mountPoint.isEmpty()) v.name = v.mountPoint;
    } else if (S_ISREG(st.st_mode)) {
        v.size = qint64(st.st_size);
    }
    return v;
}

namespace {

// The sysfs folder of block device `dev`, or empty.
QString blockFolder(dev_t dev, const QString &sysRoot) {
    QString link = sysRoot + QStringLiteral("/dev/block/%1:%2").arg(major(dev)).arg(minor(dev));
    return QFileInfo(link).canonicalFilePath();
}

// The disk that partition `dev` belongs to; 0 when `dev` is no partition.
dev_t diskOf(dev_t dev, const QString &sysRoot) {
    QString real = blockFolder(dev, sysRoot);
    if (real.isEmpty() || !QFileInfo::exists(real + QStringLiteral("/partition"))) return 0;
    unsigned ma = 0, mi = 0;
    if (!parseDevNumbers(readAttribute(QFileInfo(real).path() + QStringLiteral("/dev")), &ma, &mi)) return 0;
    return makedev(ma, mi);
}

// What is being scanned: a block device, or an image file.
struct Scanned {
    bool block = false;
    dev_t rdev = 0;               // the block device
    dev_t fileDev = 0;            // the image file's file system ...
    ino_t fileIno = 0;            // ... and inode
};

// True when writing onto block device `output` can change the scanned
// input: `output` is the scanned device or one of its partitions, or it is
// stored on them, however many layers down (device-mapper and RAID targets
// through their "slaves", loop devices through their backing files, which
// lie on a file system of another device).  For an image file: a loop
// device backed by that very file, at any depth.
bool reaches(const Scanned &in, dev_t output, const QString &sysRoot) {
    QList<dev_t> todo{output};
    QList<dev_t> seen;
    // A crafted or looping tree must not keep this busy: real stacks are
    // a few layers deep.
    while (!todo.isEmpty() && seen.size() < 256) {
        const dev_t dev = todo.takeFirst();
        if (seen.contains(dev)) continue;
        seen.append(dev);
        if (in.block && (dev == in.rdev || diskOf(dev, sysRoot) == in.rdev)) return true;
        const QString folder = blockFolder(dev, sysRoot);
        if (folder.isEmpty()) continue;
        // Device-mapper and RAID targets name the devices they are made of.
        const QDir slaves(folder + QStringLiteral("/slaves"));
        for (const QString &name : slaves.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
            unsigned ma = 0, mi = 0;
            if (parseDevNumbers(readAttribute(slaves.filePath(name) + QStringLiteral("/dev")), &ma, &mi))
                todo.append(makedev(ma, mi));
        }
        // A loop device is a file on some file system.
        const QString backing = readAttribute(folder + QStringLiteral("/loop/backing_file"));
        if (!backing.isEmpty()) {
            struct stat st {};
            if (::stat(QFile::encodeName(backing).constData(), &st) == 0) {
                if (!in.block && st.st_dev == in.fileDev && st.st_ino == in.fileIno) return true;
                todo.append(st.st_dev);
            }
        }
    }
    return false;
}

}  // namespace

bool deviceContains(dev_t input, dev_t output, const QString &sysRoot) {
    Scanned in;
    in.block = true;
    in.rdev = input;
    return reaches(in, output, sysRoot);
}

bool writesOntoDevice(const QString &input, const QString &outputDir, const QString &sysRoot) {
    struct stat st {};
    if (::stat(QFile::encodeName(input).constData(), &st) != 0) return false;
    Scanned in;
    if (S_ISBLK(st.st_mode)) {
        in.block = true;
        in.rdev = st.st_rdev;
    } else if (S_ISREG(st.st_mode)) {
        in.fileDev = st.st_dev;
        in.fileIno = st.st_ino;
    } else {
        return false;
    }
    QString dir = QFileInfo(outputDir).absoluteFilePath();
    struct stat out {};
    for (int depth = 0; depth < 4096; ++depth) {
        if (::stat(QFile::encodeName(dir).constData(), &out) == 0) return reaches(in, out.st_dev, sysRoot);
        QString up = QFileInfo(dir).path();
        if (up == dir) break;
        dir = up;
    }
    return false;
}

}  // namespace lmrplatform
