// Records of recovered files: classes, names, thumbnails, reading, export.
#include "qt_test_support.h"
#include "support/qt_pictures.h"

#include "recovery/recoveredinfo.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmapCache>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace lmrtest;

namespace {

Bytes pngOf(int w, int h) {
    const QByteArray bytes = encodedPicture(w, h, "PNG");
    return Bytes(bytes.begin(), bytes.end());
}

// A volume: `pad` zero bytes, then `file`, then some zeros.
Bytes volumeWith(const Bytes &file, size_t pad) {
    Bytes v(pad, 0);
    v.insert(v.end(), file.begin(), file.end());
    v.resize(v.size() + 512, 0);
    return v;
}

}  // namespace

TEST(Records, FactoryPicksClassByLowerCasedSuffixAndNames) {
    struct Case {
        const char *suffix;
        uint64_t offset;
        const char *kind;
        const char *name;
    } cases[] = {
        {"JPG", 4096, "image", "IMG_14096.JPG"},
        {"docx", 1048576, "file", "file1048576.docx"},
        {"mp3", 512, "media", "file512.mp3"},
        {"3gp", 1024, "media", "file1024.3gp"},
        {"rar", 2048, "compressed", "file2048.rar"},
        {"sqlite", 8192, "file", "file8192.sqlite"},
    };
    for (const Case &c : cases) {
        std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(makeInfo("/nonexistent", c.offset, 10, c.suffix)));
        std::string kind = dynamic_cast<ImageFileRecoveredInfo *>(r.get())        ? "image"
                           : dynamic_cast<MediaFileRecoveredInfo *>(r.get())      ? "media"
                           : dynamic_cast<CompressedFileRecoveredInfo *>(r.get()) ? "compressed"
                                                                                  : "file";
        EXPECT_EQ(kind, c.kind) << c.suffix;
        r->genName();
        EXPECT_EQ(r->getName().toStdString(), c.name);
        EXPECT_STREQ(r->metaObject()->className(), "RecoveredInfo");
    }

    std::unique_ptr<FileRecoveredInfo> empty(FileRecoveredInfo::newRecoveredInfo(nullptr));
    EXPECT_EQ(typeid(*empty), typeid(FileRecoveredInfo));
    EXPECT_TRUE(empty->getSuffix().isEmpty());
    EXPECT_EQ(empty->getLen(), 0);
    EXPECT_EQ(empty->getOffset(), 0);
}

TEST(Records, PictureIsDecodedOffTheGuiThreadAndThumbnailedOnIt) {
    Bytes png = pngOf(1000, 500);
    TempFile vol(volumeWith(png, 8192), "vol");
    std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 8192, png.size(), "png")));

    std::thread worker([&] { r->readInfo(); });  // as the validation thread does
    worker.join();
    EXPECT_EQ(r->getName().toStdString(), "image_1000x500_8192.png");
    ASSERT_TRUE(r->hasThumb());
    EXPECT_EQ(r->getThumbImage().size(), QSize(100, 50));

    QPixmap thumb = r->getThumb();
    EXPECT_EQ(thumb.size(), QSize(100, 50));
    EXPECT_TRUE(r->isThumbCached());

    // An evicted thumbnail is made again.
    QPixmapCache::remove(r->getKey());
    EXPECT_FALSE(r->isThumbCached());
    EXPECT_EQ(r->getThumb().size(), QSize(100, 50));
    EXPECT_TRUE(r->isThumbCached());

    auto *image = dynamic_cast<ImageFileRecoveredInfo *>(r.get());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->readImage().size(), QSize(1000, 500));
}

TEST(Records, AReadyThumbnailIsHandedOutWithoutDecoding) {
    Bytes png = pngOf(1000, 500);
    TempFile vol(volumeWith(png, 8192), "vol");
    std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 8192, png.size(), "png")));
    std::unique_ptr<FileRecoveredInfo> named(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 8192, png.size(), "png")));
    std::thread([&] {
        r->readInfo();
        named->readName();
    }).join();

    QImage ready, unnamed;
    std::thread([&] {
        ready = r->readyThumbImage();
        unnamed = named->readyThumbImage();
    }).join();
    EXPECT_EQ(ready.size(), QSize(100, 50));
    EXPECT_TRUE(unnamed.isNull());  // names only: no thumbnail was made, none is decoded now

    // Once the GUI thread has cached the pixmap the record lets the image
    // go, and the picture, still readable, is not decoded again for it.
    EXPECT_EQ(r->getThumb().size(), QSize(100, 50));
    EXPECT_TRUE(r->readyThumbImage().isNull());
    QPixmapCache::remove(r->getKey());
}

TEST(Records, UndecodableOrOversizedPicturesGetNoThumbnail) {
    Bytes junk(3000, 0x5a);
    TempFile vol(volumeWith(junk, 1024), "vol");
    std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 1024, junk.size(), "png")));
    r->readInfo();
    EXPECT_EQ(r->getName().toStdString(), "image_0x0_1024.png");
    EXPECT_FALSE(r->hasThumb());
    EXPECT_TRUE(r->getThumb().isNull());
    EXPECT_TRUE(r->isValid());

    // A length from a crafted header far beyond any picture type: the bytes
    // are not read into memory and nothing is decoded.
    Bytes png = pngOf(20, 20);
    TempFile small(volumeWith(png, 512), "vol");
    uint64_t huge = uint64_t(3) << 30;
    std::unique_ptr<FileRecoveredInfo> big(FileRecoveredInfo::newRecoveredInfo(makeInfo(small.path(), 512, huge, "png")));
    big->readInfo();
    EXPECT_FALSE(big->hasThumb());
    EXPECT_TRUE(big->readData().isEmpty());
    EXPECT_EQ(big->getName().toStdString(), "image_0x0_512.png");

    // A BMP header claiming 60000 x 60000 pixels is not handed to the decoder.
    Bytes bmp(54 + 64, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = uint8_t(v >> (8 * i));
    };
    put32(2, uint32_t(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, 60000);
    put32(22, 60000);
    bmp[26] = 1;
    bmp[28] = 24;
    TempFile bmpVol(volumeWith(bmp, 512), "vol");
    std::unique_ptr<FileRecoveredInfo> claimed(FileRecoveredInfo::newRecoveredInfo(makeInfo(bmpVol.path(), 512, bmp.size(), "bmp")));
    claimed->readInfo();
    EXPECT_FALSE(claimed->hasThumb());
}

TEST(Records, ReadDataDeliversTheFoundRange) {
    Bytes file(5000);
    for (size_t i = 0; i < file.size(); ++i) file[i] = uint8_t(i * 7);
    TempFile vol(volumeWith(file, 1536), "vol");
    std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 1536, file.size(), "pdf")));
    QByteArray data = r->readData();
    ASSERT_EQ(size_t(data.size()), file.size());
    EXPECT_EQ(0, memcmp(data.constData(), file.data(), file.size()));

    // A range running past the end of the volume gives the bytes there are.
    std::unique_ptr<FileRecoveredInfo> tail(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 1536, 1 << 20, "pdf")));
    EXPECT_EQ(size_t(tail->readData().size()), file.size() + 512);
}

TEST(Records, KeysAreUniqueEvenWithinOneMillisecond) {
    QSet<QString> keys;
    std::vector<std::unique_ptr<FileRecoveredInfo>> a, b;
    std::thread t1([&] {
        for (int i = 0; i < 500; ++i) a.emplace_back(new FileRecoveredInfo(nullptr));
    });
    std::thread t2([&] {
        for (int i = 0; i < 500; ++i) b.emplace_back(new FileRecoveredInfo(nullptr));
    });
    t1.join();
    t2.join();
    for (auto &r : a) keys.insert(r->getKey());
    for (auto &r : b) keys.insert(r->getKey());
    EXPECT_EQ(keys.size(), 1000);
}

TEST(Records, ExportNeedsAnExistingFolderAndCopiesTheRange) {
    Bytes file(2500, 0x42);
    file[0] = 0x01;
    file.back() = 0x02;
    TempFile vol(volumeWith(file, 4096), "vol");
    std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 4096, file.size(), "zip")));
    r->readInfo();

    EXPECT_FALSE(r->exportSelf());  // no folder yet

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString missing = dir.filePath("not/there");
    r->setExportPath(missing);
    EXPECT_FALSE(r->exportSelf());
    EXPECT_FALSE(QFile::exists(missing + "/file4096.zip"));

    r->setExportPath(dir.path());
    r->setExportPath("");  // keeps the folder
    EXPECT_EQ(r->getExportPath(), dir.path());
    ASSERT_TRUE(r->exportSelf());
    Bytes out = read_file((dir.path() + "/file4096.zip").toStdString());
    EXPECT_EQ(out, file);
}

TEST(Records, NonAsciiVolumePathsAreReadBack) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString path = dir.filePath(QString::fromUtf8("卷-ü.img"));
    Bytes file(700, 0x33);
    Bytes vol = volumeWith(file, 512);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char *>(vol.data()), qint64(vol.size()));
    f.close();
    std::unique_ptr<FileRecoveredInfo> r(
        FileRecoveredInfo::newRecoveredInfo(makeInfo(path.toUtf8().toStdString(), 512, file.size(), "pdf")));
    EXPECT_EQ(r->getDevFile(), path);
    EXPECT_EQ(size_t(r->readData().size()), file.size());
}

// Names-only completion (the command-line carver's) gives the same names as
// the full one, without a thumbnail.
TEST(Records, NamesOnlyMatchFullCompletion) {
    const std::string samples[] = {"image/rgb.png", "image/gif89a_comment.gif", "image/v5.bmp", "image/jfif.jpg"};
    const char *suffixes[] = {"png", "gif", "bmp", "jpg"};
    for (int i = 0; i < 4; ++i) {
        Bytes file = read_file(data_path(samples[i]));
        ASSERT_FALSE(file.empty()) << samples[i];
        TempFile vol(volumeWith(file, 1536));
        std::unique_ptr<FileRecoveredInfo> full(
            FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 1536, file.size(), suffixes[i])));
        std::unique_ptr<FileRecoveredInfo> light(
            FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 1536, file.size(), suffixes[i])));
        full->readInfo();
        light->readName();
        EXPECT_EQ(light->getName(), full->getName()) << samples[i];
    }
}
