#include "recovery/platform/linux_devices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QLocale>

#include <algorithm>
#include <blkid.h>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
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

QString readText(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    return cleanText(f.read(4096));
}

// What sysfs tells of the block device whose folder (under class/block) is
// `folder`: the drive's vendor, model and removability (for a partition,
// those of its disk) and a loop device's backing file.
void describeFromSysfs(const QString &folder, VolumeInfo *v) {
    const QString real = QFileInfo(folder).canonicalFilePath();
    QString disk = real.isEmpty() ? folder : real;
    if (QFileInfo::exists(disk + QStringLiteral("/partition"))) disk = QFileInfo(disk).path();
    const QString device = disk + QStringLiteral("/device");
    v->vendor = readText(device + QStringLiteral("/vendor"));
    // Virtio and PCI devices give a number there, which names no one.
    if (v->vendor.startsWith(QLatin1String("0x"))) v->vendor.clear();
    v->model = readText(device + QStringLiteral("/model"));
    // A memory card in a built-in reader names itself ("SD32G").
    if (v->model.isEmpty()) v->model = readText(device + QStringLiteral("/name"));
    v->backingFile = readText(disk + QStringLiteral("/loop/backing_file"));
    v->removable = readAttribute(disk + QStringLiteral("/removable")) == QLatin1String("1") ||
                   QFileInfo(disk).canonicalFilePath().contains(QStringLiteral("/usb"));
}

QString cacheTag(blkid_cache cache, const char *tag, const QByteArray &dev) {
    char *value = blkid_get_tag_value(cache, tag, dev.constData());
    if (!value) return QString();
    QString text = cleanText(QByteArray(value));
    free(value);
    return text;
}

}  // namespace

QString cleanText(const QByteArray &raw) {
    QByteArray bytes = raw.left(4096);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    QString text = QString::fromUtf8(bytes);
    if (text.contains(QChar::ReplacementCharacter)) text = QString::fromLatin1(bytes);
    QString out;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            continue;
        out.append(c.isSpace() ? QChar(QLatin1Char(' ')) : c);
    }
    out = out.simplified();
    if (out.size() > 64) out = out.left(64).trimmed();
    return out;
}

QString fileSystemName(const QString &type, const QString &version) {
    const QString t = type.toLower();
    if (t == QLatin1String("vfat") || t == QLatin1String("msdos"))
        return version.startsWith(QLatin1String("FAT")) ? version : QStringLiteral("FAT");
    if (t == QLatin1String("exfat")) return QStringLiteral("exFAT");
    if (t == QLatin1String("ntfs") || t == QLatin1String("ntfs3")) return QStringLiteral("NTFS");
    if (t == QLatin1String("iso9660")) return QStringLiteral("ISO 9660");
    if (t == QLatin1String("hfsplus")) return QStringLiteral("HFS+");
    if (t == QLatin1String("crypto_luks")) return QStringLiteral("LUKS");
    return type;
}

QString decimalSize(qint64 bytes) {
    const QLocale c = QLocale::c();
    if (bytes < 1000) return QStringLiteral("%1 B").arg(qMax<qint64>(bytes, 0));
    const char *const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(c.toString(value, 'f', 1), QLatin1String(units[unit]));
}

QString displayName(const VolumeInfo &v) {
    QStringList parts;
    QString what;
    if (v.imageFile) {
        what = v.kernelName;
    } else {
        // "ATA" is how SCSI reports any SATA drive, not who made it.
        const QString vendor = v.vendor.compare(QLatin1String("ATA"), Qt::CaseInsensitive) == 0 ? QString() : v.vendor;
        if (!v.model.isEmpty() && (vendor.isEmpty() || v.model.contains(vendor, Qt::CaseInsensitive)))
            what = v.model;
        else
            what = QStringList{vendor, v.model}.join(QLatin1Char(' ')).trimmed();
        if (what.isEmpty() && !v.backingFile.isEmpty()) what = fileNameOf(v.backingFile);
        if (what.isEmpty()) what = v.kernelName;
    }
    if (what.isEmpty()) what = fileNameOf(v.devFile);
    parts << what;
    const QString fs = fileSystemName(v.fsType, v.fsVersion);
    if (!v.label.isEmpty() && !fs.isEmpty())
        parts << QStringLiteral("%1 (%2)").arg(v.label, fs);
    else if (!v.label.isEmpty() || !fs.isEmpty())
        parts << (v.label.isEmpty() ? fs : v.label);
    if (!v.imageFile && v.size > 0) parts << decimalSize(v.size);
    return parts.join(QStringLiteral(" · "));
}

namespace {

// Type, version and label of the file system a probe set on its range finds.
bool readFileSystem(blkid_probe probe, VolumeInfo *v) {
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(probe, 0);
    if (blkid_do_safeprobe(probe) != 0) return false;
    auto value = [probe](const char *name) {
        const char *data = nullptr;
        size_t len = 0;
        if (blkid_probe_lookup_value(probe, name, &data, &len) != 0 || !data) return QString();
        return cleanText(QByteArray(data, int(qMin<size_t>(len, 4096))));
    };
    v->fsType = value("TYPE");
    v->fsVersion = value("VERSION");
    v->label = value("LABEL");
    return true;
}

}  // namespace

void probeFileSystemAt(const QString &path, qint64 offset, qint64 size, VolumeInfo *v) {
    if (offset < 0 || size <= 0) return;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    blkid_probe probe = blkid_new_probe();
    if (probe && blkid_probe_set_device(probe, fd, blkid_loff_t(offset), blkid_loff_t(size)) == 0)
        readFileSystem(probe, v);
    if (probe) blkid_free_probe(probe);
    ::close(fd);
}

void probeFileSystem(const QString &path, VolumeInfo *v) {
    const QByteArray file = QFile::encodeName(path);
    blkid_probe probe = blkid_new_probe_from_filename(file.constData());
    if (probe) {
        readFileSystem(probe, v);
        blkid_free_probe(probe);
        return;
    }
    // A device this user may not open: what the system's blkid cache has
    // seen of it, if anything.
    struct stat st {};
    if (::stat(file.constData(), &st) != 0 || !S_ISBLK(st.st_mode)) return;
    blkid_cache cache = nullptr;
    if (blkid_get_cache(&cache, nullptr) != 0 || !cache) return;
    v->fsType = cacheTag(cache, "TYPE", file);
    v->label = cacheTag(cache, "LABEL", file);
    blkid_put_cache(cache);
}

static QList<QByteArray> mountInfoLines(const QString &procRoot) {
    QFile f(procRoot + QStringLiteral("/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    // A proc file tells no size (atEnd() is true at once): read until the
    // reads end, within a bound.
    QByteArray all;
    char buf[65536];
    for (qint64 n; all.size() < (64 << 20) && (n = f.read(buf, sizeof buf)) > 0;) all.append(buf, int(n));
    return all.split('\n');
}

QString mountPointOf(const QString &procRoot, unsigned major_, unsigned minor_) {
    const QByteArray want = QByteArray::number(major_) + ':' + QByteArray::number(minor_);
    for (const QByteArray &line : mountInfoLines(procRoot)) {
        QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() < 5) continue;
        if (fields[2] == want) return unescapeMountField(fields[4]);
    }
    return QString();
}

QList<VolumeInfo> listBlockDevices(const QString &sysRoot, const QString &procRoot, const QString &devRoot) {
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
        v.devFile = devRoot + QLatin1Char('/') + devName;
        v.kernelName = devName;
        v.size = size;
        unsigned ma = 0, mi = 0;
        if (parseDevNumbers(readAttribute(base + QStringLiteral("/dev")), &ma, &mi))
            v.mountPoint = mountPointOf(procRoot, ma, mi);
        describeFromSysfs(base, &v);
        probeFileSystem(v.devFile, &v);
        v.name = displayName(v);
        result.append(v);
    }
    return result;
}

VolumeInfo describePath(const QString &path, const QString &sysRoot, const QString &procRoot) {
    VolumeInfo v;
    v.devFile = path;
    v.kernelName = fileNameOf(path);
    v.name = v.kernelName;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return v;
    if (S_ISBLK(st.st_mode)) {
        unsigned ma = major(st.st_rdev), mi = minor(st.st_rdev);
        QString numbers = QStringLiteral("%1:%2").arg(ma).arg(mi);
        const QString folder = sysRoot + QStringLiteral("/dev/block/") + numbers;
        v.size = sectorsToBytes(readAttribute(folder + QStringLiteral("/size")));
        v.mountPoint = mountPointOf(procRoot, ma, mi);
        describeFromSysfs(folder, &v);
    } else if (S_ISREG(st.st_mode)) {
        v.size = qint64(st.st_size);
        v.imageFile = true;
    } else {
        return v;
    }
    probeFileSystem(path, &v);
    v.name = displayName(v);
    return v;
}

namespace {

// The sysfs folder of block device `dev`, or empty.
QString blockFolder(dev_t dev, const QString &sysRoot) {
    QString link = sysRoot + QStringLiteral("/dev/block/%1:%2").arg(major(dev)).arg(minor(dev));
    return QFileInfo(link).canonicalFilePath();
}

// A byte count from a sysfs attribute; false when it is missing or not a number.
bool readCount(const QString &path, quint64 *value) {
    bool ok = false;
    *value = readAttribute(path).toULongLong(&ok);
    return ok;
}

// The disk that partition `dev` belongs to; 0 when `dev` is no partition.
dev_t diskOf(dev_t dev, const QString &sysRoot) {
    QString real = blockFolder(dev, sysRoot);
    if (real.isEmpty() || !QFileInfo::exists(real + QStringLiteral("/partition"))) return 0;
    unsigned ma = 0, mi = 0;
    if (!parseDevNumbers(readAttribute(QFileInfo(real).path() + QStringLiteral("/dev")), &ma, &mi)) return 0;
    return makedev(ma, mi);
}

const quint64 kToTheEnd = ~quint64(0);

// Some bytes of the storage: a byte range of a block device or of a file
// (identified by its file system and inode, so that two loop devices over
// one file are seen to share it).
struct Extent {
    bool file = false;
    dev_t dev = 0;        // the block device, or the file system of the file
    ino_t ino = 0;        // the file's inode
    quint64 start = 0;
    quint64 end = kToTheEnd;
    // Where the range lies is known (a partition's start, a loop device's
    // offset); otherwise the range is the whole of it for want of better.
    bool placed = false;

    bool sameStorage(const Extent &o) const { return file == o.file && dev == o.dev && (!file || ino == o.ino); }
    bool overlaps(const Extent &o) const { return sameStorage(o) && start < o.end && o.start < end; }
    bool operator==(const Extent &o) const { return sameStorage(o) && start == o.start && end == o.end; }
};

Extent wholeDevice(dev_t dev) {
    Extent e;
    e.dev = dev;
    return e;
}

// `e` seen `base` bytes further on, in something `size` bytes long (0: to its end).
Extent shifted(Extent e, quint64 base, quint64 size) {
    const quint64 limit = size ? base + size : kToTheEnd;
    e.start = qMin(limit, base + e.start);
    e.end = e.end == kToTheEnd ? limit : qMin(limit, base + e.end);
    return e;
}

// A partition `e` lies on its disk, at the partition's start.
bool partitionStep(const Extent &e, const QString &folder, const QString &sysRoot, Extent *onDisk) {
    if (e.file || !QFileInfo::exists(folder + QStringLiteral("/partition"))) return false;
    const dev_t disk = diskOf(e.dev, sysRoot);
    if (!disk) return false;
    quint64 start = 0, sectors = 0;
    const bool known = readCount(folder + QStringLiteral("/start"), &start) &&
                       readCount(folder + QStringLiteral("/size"), &sectors) && start <= kToTheEnd / 512 &&
                       sectors <= kToTheEnd / 512;
    *onDisk = known ? shifted(e, start * 512, sectors * 512) : wholeDevice(disk);
    onDisk->dev = disk;
    onDisk->file = false;
    onDisk->placed = known;
    return true;
}

// A loop device `e` lies in its backing file, from the loop's offset on.
bool loopStep(const Extent &e, const QString &folder, Extent *inFile) {
    if (e.file) return false;
    const QString backing = readAttribute(folder + QStringLiteral("/loop/backing_file"));
    struct stat st {};
    if (backing.isEmpty() || ::stat(QFile::encodeName(backing).constData(), &st) != 0) return false;
    quint64 offset = 0, limit = 0;
    if (!readCount(folder + QStringLiteral("/loop/offset"), &offset)) offset = 0;
    if (!readCount(folder + QStringLiteral("/loop/sizelimit"), &limit)) limit = 0;
    *inFile = shifted(e, offset, limit);
    inFile->file = true;
    inFile->dev = st.st_dev;
    inFile->ino = st.st_ino;
    inFile->placed = true;
    return true;
}

// The folders an overlay mounted from device number `dev` writes into (its
// upper and work directories, from PROC/self/mountinfo); empty for any
// other file system.
QStringList overlayWriteDirs(dev_t dev, const QString &procRoot) {
    const QByteArray want = QByteArray::number(major(dev)) + ':' + QByteArray::number(minor(dev));
    QStringList dirs;
    for (const QByteArray &line : mountInfoLines(procRoot)) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE SOURCE SUPER-OPTIONS
        const int dash = fields.indexOf("-");
        if (fields.size() < 5 || fields[2] != want || dash < 0 || dash + 3 >= fields.size()) continue;
        if (fields[dash + 1] != "overlay") continue;
        for (const QByteArray &option : fields[dash + 3].split(',')) {
            if (option.startsWith("upperdir=") || option.startsWith("workdir="))
                dirs << unescapeMountField(option.mid(option.indexOf('=') + 1));
        }
    }
    return dirs;
}

// What is scanned, as the extents of storage it occupies: the input
// itself, and, below it, the disk a partition lies on and the file a loop
// device is backed by.
struct Scanned {
    Extent self;          // the image file, or the block device, whole
    QList<Extent> below;  // placed extents under a block device
};

Scanned scannedOf(const Extent &input, const QString &sysRoot) {
    Scanned in;
    in.self = input;
    Extent e = input;
    for (int depth = 0; depth < 16 && !e.file; ++depth) {
        const QString folder = blockFolder(e.dev, sysRoot);
        Extent next;
        if (folder.isEmpty() || !(partitionStep(e, folder, sysRoot, &next) || loopStep(e, folder, &next))) break;
        if (!next.placed) break;
        in.below.append(next);
        e = next;
    }
    return in;
}

// True when writing onto the storage `output` (a device number as stat
// gives it) can change the scanned input.  The walk goes down from the
// output through everything it is stored on: a partition to its disk,
// device-mapper and RAID targets to their "slaves", a loop device to its
// backing file and the file to the file system holding it, an overlay to
// the file systems of its upper and work directories.  Any of them that is
// the scanned device or image, or overlaps where the scanned input lies,
// means yes.
bool reaches(const Scanned &in, dev_t output, const QString &sysRoot, const QString &procRoot) {
    QList<Extent> todo{wholeDevice(output)};
    QList<Extent> seen;
    // A crafted or looping tree must not keep this busy: real stacks are
    // a few layers deep.
    while (!todo.isEmpty() && seen.size() < 256) {
        const Extent e = todo.takeFirst();
        if (seen.contains(e)) continue;
        seen.append(e);
        if (e.sameStorage(in.self)) return true;
        for (const Extent &b : in.below)
            if (e.placed && e.overlaps(b)) return true;
        if (e.file) {
            todo.append(wholeDevice(e.dev));
            continue;
        }
        const QString folder = blockFolder(e.dev, sysRoot);
        if (folder.isEmpty()) {
            for (const QString &dir : overlayWriteDirs(e.dev, procRoot)) {
                struct stat st {};
                if (::stat(QFile::encodeName(dir).constData(), &st) == 0) todo.append(wholeDevice(st.st_dev));
            }
            continue;
        }
        Extent next;
        if (partitionStep(e, folder, sysRoot, &next)) todo.append(next);
        if (loopStep(e, folder, &next)) todo.append(next);
        // Device-mapper and RAID targets name the devices they are made of;
        // where on them is not known here.
        const QDir slaves(folder + QStringLiteral("/slaves"));
        for (const QString &name : slaves.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
            unsigned ma = 0, mi = 0;
            if (parseDevNumbers(readAttribute(slaves.filePath(name) + QStringLiteral("/dev")), &ma, &mi))
                todo.append(wholeDevice(makedev(ma, mi)));
        }
    }
    return false;
}

}  // namespace

bool deviceContains(dev_t input, dev_t output, const QString &sysRoot, const QString &procRoot) {
    return reaches(scannedOf(wholeDevice(input), sysRoot), output, sysRoot, procRoot);
}

bool writesOntoDevice(const QString &input, const QString &outputDir, const QString &sysRoot,
                      const QString &procRoot) {
    struct stat st {};
    if (::stat(QFile::encodeName(input).constData(), &st) != 0) return false;
    Extent self;
    if (S_ISBLK(st.st_mode)) {
        self = wholeDevice(st.st_rdev);
    } else if (S_ISREG(st.st_mode)) {
        self.file = true;
        self.dev = st.st_dev;
        self.ino = st.st_ino;
    } else {
        return false;
    }
    const Scanned in = scannedOf(self, sysRoot);
    QString dir = QFileInfo(outputDir).absoluteFilePath();
    struct stat out {};
    for (int depth = 0; depth < 4096; ++depth) {
        if (::stat(QFile::encodeName(dir).constData(), &out) == 0) return reaches(in, out.st_dev, sysRoot, procRoot);
        QString up = QFileInfo(dir).path();
        if (up == dir) break;
        dir = up;
    }
    return false;
}

}  // namespace lmrplatform
