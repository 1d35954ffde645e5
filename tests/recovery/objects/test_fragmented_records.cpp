// Records of finds in several byte runs: reading, naming, thumbnails and
// export of the assembled file; a find in one range as before.
#include "qt_test_support.h"

#include "recovery/recoveredinfo.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace lmrtest;

namespace {

// Filler between the pieces: no 0xFF, so no JPEG marker, and not the bytes
// that follow a piece in its file.
void fillJunk(Bytes &v) {
    for (size_t i = 0; i < v.size(); ++i) v[i] = (unsigned char)((i * 37 + 11) & 0x7f);
}

// A sample file cut into pieces and laid out in a volume of junk, the
// pieces not in file order; `runs` says where each piece went.
struct PiecesVolume {
    Bytes file;
    std::vector<r_run> runs;
    std::unique_ptr<TempFile> volume;

    // `cuts`: where in the file each piece after the first begins;
    // `places`: where in the volume each piece goes.
    PiecesVolume(const char *sample, std::vector<size_t> cuts, std::vector<size_t> places, size_t size = 64 * 1024) {
        file = read_file(data_path(std::string("recovery/") + sample));
        if (file.empty()) ADD_FAILURE() << "no sample " << sample;
        Bytes v(size);
        fillJunk(v);
        cuts.insert(cuts.begin(), 0);
        cuts.push_back(file.size());
        for (size_t i = 0; i + 1 < cuts.size(); ++i) {
            const size_t n = cuts[i + 1] - cuts[i];
            if (places[i] + n > v.size()) ADD_FAILURE() << "piece " << i << " does not fit";
            std::copy(file.begin() + long(cuts[i]), file.begin() + long(cuts[i + 1]), v.begin() + long(places[i]));
            runs.push_back(r_run{places[i], n});
        }
        volume = std::make_unique<TempFile>(v, "pieces");
    }
    QVector<r_run> qruns() const { return QVector<r_run>(runs.begin(), runs.end()); }
    // A record of the find as the validation thread gets it; `length` is
    // what the find's info says.
    FileRecoveredInfo *record(const char *suffix, uint64_t length) const {
        return FileRecoveredInfo::newRecoveredInfo(makeInfo(volume->path(), runs.front().offset, length, suffix), qruns());
    }
    FileRecoveredInfo *record(const char *suffix) const { return record(suffix, file.size()); }
    QByteArray bytes() const { return QByteArray(reinterpret_cast<const char *>(file.data()), int(file.size())); }
};

// The JPEG sample (38898 bytes) in three pieces, the second first in the
// volume.
PiecesVolume jpegInPieces() { return PiecesVolume("jpg_jfif_baseline_01.jpg", {10000, 25000}, {20480, 4096, 45056}); }

QImage decoded(const QByteArray &bytes) {
    QImage image;
    image.loadFromData(bytes);
    return image;
}

bool sameRuns(const QVector<r_run> &a, const std::vector<r_run> &b) {
    if (size_t(a.size()) != b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i)
        if (a[int(i)].offset != b[i].offset || a[int(i)].length != b[i].length) return false;
    return true;
}

QStringList entries(const QString &dir) { return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); }

}  // namespace

TEST(FragmentedRecords, ReadThumbnailAndExportTheAssembledFile) {
    const PiecesVolume v = jpegInPieces();
    const QImage reference = decoded(v.bytes());
    ASSERT_EQ(reference.size(), QSize(594, 436));
    // The info's length is not the runs' sum: the runs are what counts.
    std::unique_ptr<FileRecoveredInfo> r(v.record("jpg", 5));
    EXPECT_TRUE(r->isFragmented());
    EXPECT_TRUE(sameRuns(r->getRuns(), v.runs));
    EXPECT_EQ(r->getOffset(), 20480);
    EXPECT_EQ(r->getLen(), qint64(v.file.size()));

    EXPECT_EQ(r->readData(), v.bytes());
    EXPECT_TRUE(r->readData(v.file.size() - 1).isEmpty());  // the bound is on the whole file

    std::thread([&] { r->readInfo(); }).join();  // as the validation thread does
    EXPECT_EQ(r->getName(), QStringLiteral("IMG_120480.jpg"));
    ASSERT_TRUE(r->hasThumb());
    EXPECT_EQ(r->getThumbImage(), reference.scaled(100, 100, Qt::KeepAspectRatio, Qt::FastTransformation));
    auto *image = dynamic_cast<ImageFileRecoveredInfo *>(r.get());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->readPicture(), reference);

    QTemporaryDir out;
    r->setExportPath(out.path());
    ASSERT_TRUE(r->exportSelf()) << r->getExportError().toStdString();
    EXPECT_EQ(entries(out.path()), QStringList{"IMG_120480.jpg"});
    QFile saved(out.filePath("IMG_120480.jpg"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), v.bytes());
}

TEST(FragmentedRecords, ANameFromAHeaderThatLiesInTheSecondRun) {
    // The PNG's size (bytes 16 to 23) is in its second piece; what follows
    // the first piece in the volume is junk.
    const PiecesVolume png("png_small_01.png", {10, 30}, {8192, 4096, 12288});
    for (bool namesOnly : {true, false}) {
        std::unique_ptr<FileRecoveredInfo> r(png.record("png"));
        std::thread([&] { namesOnly ? r->readName() : r->readInfo(); }).join();
        EXPECT_EQ(r->getName(), QStringLiteral("image_27x29_8192.png")) << namesOnly;
        EXPECT_EQ(r->hasThumb(), !namesOnly);
    }
}

TEST(FragmentedRecords, AFindInOneRangeIsReadAsBefore) {
    const PiecesVolume v = jpegInPieces();
    Bytes whole(64 * 1024);
    fillJunk(whole);
    std::copy(v.file.begin(), v.file.end(), whole.begin() + 8192);
    TempFile vol(whole, "whole");
    const uint64_t len = v.file.size();
    // No runs, none given, or one run: the range at offset, len.
    std::unique_ptr<FileRecoveredInfo> records[] = {
        std::unique_ptr<FileRecoveredInfo>(FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 8192, len, "jpg"))),
        std::unique_ptr<FileRecoveredInfo>(
            FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 8192, len, "jpg"), QVector<r_run>())),
        std::unique_ptr<FileRecoveredInfo>(
            FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 0, 1, "jpg"), QVector<r_run>{{8192, len}})),
    };
    for (auto &r : records) {
        EXPECT_FALSE(r->isFragmented());
        EXPECT_TRUE(sameRuns(r->getRuns(), {r_run{8192, len}}));
        EXPECT_EQ(r->getOffset(), 8192);
        EXPECT_EQ(r->getLen(), qint64(len));
        EXPECT_EQ(r->readData(), v.bytes());
        r->readInfo();
        EXPECT_EQ(r->getName(), QStringLiteral("IMG_18192.jpg"));
        EXPECT_TRUE(r->hasThumb());
    }
    std::unique_ptr<FileRecoveredInfo> none(FileRecoveredInfo::newRecoveredInfo(nullptr));
    EXPECT_TRUE(none->getRuns().isEmpty());
    EXPECT_FALSE(none->isFragmented());
}

TEST(FragmentedRecords, AFailedExportLeavesNothingBehind) {
    const PiecesVolume v = jpegInPieces();
    QTemporaryDir out;
    // The last run, then the middle one, lie past the end of the volume:
    // what the runs before them give is not the file.
    const QVector<QVector<r_run>> cut = {
        {v.runs[0], v.runs[1], r_run{60000, v.runs[2].length}},
        {v.runs[0], r_run{1u << 20, v.runs[1].length}, v.runs[2]},
    };
    for (const QVector<r_run> &runs : cut) {
        std::unique_ptr<FileRecoveredInfo> r(
            FileRecoveredInfo::newRecoveredInfo(makeInfo(v.volume->path(), runs[0].offset, 0, "jpg"), runs));
        r->setExportPath(out.path());
        EXPECT_FALSE(r->exportSelf());
        EXPECT_TRUE(r->getExportError().startsWith("cannot read its bytes")) << r->getExportError().toStdString();
        EXPECT_TRUE(entries(out.path()).isEmpty()) << entries(out.path()).join(", ").toStdString();
    }
    // A folder that cannot hold files.
    std::unique_ptr<FileRecoveredInfo> r(v.record("jpg"));
    TempFile plain(Bytes{1});
    r->setExportPath(QString::fromStdString(plain.path()));
    EXPECT_FALSE(r->exportSelf());
    EXPECT_TRUE(r->getExportError().startsWith("cannot create a file")) << r->getExportError().toStdString();

    // Runs no file can have make no usable record.
    std::unique_ptr<FileRecoveredInfo> huge(FileRecoveredInfo::newRecoveredInfo(
        makeInfo(v.volume->path(), 0, 0, "jpg"), QVector<r_run>{{0, uint64_t(INT64_MAX)}, {100, 2}}));
    EXPECT_FALSE(huge->isValid());
}
