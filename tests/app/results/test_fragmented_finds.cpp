// A find in several byte runs in the window: listed with its whole size and
// a thumbnail, previewed from the copy of its record the preview works on,
// and exported whole.
#include "sample_finds.h"

#include "previewthread.h"

#include <QDir>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace apptest;

namespace {

enum { Image };

// The JPEG sample (38898 bytes, 594 x 436) in three pieces, the second
// first in the volume, with bytes between them that are no part of it.
struct PiecesVolume {
    QTemporaryDir dir;
    QString file;
    QByteArray jpeg;
    QVector<r_run> runs = {{20480, 10000}, {4096, 15000}, {45056, 13898}};

    PiecesVolume() {
        QFile sample(QStringLiteral(LUMAREK_TEST_DATA "/recovery/jpg_jfif_baseline_01.jpg"));
        if (!sample.open(QIODevice::ReadOnly)) ADD_FAILURE() << "no sample";
        jpeg = sample.readAll();
        QByteArray image(64 * 1024, '\0');
        for (int i = 0; i < image.size(); ++i) image[i] = char((i * 37 + 11) & 0x7f);
        int from = 0;
        for (const r_run &r : runs) {
            image.replace(int(r.offset), int(r.length), jpeg.mid(from, int(r.length)));
            from += int(r.length);
        }
        file = dir.filePath(QStringLiteral("volume.img"));
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size()) ADD_FAILURE() << "cannot write";
    }
    // A completed record, as a scan hands it to the window.
    FileRecoveredInfo *record() const {
        FileRecoveredInfo *r = FileRecoveredInfo::newRecoveredInfo(
            lmrtest::makeInfo(file.toStdString(), 20480, quint64(jpeg.size()), "jpg"), runs);
        r->readInfo();
        return r;
    }
    QImage picture() const { return QImage::fromData(jpeg); }
};

}  // namespace

TEST(FragmentedFinds, ListedWithTheirWholeSizeAThumbnailAndExportedWhole) {
    PiecesVolume vol;
    Session s{QStringList()};
    MainWindow *w = s.w();
    feed(w, vol.record());
    w->showPage(2);
    ASSERT_EQ(table(w, Image)->model()->rowCount(), 1);
    EXPECT_EQ(cellText(table(w, Image), 0, 1), QStringLiteral("IMG_120480.jpg"));
    EXPECT_EQ(cellText(table(w, Image), 0, 3), Utils::formatSize(vol.jpeg.size()));
    const QIcon icon = thumbnailOf(w, table(w, Image), 0);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes().value(0), QSize(25, 18));

    clickCell(table(w, Image), 0, 1);  // checks the row
    QTemporaryDir out;
    s.prompts.folder = out.path();
    s.save();
    EXPECT_EQ(s.prompts.messages, QStringList{QStringLiteral("已保存1个文件到%1").arg(QDir::toNativeSeparators(out.path()))});
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"IMG_120480.jpg"});
    QFile saved(out.filePath(QStringLiteral("IMG_120480.jpg")));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), vol.jpeg);
}

TEST(FragmentedFinds, ThePreviewReadsThePiecesFromItsCopyOfTheRecord) {
    PiecesVolume vol;
    const QImage reference = vol.picture();
    ASSERT_EQ(reference.size(), QSize(594, 436));
    FileRecoveredInfo *record = vol.record();
    PreviewThread thread(nullptr, record);
    delete record;  // as a new scan does while the preview loads
    QSignalSpy spy(&thread, &PreviewThread::pictureRead);
    thread.start();
    ASSERT_TRUE(thread.wait(10000));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).value<QImage>(), reference);

    // In the window: the dialog shows the whole picture, scaled to fit.
    Session s{QStringList()};
    MainWindow *w = s.w();
    feed(w, vol.record());
    w->showPage(2);
    clickCell(table(w, Image), 0, 4);
    ASSERT_EQ(previews(w).size(), 1);
    QLabel *label = previews(w).first()->findChild<QLabel *>(QStringLiteral("previewLabel"));
    ASSERT_TRUE(label);
    w->resetResults();  // the record goes; the preview's copy stays
    ASSERT_TRUE(lmrtest::pumpUntil([label] { return !label->pixmap(Qt::ReturnByValue).isNull(); }, 10000));
    const QImage expected = QPixmap::fromImage(reference)
                                .scaled(PreviewDialog::MaxWidth, PreviewDialog::MaxHeight, Qt::KeepAspectRatio,
                                        Qt::SmoothTransformation)
                                .toImage();
    EXPECT_EQ(label->pixmap(Qt::ReturnByValue).toImage(), expected);
    closePreviews(w);
}
