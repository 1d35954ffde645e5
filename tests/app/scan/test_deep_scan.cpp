// The file-kind page's deep-scan check box: off by default, below the five
// kinds, and read as each scan starts.
#include "app_test_support.h"

#include "recovery/filerecovery.h"
#include "support/qt_files.h"

#include <QCheckBox>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace apptest;

TEST(DeepScanCheck, OffByDefaultAndReadWhenTheScanStarts) {
    // A picture, found either way, and a LibreOffice document, whose member
    // sizes sit in data descriptors: only a deep scan finds it.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray jpg = lmrtest::testData("image/jfif.jpg");
    const QByteArray docx = lmrtest::testData("archive/docx_lo_text.docx");
    ASSERT_FALSE(jpg.isEmpty());
    ASSERT_FALSE(docx.isEmpty());
    const QString image = dir.filePath("deepcheck.img");
    ASSERT_TRUE(lmrtest::writeBytes(image, lmrtest::volumeOf({{4096, jpg}, {262144, docx}}, 262144)));

    Session s({image});
    MainWindow *w = s.w();
    auto *deep = child<QCheckBox>(w, "deepScanCheck");
    EXPECT_FALSE(deep->isChecked());
    EXPECT_EQ(deep->text(), QStringLiteral("深度扫描（找回更多文件，稍慢）"));
    // On the file-kind page, below the last of the five kinds.
    EXPECT_TRUE(child<QWidget>(w, "categoryPage")->isAncestorOf(deep));
    EXPECT_GT(deep->geometry().top(), child<QRadioButton>(w, "radioAll")->geometry().bottom());
    EXPECT_EQ(deep->geometry().left(), child<QRadioButton>(w, "radioAll")->geometry().left());

    const int row = driveRow(w, QFileInfo(image).fileName());
    ASSERT_GE(row, 0);
    clickCell(child<QTreeView>(w, "driveTreeView"), row, 0);
    click(w, "nextBtn");
    EngineControl::setDeepScan(true);  // whatever was set before, the box decides
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() == 1; }, 20000)) << s.totalRows();
    lmrtest::pumpUntil([] { return false; }, 200);
    EXPECT_EQ(s.totalRows(), 1);

    // Back to the page, the box ticked: the next scan is deep.
    click(w, "backBtn");
    EXPECT_FALSE(deep->isChecked());
    QTest::mouseClick(deep, Qt::LeftButton, Qt::NoModifier, QPoint(5, 10));
    EXPECT_TRUE(deep->isChecked());
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return s.totalRows() == 2; }, 20000)) << s.totalRows();
    s.close();
    EngineControl::setDeepScan(false);
}
