// The picture of a find, decoded off the GUI thread, for its thumbnail and
// its preview: what Qt's image readers decode (with the packaged plugins:
// WebP and TIFF too), else the JPEG preview the file carries (camera RAW,
// HEIC, AVIF, CR3).
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

class FileRecoveredInfo;

namespace FindPicture {

// Reads `record`'s bytes and decodes its picture; with a valid `fit`, a
// large picture may be decoded at a smaller size no smaller than `fit`
// (the caller scales it the rest of the way).  Null when there is none.
QImage read(FileRecoveredInfo *record, QSize fit = QSize());

// Decodes a picture from `bytes` of a file of type `suffix`.
QImage decode(const QByteArray &bytes, const QString &suffix, QSize fit = QSize());

// Qt decodes files of type `suffix` itself.
bool decodable(const QString &suffix);

// A record that lives apart from `record` (its place on the volume, its
// pieces, its suffix and name), for a worker: a new scan may delete the
// original at any time.  The caller owns it; null for null.
FileRecoveredInfo *detachedCopy(FileRecoveredInfo *record);

}  // namespace FindPicture
