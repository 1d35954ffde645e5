#include "findpicture.h"

#include "recovery/embeddedpreview.h"
#include "recovery/recoveredinfo.h"

#include <QBuffer>
#include <QImageReader>
#include <QSet>

#include <cstring>

namespace {

// The most bytes read for one picture: a camera's RAW file is some tens of
// MB, and its preview lies within it.
constexpr qint64 kMaxRead = qint64(256) << 20;

QImage decodeWith(QImageReader &reader, QSize fit) {
    // A header can claim any dimensions; the decoder would allocate them.
    const QSize size = reader.size();
    if (size.isValid() && qint64(size.width()) * size.height() > ImageFileRecoveredInfo::maxPicturePixels())
        return QImage();
    // Large pictures are decoded smaller (JPEG's decoder does it while
    // decoding), still well above the size they are shown at.
    if (fit.isValid() && size.isValid()) {
        const QSize room = fit * 4;
        if (size.width() > room.width() || size.height() > room.height())
            reader.setScaledSize(size.scaled(room, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    }
    return reader.read();
}

QImage decodeBytes(const QByteArray &bytes, QSize fit) {
    QByteArray copy = bytes;  // QBuffer wants a non-const array; this shares it
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return decodeWith(reader, fit);
}

QImage embeddedPreview(const QByteArray &bytes, QSize fit) {
    const lmr::embedded_jpeg jpeg =
        lmr::find_embedded_jpeg(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    if (!jpeg.length) return QImage();
    const QByteArray picture = QByteArray::fromRawData(bytes.constData() + jpeg.offset, int(jpeg.length));
    QBuffer buffer;
    buffer.setData(picture);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    return decodeWith(reader, fit);
}

}  // namespace

namespace FindPicture {

bool decodable(const QString &suffix) {
    static const QSet<QString> formats = [] {
        QSet<QString> s;
        for (const QByteArray &f : QImageReader::supportedImageFormats()) s << QString::fromLatin1(f).toLower();
        return s;
    }();
    return formats.contains(suffix.toLower());
}

QImage decode(const QByteArray &bytes, const QString &suffix, QSize fit) {
    if (bytes.isEmpty()) return QImage();
    if (decodable(suffix)) {
        QImage picture = decodeBytes(bytes, fit);
        // A TIFF whose own data no reader takes may still carry a preview.
        return picture.isNull() ? embeddedPreview(bytes, fit) : picture;
    }
    // A camera's RAW data, HEIC or AVIF: the preview it carries, else what
    // a reader makes of it (a TIFF-based RAW file's first directory is
    // often a small picture of its own).
    QImage picture = embeddedPreview(bytes, fit);
    return picture.isNull() ? decodeBytes(bytes, fit) : picture;
}

QImage read(FileRecoveredInfo *record, QSize fit) {
    if (!record) return QImage();
    return decode(record->readData(qMin(kMaxRead, FileRecoveredInfo::maxDataBytes())), record->getSuffix(), fit);
}

FileRecoveredInfo *detachedCopy(FileRecoveredInfo *record) {
    if (!record) return nullptr;
    auto *place = new r_info{};
    place->offset = quint64(record->getOffset());
    place->length = quint64(record->getLen());
    const QByteArray path = record->getDevFile().toUtf8();
    std::strncpy(place->path, path.constData(), sizeof place->path - 1);
    const QByteArray suffix = record->getSuffix().toUtf8();
    std::strncpy(place->suffix, suffix.constData(), sizeof place->suffix - 1);
    // A find in several pieces is read by its runs.
    FileRecoveredInfo *copy = FileRecoveredInfo::newRecoveredInfo(place, record->getRuns());
    copy->setDevFile(record->getDevFile());  // a path too long for the record's field
    return copy;
}

}  // namespace FindPicture
