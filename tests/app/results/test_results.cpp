// The result page: where each find is listed, the category counts, check
// marks by click and double click, thumbnails from the worker (also across
// a restart while it is busy), and the preview dialog.
#include "sample_finds.h"

#include "resulttablemodel.h"
#include "support/camera_raw.h"
#include "thumbnailcache.h"

#include <QBuffer>
#include <QHeaderView>
#include <QIcon>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace apptest;

namespace {

enum { Image, Document, Media, Archive, Other };

QString treeText(MainWindow *w, int category) {
    return child<QTreeView>(w, "categoryTree")->model()->index(category, 0).data().toString();
}

QLabel *previewLabel(PreviewDialog *d) { return d->findChild<QLabel *>(QStringLiteral("previewLabel")); }

QList<PreviewDialog *> openPreviews(MainWindow *w) {
    QList<PreviewDialog *> open;
    for (PreviewDialog *d : previews(w))
        if (d->isVisible()) open << d;
    return open;
}

// The picture the single open preview ends up showing, or its text.
struct Shown {
    QSize picture;
    QString text;
};
Shown previewOutcome(MainWindow *w) {
    QList<PreviewDialog *> open = openPreviews(w);
    if (open.size() != 1) {
        ADD_FAILURE() << open.size() << " previews open";
        return {};
    }
    QLabel *label = previewLabel(open.first());
    lmrtest::pumpUntil([label] { return label->text() != QStringLiteral("加载中.."); }, 10000);
    return {label->pixmap(Qt::ReturnByValue).size(), label->text()};
}

QSize iconSizeOf(MainWindow *w, int category, int row) {
    if (row >= table(w, category)->model()->rowCount()) return QSize(-1, -1);
    const QIcon icon = thumbnailOf(w, table(w, category), row);
    return icon.isNull() ? QSize(0, 0) : icon.availableSizes().value(0);
}

const QVector<Sample> &kinds() {
    static const QVector<Sample> samples = {
        sampleFile("image/jfif.jpg", "jpg"),              // 0: 320 x 240
        sampleFile("image/rgb.png", "png"),               // 1: 120 x 90
        sampleFile("image/gif87a_128.gif", "gif"),        // 2: 60 x 45
        sampleFile("document/gs_lf.pdf", "pdf"),          // 3
        sampleFile("document/linearized_lf.pdf", "pdf"),  // 4
        sampleFile("image/v5.bmp", "bmp"),                // 5: 40 x 30
        sampleJunk("jpg"),                                // 6: not a picture
        sampleFile("image/jfif.jpg", "JPG"),              // 7
        sampleFile("image/png_edge_10240.png", "png"),    // 8: 40 x 40
        sampleJunk("3gpp"),                               // 9
        sampleJunk("apk"),                                // 10: in no category
    };
    return samples;
}

}  // namespace

TEST(ResultRouting, FindsAreListedUnderTheirCategoryAndCounted) {
    // (Which type goes where is checked over the whole type table by the
    // kind page's tests.)
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    EXPECT_EQ(treeText(w, Document), QStringLiteral("文档"));
    feed(w, vol.record(3));
    EXPECT_EQ(treeText(w, Document), QStringLiteral("文档(1)"));
    feed(w, vol.record(4));
    feed(w, vol.record(7));  // a picture with its suffix in capitals
    feed(w, vol.record(5));
    feed(w, vol.record(0));
    feed(w, vol.record(10));
    EXPECT_EQ(treeText(w, Document), QStringLiteral("文档(2)"));
    EXPECT_EQ(treeText(w, Other), QStringLiteral("其他(1)"));
    EXPECT_EQ(treeText(w, Image), QStringLiteral("图片(3)"));
    EXPECT_EQ(treeText(w, Media), QStringLiteral("音视频"));
    EXPECT_EQ(child<QLabel>(w, "successLabel")->text(), QStringLiteral("已扫描到6个文件"));

    // Row r of a table is entry r of its category's records.
    LMTableWidget *docs = table(w, Document);
    ASSERT_EQ(docs->model()->rowCount(), 2);
    for (int r = 0; r < 2; ++r) {
        FileRecoveredInfo *rec = w->category(Document)->getInfos()->at(r);
        EXPECT_EQ(rec->getOffset(), vol.at(3 + r).offset);
        EXPECT_EQ(cellText(docs, r, 1), rec->getName());
        EXPECT_EQ(cellText(docs, r, 2), QStringLiteral("pdf"));
        EXPECT_EQ(cellText(docs, r, 3), Utils::formatSize(vol.at(3 + r).bytes.size()));
    }
    // The suffix is shown as the engine reported it.
    EXPECT_EQ(cellText(table(w, Image), 0, 2), QStringLiteral("JPG"));
    EXPECT_EQ(cellText(table(w, Image), 1, 2), QStringLiteral("bmp"));

    // The preview cell: the play picture for audio and video, the default
    // one elsewhere.
    feed(w, vol.record(9));
    ASSERT_EQ(table(w, Media)->model()->rowCount(), 1);
    EXPECT_EQ(treeText(w, Media), QStringLiteral("音视频(1)"));
    const QImage play = QPixmap(QStringLiteral(":/icons/resource/icon_preview_play.png")).toImage();
    const QImage plain = QPixmap(QStringLiteral(":/icons/resource/icon_preview_default.png")).toImage();
    ASSERT_FALSE(play.isNull());
    ASSERT_FALSE(plain.isNull());
    EXPECT_EQ(pictureOf(cellData(table(w, Media), 0, 4, Qt::DecorationRole)), play);
    for (int k : {Image, Document, Other})
        EXPECT_EQ(pictureOf(cellData(table(w, k), 0, 4, Qt::DecorationRole)), plain) << k;

    // A new scan empties the tables and takes the counts off the tree.
    w->resetResults();
    for (int k = 0; k < 5; ++k) EXPECT_EQ(table(w, k)->model()->rowCount(), 0) << k;
    EXPECT_EQ(treeText(w, Document), QStringLiteral("文档"));
    EXPECT_EQ(treeText(w, Other), QStringLiteral("其他"));
    EXPECT_EQ(child<QLabel>(w, "successLabel")->text(), QStringLiteral("已扫描到0个文件"));
    EXPECT_EQ(treeText(w, Media), QStringLiteral("音视频"));
    feed(w, vol.record(4));
    EXPECT_EQ(treeText(w, Document), QStringLiteral("文档(1)"));
}

TEST(ResultRouting, ABatchOfFindsIsInsertedOnceForEachCategory) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    feed(w, vol.recordNamed(3));
    QSignalSpy pictures(table(w, Image)->model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy documents(table(w, Document)->model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy others(table(w, Other)->model(), &QAbstractItemModel::rowsInserted);
    QList<FileRecoveredInfo *> batch;
    for (int i = 0; i < 200; ++i) batch << vol.recordNamed(i % 3 == 0 ? 4 : 1);
    w->listFinds(batch);
    ASSERT_EQ(documents.size(), 1);
    EXPECT_EQ(documents.at(0).at(1).toInt(), 1);
    EXPECT_EQ(documents.at(0).at(2).toInt(), 67);
    ASSERT_EQ(pictures.size(), 1);
    EXPECT_EQ(pictures.at(0).at(2).toInt(), 132);
    EXPECT_EQ(others.size(), 0);
    // In the order they came.
    for (int r = 1; r <= 67; ++r)
        EXPECT_EQ(w->category(Document)->getInfos()->at(r), batch.at((r - 1) * 3)) << r;
    EXPECT_EQ(child<QLabel>(w, "successLabel")->text(), QStringLiteral("已扫描到201个文件"));
}

TEST(ResultRouting, ANamedFindShowsItsFullPathInTheNameTipAndACarvedOneNone) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    FileRecoveredInfo *named = vol.record(0);
    named->setOriginal(QStringLiteral("DCIM/100CANON/IMG_0001.JPG"), 0, 0, 0, FileRecoveredInfo::Named);
    FileRecoveredInfo *orphan = vol.record(1);
    orphan->setOriginal(QStringLiteral("_orphans/record 77/shot.png"), 0, 0, 0, FileRecoveredInfo::Overwritten);
    feed(w, named);
    feed(w, orphan);
    feed(w, vol.record(2));  // carved
    LMTableWidget *pictures = table(w, Image);
    ASSERT_EQ(pictures->model()->rowCount(), 3);
    for (int r = 0; r < 3; ++r) {
        const FileRecoveredInfo *rec = w->category(Image)->getInfos()->at(r);
        const QVariant tip = cellData(pictures, r, 1, Qt::ToolTipRole);
        if (rec->getOriginalPath().isEmpty()) {
            EXPECT_FALSE(tip.isValid()) << r;
            continue;
        }
        // The cell shows the name, its tip the folders before it too.
        EXPECT_EQ(tip.toString(), rec->getOriginalPath()) << r;
        EXPECT_TRUE(tip.toString().endsWith(QLatin1Char('/') + cellText(pictures, r, 1))) << r;
        for (int c : {0, 2, 3, 4}) EXPECT_FALSE(cellData(pictures, r, c, Qt::ToolTipRole).isValid()) << r << c;
    }
}

TEST(CheckMarks, AClickOnTheNameTogglesTheRowAndThePreviewCellDoesNot) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int i : {0, 1, 2}) feed(w, vol.record(i));
    LMTableWidget *t = table(w, Image);
    ASSERT_EQ(child<QStackedWidget>(w, "resultStack")->currentWidget(), t->parentWidget());
    EXPECT_EQ(checkMark(w, Image, 1), 0);

    clickCell(t, 1, 1);
    EXPECT_EQ(rowSelection(w, Image, 1), 1);
    EXPECT_EQ(checkMark(w, Image, 1), 1);
    EXPECT_EQ(rowSelection(w, Image, 0), 0);
    clickCell(t, 1, 1);
    EXPECT_EQ(rowSelection(w, Image, 1), 0);
    EXPECT_EQ(checkMark(w, Image, 1), 0);

    // The preview cell opens the preview of its own row and leaves the mark
    // of an unchecked row and of a checked one as it was.
    clickCell(t, 0, 3);
    ASSERT_EQ(checkMark(w, Image, 0), 1);
    for (int row : {2, 0}) {
        const int before = checkMark(w, Image, row);
        clickCell(t, row, 4);
        EXPECT_EQ(openPreviews(w).size(), 1) << row;
        EXPECT_EQ(checkMark(w, Image, row), before) << row;
        EXPECT_EQ(rowSelection(w, Image, row), before) << row;
        const Shown shown = previewOutcome(w);
        EXPECT_EQ(shown.picture, row == 0 ? QSize(320, 240) : QSize(60, 45)) << row;
        closePreviews(w);
    }
    EXPECT_EQ(checkMark(w, Image, 1), 0);
}

TEST(CheckMarks, ADoubleClickOpensThePreviewAndTheMarkEndsAsItWas) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int i : {0, 1, 3, 4}) feed(w, vol.record(i));
    w->showPage(2);
    // The image table and one that keeps an item view's edit triggers.
    for (int category : {Image, Document}) {
        showCategory(w, category);
        LMTableWidget *t = table(w, category);
        clickCell(t, 1, 1);  // row 1 checked, row 0 not
        ASSERT_EQ(checkMark(w, category, 1), 1);
        for (int row : {0, 1}) {
            for (int column : {1, 3, 4}) {
                const int before = checkMark(w, category, row);
                windowClickCell(t, row, column, /*twice=*/true);
                const QString where = QStringLiteral("category %1 row %2 column %3").arg(category).arg(row).arg(column);
                EXPECT_EQ(openPreviews(w).size(), 1) << where.toStdString();
                EXPECT_EQ(checkMark(w, category, row), before) << where.toStdString();
                EXPECT_EQ(rowSelection(w, category, row), before) << where.toStdString();
                closePreviews(w);
            }
        }
        EXPECT_EQ(rowSelection(w, category, 0), 0);
        EXPECT_EQ(rowSelection(w, category, 1), 1);
        EXPECT_EQ(cellText(t, 0, 1), w->category(category)->getInfos()->at(0)->getName());
    }

    // An open preview is modal: clicks on the table wait until it is closed,
    // and the next click gets a dialog of its own.
    showCategory(w, Image);
    LMTableWidget *t = table(w, Image);
    windowClickCell(t, 0, 4);
    ASSERT_EQ(openPreviews(w).size(), 1);
    PreviewDialog *first = openPreviews(w).first();
    windowClickCell(t, 0, 1);
    windowClickCell(t, 1, 4);
    EXPECT_EQ(openPreviews(w), QList<PreviewDialog *>{first});
    EXPECT_EQ(checkMark(w, Image, 0), 0);
    closePreviews(w);
    windowClickCell(t, 1, 4);
    EXPECT_EQ(openPreviews(w).size(), 1);
    EXPECT_EQ(checkMark(w, Image, 1), 1);
    closePreviews(w);
}

TEST(CheckMarks, CheckedRowsStayCheckedWhileAnotherCategoryIsViewed) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int i : {0, 1, 2, 3, 4}) feed(w, vol.record(i));
    auto *stack = child<QStackedWidget>(w, "resultStack");
    clickCell(table(w, Image), 0, 1);
    clickCell(table(w, Image), 2, 2);
    showCategory(w, Document);
    EXPECT_EQ(stack->currentIndex(), Document);
    EXPECT_EQ(w->currentCategory(), w->category(Document));
    clickCell(table(w, Document), 1, 1);
    showCategory(w, Other);
    showCategory(w, Image);
    EXPECT_EQ(stack->currentIndex(), Image);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(rowSelection(w, Image, row), row == 1 ? 0 : 1) << row;
        EXPECT_EQ(checkMark(w, Image, row), row == 1 ? 0 : 1) << row;
    }
    EXPECT_EQ(checkMark(w, Document, 0), 0);
    EXPECT_EQ(checkMark(w, Document, 1), 1);
    EXPECT_EQ(rowSelection(w, Document, 1), 1);
}

TEST(CheckMarks, TheMarksFollowTheSelectionHoweverItChanges) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int i : {0, 1, 2, 8}) feed(w, vol.record(i));
    w->showPage(2);
    LMTableWidget *t = table(w, Image);
    auto marks = [w] {
        QString m;
        for (int r = 0; r < 4; ++r) m += QString::number(checkMark(w, Image, r));
        return m;
    };
    auto selected = [w] {
        QString m;
        for (int r = 0; r < 4; ++r) m += QString::number(rowSelection(w, Image, r));
        return m;
    };

    // Dragging over rows with the button held selects them (what export
    // takes); the press and the release are on different rows, so no click
    // is reported.
    auto centre = [t](int row) { return t->visualRect(t->model()->index(row, 1)).center(); };
    QTest::mousePress(t->viewport(), Qt::LeftButton, Qt::NoModifier, centre(0));
    for (int row : {1, 2}) {
        QMouseEvent move(QEvent::MouseMove, centre(row), t->viewport()->mapToGlobal(centre(row)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(t->viewport(), &move);
    }
    QTest::mouseRelease(t->viewport(), Qt::LeftButton, Qt::NoModifier, centre(2));
    EXPECT_EQ(selected(), QStringLiteral("1110"));
    EXPECT_EQ(marks(), selected());

    // Select all from the keyboard, then the space bar on the current row.
    t->setFocus();
    QTest::keyClick(t, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(selected(), QStringLiteral("1111"));
    EXPECT_EQ(marks(), selected());
    t->selectionModel()->setCurrentIndex(t->model()->index(3, 1), QItemSelectionModel::NoUpdate);
    QTest::keyClick(t, Qt::Key_Space);
    EXPECT_EQ(selected(), QStringLiteral("1110"));
    EXPECT_EQ(marks(), selected());
    t->clearSelection();
    EXPECT_EQ(marks(), QStringLiteral("0000"));
}

TEST(CheckMarks, TheTickAllBoxTicksEveryRowAndIsClearedByANewRow) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    w->showPage(2);
    for (int i : {3, 4, 3}) feed(w, vol.recordNamed(i));
    showCategory(w, Document);
    LMTableWidget *t = table(w, Document);
    auto box = [t] {
        static const QImage checked = QPixmap(QStringLiteral(":/icons/resource/icon_checked.png")).toImage();
        return pictureOf(t->model()->headerData(0, Qt::Horizontal, Qt::DecorationRole)) == checked;
    };
    auto clickBox = [t] {
        QHeaderView *h = t->horizontalHeader();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(h->sectionViewportPosition(0) + h->sectionSize(0) / 2, h->height() / 2));
    };
    EXPECT_FALSE(box());
    clickCell(t, 1, 1);
    clickBox();
    EXPECT_TRUE(box());
    for (int r = 0; r < 3; ++r) EXPECT_EQ(checkMark(w, Document, r), 1) << r;
    // A find that comes now is not ticked, so not every row is.
    feed(w, vol.recordNamed(4));
    EXPECT_FALSE(box());
    EXPECT_EQ(checkMark(w, Document, 3), 0);
    // The box then ticks the rest; once all are ticked it unticks them all.
    clickBox();
    for (int r = 0; r < 4; ++r) EXPECT_EQ(checkMark(w, Document, r), 1) << r;
    clickBox();
    for (int r = 0; r < 4; ++r) EXPECT_EQ(rowSelection(w, Document, r), 0) << r;
    EXPECT_FALSE(box());
}

TEST(Thumbnails, PictureRowsGetThemAndOtherRowsDoNot) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int i = 0; i < kinds().size(); ++i) feed(w, vol.record(i));
    // jpg, png, gif, bmp, the jpg that is not a picture, JPG, png
    ASSERT_EQ(table(w, Image)->model()->rowCount(), 7);
    ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 10000));
    lmrtest::pumpUntil([] { return false; }, 50);

    // Scaled to the table's 25 x 25 icons, keeping the aspect.
    for (int r : {0, 1, 2, 3, 5}) EXPECT_EQ(iconSizeOf(w, Image, r), QSize(25, 18)) << r;
    EXPECT_EQ(iconSizeOf(w, Image, 6), QSize(25, 25));
    EXPECT_EQ(iconSizeOf(w, Image, 4), QSize(0, 0)) << "bytes that are no picture have no thumbnail";
    EXPECT_EQ(cellText(table(w, Image), 4, 1), w->category(Image)->getInfos()->at(4)->getName());
    // Nothing else gets one.
    for (int k : {Document, Media, Other})
        for (int r = 0; r < table(w, k)->model()->rowCount(); ++r)
            EXPECT_TRUE(cellData(table(w, k), r, 1, Qt::DecorationRole).isNull()) << k << " " << r;
}

TEST(Thumbnails, ANewScanWhileTheWorkerIsBusyGetsNoneOfTheOldThumbnails) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    w->showPage(2);
    LMTableWidget *t = table(w, Image);
    for (int round = 0; round < 3; ++round) {
        const int many = 300;
        for (int i = 0; i < many; ++i) feed(w, vol.recordNamed(8));
        // Every row asked for, as a fast scroll over them does.
        for (int r = 0; r < many; ++r) cellData(t, r, 1, Qt::DecorationRole);
        EXPECT_GT(w->thumbnailsPending(), 0);
        // Restarted at once: the worker still has jobs, and what it has done
        // waits in the event queue.  The new records may even be where the
        // old ones were in memory.
        w->resetResults();
        EXPECT_EQ(w->thumbnailsPending(), 0);
        // The new rows: pictures without thumbnails, then one with.
        for (int i = 0; i < many; ++i) feed(w, vol.recordNamed(6));
        feed(w, vol.recordNamed(2));
        for (int r = 0; r <= many; ++r) cellData(t, r, 1, Qt::DecorationRole);
        ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 20000)) << w->thumbnailsPending();
        lmrtest::pumpUntil([] { return false; }, 100);
        int stale = 0;
        for (int r = 0; r < many; ++r)
            if (!cellData(t, r, 1, Qt::DecorationRole).isNull()) ++stale;
        EXPECT_EQ(stale, 0) << "round " << round;
        EXPECT_EQ(iconSizeOf(w, Image, many), QSize(25, 18)) << "round " << round;
        w->resetResults();
    }
}

TEST(Thumbnails, OnlyTheRowsOnScreenAreDecodedAndFewAreKept) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    w->showPage(2);
    auto *cache = w->findChild<ThumbnailCache *>();
    ASSERT_TRUE(cache);
    LMTableWidget *t = table(w, Image);
    const int many = 3000;
    QList<FileRecoveredInfo *> finds;
    for (int i = 0; i < many; ++i) finds << vol.recordNamed(i % 2 ? 8 : 1);
    w->listFinds(finds);
    ASSERT_EQ(t->model()->rowCount(), many);
    lmrtest::pumpUntil([] { return false; }, 200);
    ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 20000));
    const int onScreen = t->viewport()->height() / t->verticalHeader()->defaultSectionSize() + 2;
    EXPECT_GT(cache->decoded(), 0);
    EXPECT_LE(cache->decoded(), onScreen);
    EXPECT_TRUE(cellData(t, many - 1, 1, Qt::DecorationRole).isNull());

    // Scrolled through a few hundred rows: each screen's are made, and no
    // more are kept than the cache's bound.
    cache->setLimit(40);
    for (int r = 0; r < 400; r += onScreen) {
        t->scrollTo(t->model()->index(r, 1), QAbstractItemView::PositionAtTop);
        lmrtest::pumpUntil([] { return false; }, 20);
        lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 20000);
    }
    EXPECT_LE(cache->held(), 40);
    EXPECT_GE(cache->decoded(), 300);
    EXPECT_LT(cache->decoded(), 600);
    EXPECT_EQ(iconSizeOf(w, Image, many - 1), QSize(25, 25));
    EXPECT_EQ(iconSizeOf(w, Image, many - 2), QSize(25, 18));
}

TEST(Thumbnails, StartingAgainWhileThumbnailsAreMadeIsSafe) {
    ASSERT_TRUE(DemoVolume::get().ok());
    SampleVolume vol(kinds());
    Session s;
    MainWindow *w = s.w();
    // The rows of a scan that has ended, once its last finds have arrived.
    auto settledRows = [&s] {
        int rows = -1;
        while (rows != s.rows(Image)) {
            rows = s.rows(Image);
            lmrtest::pumpUntil([] { return false; }, 300);
        }
        return rows;
    };
    s.startScan("radioImage");
    ASSERT_TRUE(s.waitEnded());
    const int found = settledRows();
    ASSERT_GT(found, 0);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 400; ++i) feed(w, vol.record(round == 1 ? 0 : 8));
        click(w, "startBtn");
        EXPECT_EQ(s.rows(Image), 0);
        ASSERT_TRUE(s.waitEnded());
        ASSERT_EQ(settledRows(), found);
        ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 20000));
        lmrtest::pumpUntil([] { return false; }, 100);
        // Each row shows its own picture's thumbnail.
        for (int r = 0; r < found; ++r) {
            auto *rec = dynamic_cast<ImageFileRecoveredInfo *>(w->category(Image)->getInfos()->at(r));
            ASSERT_TRUE(rec);
            if (rec->getWidth() <= 0) continue;
            const QSize expected = QSize(rec->getWidth(), rec->getHeight())
                                       .scaled(100, 100, Qt::KeepAspectRatio)
                                       .scaled(25, 25, Qt::KeepAspectRatio);
            const QSize got = iconSizeOf(w, Image, r);
            EXPECT_LE(qAbs(got.width() - expected.width()) + qAbs(got.height() - expected.height()), 2)
                << rec->getName().toStdString() << " " << got.width() << "x" << got.height();
        }
    }
}

// The pictures of a phone or camera card of today, each with what it shows.
struct ModernPicture {
    Sample sample;
    QSize thumbnail;  // empty: the type's icon
    QSize preview;    // empty: no preview
};

QVector<ModernPicture> modernPictures() {
    QFile jfif(QStringLiteral(LUMAREK_TEST_DATA "/image/jfif.jpg"));  // 320 x 240
    jfif.open(QIODevice::ReadOnly);
    const std::string preview = jfif.readAll().toStdString();
    QByteArray thumb;
    {
        QImage small(40, 40, QImage::Format_RGB32);
        small.fill(Qt::darkRed);
        QBuffer buffer(&thumb);
        buffer.open(QIODevice::WriteOnly);
        small.save(&buffer, "JPG");
    }
    const std::string raw = lmrtest::CameraRaw(true).build(thumb.toStdString(), preview,
                                                           lmrtest::CameraRaw::lossless(preview, 30000));
    const QImage webp(QStringLiteral(LUMAREK_TEST_DATA "/image/lossy.webp"));
    const QImage tif(QStringLiteral(LUMAREK_TEST_DATA "/image/strips.tif"));
    return {
        {sampleFile("image/lossy.webp", "webp"), webp.size().scaled(25, 25, Qt::KeepAspectRatio), webp.size()},
        {sampleFile("image/strips.tif", "tif"), tif.size().scaled(25, 25, Qt::KeepAspectRatio), tif.size()},
        {Sample{QString(), QByteArray::fromStdString(raw), "cr2"}, QSize(25, 18), QSize(320, 240)},
        {sampleFile("media/cr3_layout.cr3", "cr3"), QSize(), QSize()},  // sizes from its own previews below
        {sampleFile("media/photo.heic", "heic"), QSize(), QSize()},
    };
}

TEST(Thumbnails, ModernPicturesShowTheirPictureTheirPreviewOrTheirTypesIcon) {
    const QVector<ModernPicture> pictures = modernPictures();
    QVector<Sample> samples;
    for (const ModernPicture &p : pictures) samples << p.sample;
    SampleVolume vol(samples);
    ASSERT_FALSE(QImage(QStringLiteral(LUMAREK_TEST_DATA "/image/lossy.webp")).isNull())
        << "no WebP reader: install qt5-image-formats-plugins (scripts/setup)";
    Session s{QStringList()};
    MainWindow *w = s.w();
    w->showPage(2);
    for (int i = 0; i < samples.size(); ++i) feed(w, vol.recordNamed(i));
    ASSERT_EQ(table(w, Image)->model()->rowCount(), samples.size());

    for (int i = 0; i < pictures.size(); ++i) {
        const char *what = pictures[i].sample.suffix;
        const QIcon icon = thumbnailOf(w, table(w, Image), i);
        ASSERT_FALSE(icon.isNull()) << what;
        if (pictures[i].thumbnail.isValid())
            EXPECT_EQ(icon.availableSizes().value(0), pictures[i].thumbnail) << what;
    }
    // The CR3's thumbnail is its embedded JPEG's picture; the HEIC, which
    // carries none, shows the icon of a picture file, as a JPEG row without
    // a picture would not.
    const QSize cr3 = thumbnailOf(w, table(w, Image), 3).availableSizes().value(0);
    EXPECT_TRUE(cr3.width() == 25 || cr3.height() == 25) << cr3.width() << "x" << cr3.height();
    const QIcon heic = thumbnailOf(w, table(w, Image), 4);
    EXPECT_NE(heic.availableSizes().value(0), cr3);

    // The preview shows the same picture, full size.
    for (int i : {0, 1, 2, 4}) {
        clickCell(table(w, Image), i, 4);
        const Shown shown = previewOutcome(w);
        const char *what = pictures[i].sample.suffix;
        const QSize full = pictures[i].preview;
        if (full.isValid()) {
            const bool fits = full.width() < PreviewDialog::MaxWidth && full.height() < PreviewDialog::MaxHeight;
            EXPECT_EQ(shown.picture,
                      fits ? full : full.scaled(PreviewDialog::MaxWidth, PreviewDialog::MaxHeight, Qt::KeepAspectRatio))
                << what;
        } else {
            EXPECT_EQ(shown.text, QStringLiteral("暂无预览")) << what;
        }
        closePreviews(w);
    }
}

TEST(Preview, PicturesAreScaledDownToFitTheLabel) {
    PreviewDialog d;
    QLabel *label = previewLabel(&d);
    ASSERT_TRUE(label);
    EXPECT_EQ(d.maximumSize(), QSize(400, 300));
    EXPECT_EQ(label->geometry(), QRect(20, 20, 360, 260));
    const struct {
        QSize picture, shown;
    } cases[] = {
        {{1000, 500}, {360, 180}},
        {{300, 200}, {300, 200}},
        {{360, 100}, {360, 100}},  // scaled, since wider than 359, to the same size
        {{200, 1300}, {40, 260}},
        {{359, 259}, {359, 259}},
    };
    for (const auto &c : cases) {
        QPixmap pix(c.picture);
        pix.fill(Qt::darkGreen);
        emit d.onImageLoaded(pix);
        EXPECT_EQ(label->pixmap(Qt::ReturnByValue).size(), c.shown) << c.picture.width() << "x" << c.picture.height();
    }
    d.imageDidLoaded(QPixmap());
    EXPECT_EQ(label->text(), QStringLiteral("暂无预览"));
    EXPECT_TRUE(label->pixmap(Qt::ReturnByValue).isNull());
}

TEST(Preview, LoadingTextThenThePictureOrNoPreview) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int i = 0; i < kinds().size(); ++i) feed(w, vol.record(i));

    // The text shows until the worker's picture arrives.
    {
        std::unique_ptr<FileRecoveredInfo> rec(vol.record(1));
        PreviewDialog d;
        d.loadImage(rec.get());
        EXPECT_EQ(previewLabel(&d)->text(), QStringLiteral("加载中.."));
        QLabel *label = previewLabel(&d);
        ASSERT_TRUE(lmrtest::pumpUntil([label] { return !label->pixmap(Qt::ReturnByValue).isNull(); }, 10000));
        EXPECT_EQ(label->pixmap(Qt::ReturnByValue).size(), QSize(120, 90));
    }

    const struct {
        int category, row;
        QSize picture;  // empty: no preview
        const char *what;
    } cases[] = {
        {Image, 0, {320, 240}, "jpg"},
        {Image, 4, {}, "jpg whose bytes are no picture"},
        {Document, 0, {}, "pdf"},
        {Image, 3, {40, 30}, "bmp"},
        {Image, 5, {320, 240}, "JPG"},
        {Other, 0, {}, "apk"},
    };
    for (const auto &c : cases) {
        showCategory(w, c.category);
        clickCell(table(w, c.category), c.row, 4);
        const Shown shown = previewOutcome(w);
        EXPECT_EQ(shown.picture, c.picture.isEmpty() ? QSize(0, 0) : c.picture) << c.what;
        if (c.picture.isEmpty()) {
            EXPECT_EQ(shown.text, QStringLiteral("暂无预览")) << c.what;
        }
        closePreviews(w);
    }
}

TEST(Preview, ARecordFreedByANewScanWhileItsPreviewLoads) {
    SampleVolume vol(kinds());
    Session s{QStringList()};
    MainWindow *w = s.w();
    for (int round = 0; round < 5; ++round) {
        feed(w, vol.record(0));
        clickCell(table(w, Image), 0, 4);
        w->resetResults();  // deletes the record the preview was opened on
        const Shown shown = previewOutcome(w);
        EXPECT_EQ(shown.picture, QSize(320, 240));
        closePreviews(w);
    }
    // Closed before the picture arrives: it goes nowhere.
    feed(w, vol.record(0));
    clickCell(table(w, Image), 0, 4);
    closePreviews(w);
    lmrtest::pumpUntil([] { return false; }, 300);
    EXPECT_TRUE(openPreviews(w).isEmpty());
}
