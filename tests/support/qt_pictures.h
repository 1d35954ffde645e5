// Pictures encoded by Qt's image writers, for the tests of what is read from
// a find's picture.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>

namespace lmrtest {

// A `w` x `h` picture of one colour, encoded as `format` ("PNG", "JPG").
inline QByteArray encodedPicture(int w, int h, const char *format) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return bytes;
}

}  // namespace lmrtest
