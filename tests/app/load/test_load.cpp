// The window under a flood of finds: the validation thread waits while the
// window has many finds not yet listed, every find is listed in order and
// counted once the window catches up, closing the window while the thread
// waits neither hangs nor loses track of it, and a picture row keeps its icon
// and nothing more.
#include "results/sample_finds.h"

#include "recovery/filevalidationthread.h"
#include "recovery/scansession.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImageWriter>

#include <memory>
#include <thread>

#include <gtest/gtest.h>

using namespace apptest;

namespace {

enum { Image = 0, Document = 1 };

// A thread handing the window's session `count` PDF finds, as a scan's
// validation does (a PDF's record is complete without reading its bytes, so
// they come as fast as the session takes them).  It ends once it has handed
// over all of them.
QThread *floodOfDocuments(MainWindow *w, const QString &volume, int count) {
    ScanSession *session = w->session();
    const quint64 scan = session->currentScan();
    QThread *t = QThread::create([=] {
        for (int i = 0; i < count; ++i) {
            FileRecoveredInfo *r =
                FileRecoveredInfo::newRecoveredInfo(lmrtest::makeInfo(volume.toStdString(), quint64(i) * 512, 6947, "pdf"));
            r->readName();
            r->setScan(scan);
            session->handOver(scan, r);
        }
    });
    t->start();
    return t;
}

QString text(MainWindow *w, const char *label) { return child<QLabel>(w, label)->text(); }

QString categoryText(MainWindow *w, int k) {
    return child<QTreeView>(w, "categoryTree")->model()->index(k, 0).data().toString();
}

}  // namespace

TEST(FindFlood, TheScanWaitsWhileTheWindowIsBehindAndEveryFindIsListedInOrder) {
    SampleVolume vol({sampleFile("document/gs_lf.pdf", "pdf")});
    Session s{QStringList()};
    MainWindow *w = s.w();
    const int many = 3000;
    std::unique_ptr<QThread> feeder(floodOfDocuments(w, vol.path(), many));
    // The window's event loop does not run: the thread hands over a bounded
    // number of finds and waits, instead of queueing all of them.
    EXPECT_FALSE(feeder->wait(500));
    EXPECT_EQ(s.totalRows(), 0);
    EXPECT_LE(w->findsPending(), 512);

    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.rows(Document) == many; }, 60000)) << s.rows(Document);
    EXPECT_TRUE(feeder->wait(5000));
    int misplaced = 0;
    for (int r = 0; r < many; ++r) {
        const QString expected = QStringLiteral("file%1.pdf").arg(qint64(r) * 512);
        if (cellText(table(w, Document), r, 1) != expected || w->category(Document)->getInfos()->at(r)->getName() != expected)
            ++misplaced;
    }
    EXPECT_EQ(misplaced, 0);
    EXPECT_EQ(s.totalRows(), many);
    EXPECT_EQ(categoryText(w, Document), QStringLiteral("文档(%1)").arg(many));
    EXPECT_EQ(categoryText(w, Image), QStringLiteral("图片"));
    EXPECT_EQ(text(w, "successLabel"), QStringLiteral("已扫描到%1个文件").arg(many));
}

TEST(FindFlood, ClosingTheWindowWhileTheScanWaitsForItEndsTheWait) {
    SampleVolume vol({sampleFile("document/gs_lf.pdf", "pdf")});
    auto s = std::make_unique<Session>(QStringList());
    // One more than the session lets wait: the last one waits for room.
    std::unique_ptr<QThread> feeder(floodOfDocuments(s->w(), vol.path(), 513));
    ASSERT_FALSE(feeder->wait(300));
    // The thread waiting for the window is let go as the window closes, and
    // drops what it hands over from then on.
    s.reset();
    EXPECT_TRUE(feeder->wait(30000));
}

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
    // And one completed by name only, whose icon the worker decodes from
    // the bytes.
    feed(w, vol.recordNamed(2));

    for (int r = 0; r < 4; ++r) {
        const QIcon icon = thumbnailOf(w, table(w, Image), r);
        // The worker made the icon from its own copy; the record has let its
        // thumbnail go.
        if (r < 3) EXPECT_TRUE(records[r]->readyThumbImage().isNull()) << r;
        ASSERT_FALSE(icon.isNull()) << r;
        const QSize size = icon.availableSizes().value(0);
        EXPECT_EQ(size, QSize(25, 18)) << r;
        EXPECT_TRUE(icon.pixmap(size).toImage().textKeys().isEmpty()) << r;
    }
}
