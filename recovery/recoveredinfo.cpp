#include "recovery/recoveredinfo.h"

#include "engine/recovery_engine.h"

#include "recovery/suffixutils.h"

#include <QBuffer>
#include <QFile>
#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QImageReader>
#include <QMutexLocker>
#include <QPixmapCache>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Pixmaps and the pixmap cache may only be touched on the GUI thread of a
// QGuiApplication.
bool onGuiThread() {
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    return app && QThread::currentThread() == app->thread();
}

// Thumbnail keys must be unique within the process; a shared sequence
// number makes them so even for records built in the same millisecond on
// different threads.
std::atomic<quint64> keySequence{0};

QString textOf(const char *field, size_t size, bool utf8) {
    size_t n = 0;
    while (n < size && field[n]) ++n;
    return utf8 ? QString::fromUtf8(field, int(n)) : QString::fromLatin1(field, int(n));
}

}  // namespace

RecoveredInfo::RecoveredInfo(QObject *parent)
    : QObject(parent), recoveredTime(QDateTime::currentMSecsSinceEpoch()), valid(true) {}

RecoveredInfo::~RecoveredInfo() = default;

bool RecoveredInfo::isValid() { return valid; }

void RecoveredInfo::setRecoveredTime(qint64 time) { recoveredTime = time; }

qint64 RecoveredInfo::getRecoveredTime() const { return recoveredTime; }

FileRecoveredInfo::FileRecoveredInfo(r_info *info_)
    : RecoveredInfo(nullptr), info(nullptr), thumbReady(false), len(0), offset(0) {
    key = QStringLiteral("key_%1_%2").arg(recoveredTime).arg(++keySequence);
    if (info_) setInfo(info_);
}

FileRecoveredInfo::~FileRecoveredInfo() { delete info; }

FileRecoveredInfo *FileRecoveredInfo::newRecoveredInfo(r_info *info) {
    QString s = info ? textOf(info->suffix, sizeof info->suffix, false).toLower() : QString();
    if (SuffixUtils::isImageSuffix(s)) return new ImageFileRecoveredInfo(info);
    if (SuffixUtils::isCompressedSuffix(s)) return new CompressedFileRecoveredInfo(info);
    if (SuffixUtils::isAudioSuffix(s) || SuffixUtils::isVideoSuffix(s)) return new MediaFileRecoveredInfo(info);
    return new FileRecoveredInfo(info);
}

FileRecoveredInfo *FileRecoveredInfo::newRecoveredInfo(r_info *info, const QVector<r_run> &runs) {
    FileRecoveredInfo *record = newRecoveredInfo(info);
    if (info) record->setRuns(runs);
    return record;
}

void FileRecoveredInfo::setInfo(r_info *info_) {
    if (info != info_) delete info;
    info = info_;
    runs.clear();
    if (!info) return;
    suffix = textOf(info->suffix, sizeof info->suffix, false);
    len = qint64(info->length);
    // The engine was handed the path as UTF-8 and hands it back unchanged.
    devFile = textOf(info->path, sizeof info->path, true);
    offset = qint64(info->offset);
}

void FileRecoveredInfo::setDevFile(const QString &path) {
    if (!path.isEmpty()) devFile = path;
}

QString FileRecoveredInfo::getName() const {
    // A named find keeps the name its file system gave it.
    if (!originalPath.isEmpty()) return originalPath.section(QLatin1Char('/'), -1);
    return name;
}
QString FileRecoveredInfo::getSuffix() const { return suffix; }
qint64 FileRecoveredInfo::getLen() const { return len; }
qint64 FileRecoveredInfo::getOffset() const { return offset; }
QString FileRecoveredInfo::getDevFile() const { return devFile; }
QString FileRecoveredInfo::getKey() const { return key; }
QString FileRecoveredInfo::getExportPath() const { return exportPath; }

QVector<r_run> FileRecoveredInfo::getRuns() const {
    if (!runs.isEmpty()) return runs;
    if (!info) return {};
    return {r_run{quint64(offset), quint64(len)}};
}

bool FileRecoveredInfo::isFragmented() const { return runs.size() > 1; }

void FileRecoveredInfo::setRuns(const QVector<r_run> &runs_) {
    runs.clear();
    if (runs_.isEmpty()) return;
    quint64 total = 0;
    if (runs_.size() == 1) {
        total = runs_.first().length;  // one range, taken as a find's range always was
    } else {
        for (const r_run &r : runs_) {
            // Lengths no file can have: nothing of such a find can be read.
            if (r.length > quint64(INT64_MAX) - total) {
                valid = false;
                return;
            }
            total += r.length;
        }
    }
    offset = qint64(runs_.first().offset);
    len = qint64(total);
    if (info) {
        info->offset = runs_.first().offset;
        info->length = total;
    }
    if (runs_.size() > 1) runs = runs_;
}

int FileRecoveredInfo::readBytes(quint64 at, int32_t length, void *buffer) const {
    QByteArray src = devFile.toUtf8();
    if (runs.size() > 1)
        return general_file_read_runs(src.constData(), runs.constData(), int32_t(runs.size()), at, length, buffer);
    return general_file_read(src.constData(), quint64(offset) + at, length, buffer);
}

void FileRecoveredInfo::setExportPath(QString path) {
    if (!path.isEmpty()) exportPath = path;
}

void FileRecoveredInfo::readInfo() { genName(); }

void FileRecoveredInfo::readName() { genName(); }

void FileRecoveredInfo::genName() {
    name = QStringLiteral("file%1.%2").arg(quint64(offset)).arg(suffix);
}

void FileRecoveredInfo::setOriginal(const QString &relativePath, qint64 modified, qint64 created, qint64 accessed,
                                    State newState) {
    originalPath = relativePath;
    modifiedTime = modified;
    createdTime = created;
    accessedTime = accessed;
    state = newState;
}

namespace {

// Makes the folders of `relative` (all its parts but the last) inside
// `root`, each a real folder: a part that exists as anything else, a link
// among them, is refused.  The folder to export into, or empty.
QByteArray makeFolders(const QByteArray &root, const QString &relative) {
    QByteArray dir = root;
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (int i = 0; i + 1 < parts.size(); ++i) {
        const QByteArray part = parts[i].toLocal8Bit();
        if (part.isEmpty() || part == "." || part == ".." || part.contains('/')) return {};
        dir += '/' + part;
        if (mkdir(dir.constData(), 0777) != 0 && errno != EEXIST) return {};
        struct stat st;
        if (lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return {};
        }
    }
    return dir;
}

}  // namespace

bool FileRecoveredInfo::exportSelf() {
    exportError.clear();
    exportedFile.clear();
    exportSha256.clear();
    if (exportPath.isEmpty()) {
        exportError = QStringLiteral("no export folder");
        return false;
    }
    if (name.isEmpty()) genName();
    const QByteArray src = devFile.toUtf8();
    QByteArray dir = exportPath.toLocal8Bit();
    if (!originalPath.isEmpty()) {
        dir = makeFolders(dir, originalPath);
        if (dir.isEmpty()) {
            exportError = QStringLiteral("cannot make the folders of %1 in %2: %3")
                              .arg(originalPath, exportPath, QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
    }
    const QByteArray base = getName().toLocal8Bit();
    const QVector<r_run> parts = runs.isEmpty() ? QVector<r_run>{r_run{quint64(offset), quint64(len)}} : runs;
    // The engine never replaces a file: an earlier recovery, another run's
    // file or a link planted in the folder keeps its name, and this one gets
    // the next free one.
    char written[4096];
    unsigned char digest[32];
    errno = 0;
    const int status = general_file_export_into(src.constData(), parts.constData(), int32_t(parts.size()),
                                                dir.constData(), base.constData(), written, sizeof written,
                                                hashOnExport ? digest : nullptr);
    const int err = errno;
    auto reason = [](const QString &what, int e) {
        return e ? QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(e))) : what;
    };
    if (status == 0) {
        exportedFile = QStringLiteral("%1/%2").arg(QString::fromLocal8Bit(dir), QString::fromLocal8Bit(written));
        if (modifiedTime != kNoTime) {
            // The file just made keeps the time the file system kept; its
            // access time too where known.
            struct timespec times[2];
            times[0].tv_sec = time_t(accessedTime != kNoTime ? accessedTime : modifiedTime);
            times[0].tv_nsec = 0;
            times[1].tv_sec = time_t(modifiedTime);
            times[1].tv_nsec = 0;
            utimensat(AT_FDCWD, QFile::encodeName(exportedFile).constData(), times, AT_SYMLINK_NOFOLLOW);
        }
        if (hashOnExport) exportSha256 = QByteArray(reinterpret_cast<const char *>(digest), 32).toHex();
        return true;
    }
    if (status == 1)
        exportError = reason(QStringLiteral("cannot read its bytes from %1").arg(devFile), err);
    else if (status == 2)
        exportError = reason(QStringLiteral("cannot create a file in %1").arg(exportPath), err);
    else
        exportError = reason(QStringLiteral("writing failed"), err);
    return false;
}

QString FileRecoveredInfo::getExportError() const { return exportError; }

QString FileRecoveredInfo::getExportedFile() const { return exportedFile; }

void FileRecoveredInfo::setExportHash(bool on) { hashOnExport = on; }

QByteArray FileRecoveredInfo::getExportSha256() const { return exportSha256; }

void FileRecoveredInfo::removePartialExports() { general_file_export_abandon(); }

bool FileRecoveredInfo::hasThumb() { return thumbReady; }

void FileRecoveredInfo::genThumb() {}

void FileRecoveredInfo::storeThumb(const QImage &thumb) {
    {
        QMutexLocker lock(&thumbLock);
        thumbImage = thumb;
    }
    thumbReady = true;
    if (onGuiThread()) QPixmapCache::insert(key, QPixmap::fromImage(thumb));
}

QImage FileRecoveredInfo::getThumbImage() {
    if (!isValid() || !hasThumb()) return QImage();
    {
        QMutexLocker lock(&thumbLock);
        if (!thumbImage.isNull()) return thumbImage;
    }
    genThumb();
    QMutexLocker lock(&thumbLock);
    return thumbImage;
}

QImage FileRecoveredInfo::readyThumbImage() {
    QMutexLocker lock(&thumbLock);
    return thumbImage;
}

bool FileRecoveredInfo::isThumbCached() {
    if (!isValid() || !hasThumb()) return false;
    if (onGuiThread()) {
        QPixmap p;
        return QPixmapCache::find(key, &p);
    }
    QMutexLocker lock(&thumbLock);
    return !thumbImage.isNull();
}

QPixmap FileRecoveredInfo::getThumb() {
    if (!isValid() || !hasThumb() || !onGuiThread()) return QPixmap();
    QPixmap p;
    if (QPixmapCache::find(key, &p)) return p;
    QImage thumb;
    {
        QMutexLocker lock(&thumbLock);
        thumb = thumbImage;
    }
    if (thumb.isNull()) {
        genThumb();  // decodes again and fills the cache
        if (QPixmapCache::find(key, &p)) return p;
        return QPixmap();
    }
    p = QPixmap::fromImage(thumb);
    QPixmapCache::insert(key, p);
    // The cache holds it now; a later eviction decodes the picture again.
    QMutexLocker lock(&thumbLock);
    thumbImage = QImage();
    return p;
}

qint64 FileRecoveredInfo::maxDataBytes() {
    static const qint64 limit = [] {
        quint64 m = 0;
        for (int i = 0; i < LMR_BUILTIN_COUNT; ++i) m = qMax<quint64>(m, getInfo(i).max_len);
        return qint64(qMin<quint64>(m, quint64(INT_MAX)));
    }();
    return limit;
}

QByteArray FileRecoveredInfo::readData() { return readData(maxDataBytes()); }

QByteArray FileRecoveredInfo::readData(qint64 maxBytes) {
    // The length comes from a header of the volume: it is only trusted up to
    // the bound, and never beyond what one engine read can deliver.
    if (len <= 0 || len > maxBytes || len > qint64(INT_MAX)) return QByteArray();
    QByteArray buffer;
    try {
        buffer = QByteArray(int(len), Qt::Uninitialized);
    } catch (const std::bad_alloc &) {
        return QByteArray();
    }
    int got = readBytes(0, int32_t(len), buffer.data());
    if (got <= 0) return QByteArray();
    buffer.truncate(got);
    return buffer;
}

ImageFileRecoveredInfo::ImageFileRecoveredInfo(r_info *info_) : FileRecoveredInfo(info_), width(0), height(0) {}

qint64 ImageFileRecoveredInfo::maxPictureBytes() {
    static const qint64 limit = [] {
        quint64 m = 0;
        for (int i = 0; i < LMR_BUILTIN_COUNT; ++i) {
            builtin_type t = getInfo(i);
            if (t.name && SuffixUtils::isImageSuffix(QString::fromLatin1(t.name))) m = qMax<quint64>(m, t.max_len);
        }
        // A find's length comes from hostile bytes and a camera file's row
        // allows hundreds of megabytes: what is read to decode a picture is
        // bounded well below what a thumbnail worker may allocate.
        constexpr quint64 k_decode_cap = quint64(256) * 1024 * 1024;
        return qint64(qMin<quint64>(m, k_decode_cap));
    }();
    return limit;
}

qint64 ImageFileRecoveredInfo::maxPicturePixels() { return qint64(64) * 1024 * 1024; }

QImage ImageFileRecoveredInfo::readPicture() {
    QByteArray data = readData(maxPictureBytes());
    if (data.isEmpty()) return QImage();
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // A header can claim any dimensions; the decoder would allocate them.
    QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * qint64(size.height()) > maxPicturePixels()) return QImage();
    return reader.read();
}

QPixmap ImageFileRecoveredInfo::readImage() {
    if (!onGuiThread()) return QPixmap();
    return QPixmap::fromImage(readPicture());
}

void ImageFileRecoveredInfo::readInfo() {
    QImage picture = readPicture();
    if (!picture.isNull()) {
        width = picture.width();
        height = picture.height();
        storeThumb(picture.scaled(ThumbSize, ThumbSize, Qt::KeepAspectRatio, Qt::FastTransformation));
    }
    genName();
}

namespace {

// A PNG's size is in its first chunk: the decoder, asked for it, reads every
// chunk up to the image data, and a cut buffer makes it fail loudly.
QSize pngHeaderSize(const QByteArray &head) {
    static const char k_start[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR";
    if (head.size() < 24 || memcmp(head.constData(), k_start, 16) != 0) return QSize();
    auto be32 = [&](int at) {
        const uchar *p = reinterpret_cast<const uchar *>(head.constData()) + at;
        return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    };
    quint32 w = be32(16), h = be32(20);
    if (w == 0 || h == 0 || w > quint32(INT_MAX) || h > quint32(INT_MAX)) return QSize();
    return QSize(int(w), int(h));
}

}  // namespace

void ImageFileRecoveredInfo::readName() {
    // A JPEG's name carries no dimensions; the others keep theirs in the
    // first bytes of the file.
    if (suffix.toLower() != QLatin1String("jpg") && len > 0) {
        constexpr qint64 k_header_bytes = 4096;
        QByteArray head(int(qMin(len, k_header_bytes)), Qt::Uninitialized);
        int got = readBytes(0, int32_t(head.size()), head.data());
        if (got > 0) {
            head.truncate(got);
            QSize size;
            if (suffix.toLower() == QLatin1String("png")) {
                size = pngHeaderSize(head);
            } else {
                QBuffer buffer(&head);
                buffer.open(QIODevice::ReadOnly);
                QImageReader reader(&buffer);
                size = reader.size();
            }
            if (size.isValid() && size.width() > 0 && size.height() > 0) {
                width = size.width();
                height = size.height();
            }
        }
        if (width == 0) {
            // The header did not tell (it lies further in): decode after all.
            QImage picture = readPicture();
            width = picture.width();
            height = picture.height();
        }
    }
    genName();
}

void ImageFileRecoveredInfo::genThumb() {
    QImage picture = readPicture();
    if (picture.isNull()) return;
    storeThumb(picture.scaled(ThumbSize, ThumbSize, Qt::KeepAspectRatio, Qt::FastTransformation));
}

void ImageFileRecoveredInfo::genName() {
    if (suffix.toLower() == QLatin1String("jpg"))
        name = QStringLiteral("IMG_1%1.%2").arg(quint64(offset)).arg(suffix);
    else
        name = QStringLiteral("image_%1x%2_%3.%4").arg(width).arg(height).arg(quint64(offset)).arg(suffix);
}

int ImageFileRecoveredInfo::getWidth() const { return width; }
int ImageFileRecoveredInfo::getHeight() const { return height; }

MediaFileRecoveredInfo::MediaFileRecoveredInfo(r_info *info_) : FileRecoveredInfo(info_) {}

CompressedFileRecoveredInfo::CompressedFileRecoveredInfo(r_info *info_) : FileRecoveredInfo(info_) {}
