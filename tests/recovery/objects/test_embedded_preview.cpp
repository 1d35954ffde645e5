// The JPEG preview inside camera and phone pictures: found through the TIFF
// directories of a RAW file (either byte order), by walking the bytes of
// an ISO-box file, never a lossless or cut image, and within bounds on
// hostile bytes.
#include "qt_test_support.h"

#include "support/camera_raw.h"
#include "support/qt_pictures.h"

#include "recovery/embeddedpreview.h"

#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

namespace {

std::string fileBytes(const char *relative) {
    QFile f(QStringLiteral(LUMAREK_TEST_DATA "/") + QString::fromLatin1(relative));
    if (!f.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "no sample " << relative;
        return std::string();
    }
    const QByteArray b = f.readAll();
    return std::string(b.constData(), size_t(b.size()));
}

std::string jpegOf(int w, int h) {
    const QByteArray bytes = lmrtest::encodedPicture(w, h, "JPG");
    return std::string(bytes.constData(), size_t(bytes.size()));
}

lmr::embedded_jpeg find(const std::string &s) {
    return lmr::find_embedded_jpeg(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

QSize decodedSize(const std::string &s, lmr::embedded_jpeg at) {
    if (!at.length || at.offset + at.length > s.size()) return QSize();
    return QImage::fromData(reinterpret_cast<const uchar *>(s.data() + at.offset), int(at.length), "JPG").size();
}

}  // namespace

TEST(EmbeddedPreview, ARawFilesPreviewIsTheLargestViewableImageItsDirectoriesName) {
    const std::string thumb = jpegOf(40, 30);
    const std::string preview = fileBytes("image/jfif.jpg");  // 320 x 240
    // The sensor data is the largest image, but lossless: no viewer's.
    const std::string sensor = lmrtest::CameraRaw::lossless(preview, 40000);
    ASSERT_GT(sensor.size(), preview.size());
    for (bool little : {true, false}) {
        const std::string raw = lmrtest::CameraRaw(little).build(thumb, preview, sensor);
        const lmr::embedded_jpeg got = find(raw);
        EXPECT_EQ(got.offset, raw.find(preview)) << little;
        EXPECT_EQ(got.length, preview.size()) << little;
        EXPECT_EQ(decodedSize(raw, got), QSize(320, 240)) << little;

        // Without the preview, the thumbnail; without either, nothing.
        const std::string thumbOnly = lmrtest::CameraRaw(little).build(thumb, std::string(), sensor);
        EXPECT_EQ(decodedSize(thumbOnly, find(thumbOnly)), QSize(40, 30)) << little;
        const std::string none = lmrtest::CameraRaw(little).build(std::string(), std::string(), sensor);
        EXPECT_EQ(find(none).length, 0u) << little;
    }
}

TEST(EmbeddedPreview, DirectoriesPointingOutsideTheFileAreSkippedAndTheBytesWalked) {
    const std::string preview = fileBytes("image/jfif.jpg");
    std::string raw = lmrtest::CameraRaw(true).build(jpegOf(40, 30), preview, std::string());
    // The file cut inside its preview: the directories name an image that
    // is no longer whole, and the thumbnail before it is the one left.
    const std::string cut = raw.substr(0, raw.find(preview) + preview.size() / 2);
    EXPECT_EQ(decodedSize(cut, find(cut)), QSize(40, 30));
    // IFD0 pointing past the end: the images are found by their markers.
    raw[4] = char(0xF0);
    raw[5] = raw[6] = raw[7] = char(0x7F);
    const lmr::embedded_jpeg walked = find(raw);
    EXPECT_EQ(walked.offset, raw.find(preview));
    EXPECT_EQ(walked.length, preview.size());
}

TEST(EmbeddedPreview, IsoBoxPicturesGiveTheLargestJpegTheyHoldOrNone) {
    // A CR3 holds a thumbnail (its THMB box) and a preview (in its media
    // data); the one taken is whole and decodes.
    const std::string cr3 = fileBytes("media/cr3_layout.cr3");
    const lmr::embedded_jpeg got = find(cr3);
    ASSERT_GT(got.length, 0u);
    const size_t first = cr3.find("\xFF\xD8\xFF");
    const size_t second = cr3.find("\xFF\xD8\xFF", first + 3);
    EXPECT_TRUE(got.offset == first || got.offset == second) << got.offset;
    EXPECT_EQ(cr3.compare(got.offset + got.length - 2, 2, "\xFF\xD9"), 0);
    EXPECT_TRUE(decodedSize(cr3, got).isValid());
    EXPECT_TRUE(lmr::is_viewable_jpeg(reinterpret_cast<const uint8_t *>(cr3.data()), cr3.size(), got.offset, got.length));
    // A HEIC and an AVIF as the packaged encoders write them carry none.
    EXPECT_EQ(find(fileBytes("media/photo.heic")).length, 0u);
    EXPECT_EQ(find(fileBytes("media/photo.avif")).length, 0u);
}

TEST(EmbeddedPreview, HostileBytesFindNothingAndStayInBounds) {
    // Start-of-image markers everywhere, images never ended, segments that
    // run past the end, a directory chain through itself.
    std::string soi;
    for (int i = 0; i < 20000; ++i) soi += std::string("\xFF\xD8\xFF\xC0\x00\x02\xFF\xDA\x00\x02\x11\x22", 12);
    EXPECT_EQ(find(soi).length, 0u);
    std::string longSegments;
    for (int i = 0; i < 20000; ++i) longSegments += std::string("\xFF\xD8\xFF\xE1\xFF\xFF", 6);
    EXPECT_EQ(find(longSegments).length, 0u);
    const std::string jpeg = jpegOf(16, 16);
    const std::string unended = jpeg.substr(0, jpeg.size() - 2) + std::string(5000, '\0');
    EXPECT_EQ(find(unended).length, 0u);
    EXPECT_EQ(find(jpeg).length, jpeg.size());

    std::string loop("II*\0\x08\0\0\0", 8);
    loop += std::string("\x02\0", 2);
    loop += std::string("\x01\x02\x04\0\x01\0\0\0\xF0\xFF\xFF\x0F", 12);  // JPEG at an offset past the end
    loop += std::string("\x02\x02\x04\0\x01\0\0\0\xFF\xFF\xFF\xFF", 12);
    loop += std::string("\x08\0\0\0", 4);  // the next directory is this one
    EXPECT_EQ(find(loop).length, 0u);
    EXPECT_EQ(lmr::find_embedded_jpeg(nullptr, 100).length, 0u);
    EXPECT_FALSE(lmr::is_viewable_jpeg(reinterpret_cast<const uint8_t *>(jpeg.data()), jpeg.size(), 1,
                                       jpeg.size() - 1));
    EXPECT_FALSE(lmr::is_viewable_jpeg(reinterpret_cast<const uint8_t *>(jpeg.data()), jpeg.size(), 0,
                                       jpeg.size() + 1));
}
