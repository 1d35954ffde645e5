// The file-kind page's deep-scan check box: off by default, below the five
// kinds, and read as each scan starts.
#include "app_test_support.h"

#include "recovery/filerecovery.h"
#include "support/test_support.h"

#include <QCheckBox>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace apptest;

TEST(DeepScanCheck, OffByDefaultAndReadWhenTheScanStarts) {
    // A picture, found either way, and a LibreOffice document, whose member
    // sizes sit in data descriptors: only a deep scan finds it.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const lmrtest::Bytes jpg = lmrtest::read_file(lmrtest::data_path("image/jfif.jpg"));
    const lmrtest::Bytes docx = lmrtest::read_file(lmrtest::data_path("archive/docx_lo_text.docx"));
    ASSERT_FALSE(jpg.empty());
    ASSERT_FALSE(docx.empty());
    QByteArray vol(4096, '\0');
    vol.append(reinterpret_cast<const char *>(jpg.data()), int(jpg.size()));
    vol.append(262144 - vol.size(), '\0');
    vol.append(reinterpret_cast<const char *>(docx.data()), int(docx.size()));
    vol.append(262144, '\0');
    const QString image = dir.filePath("deepcheck.img");
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(vol), vol.size());
    f.close();

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
