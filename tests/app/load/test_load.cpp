// The window under a flood of finds: a picture row keeps its icon and
// nothing more.
#include "results/sample_finds.h"

#include <QBuffer>
#include <QImageWriter>

#include <thread>

#include <gtest/gtest.h>

using namespace apptest;

namespace {

enum { Image = 0 };

}  // namespace

TEST(PictureRows, KeepTheirIconAndNeitherTheRecordsThumbnailNorThePicturesText) {
    // A PNG with a long text chunk, as a picture with embedded metadata has.
    QImage picture(160, 120, QImage::Format_RGB32);
    picture.fill(QColor(40, 120, 200));
    picture.setText(QStringLiteral("Description"), QString(20000, QLatin1Char('x')));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(QImageWriter(&buffer, "png").write(picture));
    const Sample sample{QString(), png, "png"};
    SampleVolume vol({sample, sample, sample});

    Session s{QStringList()};
    MainWindow *w = s.w();
    // Completed off the GUI thread, as the validation thread completes them.
    QList<FileRecoveredInfo *> records;
    std::thread([&] {
        for (int i = 0; i < 3; ++i) records << vol.record(i);
    }).join();
    for (FileRecoveredInfo *r : records) {
        ASSERT_FALSE(r->readyThumbImage().textKeys().isEmpty()) << "the thumbnail should carry the picture's text";
        feed(w, r);
    }
    ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 10000));
    lmrtest::pumpUntil([] { return false; }, 50);

    for (int r = 0; r < 3; ++r) {
        // The worker made the icon from its own copy; the record has let its
        // thumbnail go.
        EXPECT_TRUE(records[r]->readyThumbImage().isNull()) << r;
        const QIcon icon = table(w, Image)->item(r, 1)->data(Qt::DecorationRole).value<QIcon>();
        ASSERT_FALSE(icon.isNull()) << r;
        const QSize size = icon.availableSizes().value(0);
        EXPECT_EQ(size, QSize(25, 18)) << r;
        EXPECT_TRUE(icon.pixmap(size).toImage().textKeys().isEmpty()) << r;
    }
}
