// The desktop program as a person uses it, on a real X server where one is
// given (ctest runs this under xvfb-run): the demo volume is chosen in the
// partition list, 所有文件 stays checked, the scan runs to its end, the
// finds are ticked with the mouse in every kind that has any, each kind's
// ticked rows are exported into a folder of their own, and every export is
// compared with the deleted sample it came from.
//
// The window's saves are then compared, file for file, with what
// lumarek-carve exports from the same image with the same types and mode:
// all files and one kind, deep scan off and on, an image's partition.
//
// With LUMAREK_SCREENSHOTS=DIR the window is also saved as a PNG at each
// step (scripts/screenshot); the checks are the same either way.
#include "app_test_support.h"

#include "applanguage.h"
#include "previewdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QProcess>
#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QTemporaryDir>

#include <map>

#include <gtest/gtest.h>

using namespace apptest;

namespace {

// Set before main() builds the application.  The window draws without
// OpenGL, and the X server of a test run has no session bus beside it: left
// to probe for either, Qt's xcb plugin loads libraries that keep what they
// allocated, which LeakSanitizer reports at exit in sanitizer builds.
const bool platformQuiet = [] {
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lumarek-test-bus");
    return true;
}();

// The window's language: LUMAREK_LANGUAGE (en_US, zh_CN, ...), Chinese
// when unset.  Each test installs it before building a window, as main()
// does.
QLocale language() { return QLocale(qEnvironmentVariable("LUMAREK_LANGUAGE", QStringLiteral("zh_CN"))); }
bool english() { return !AppLanguage::isChinese(language()); }
void useLanguage() { ASSERT_TRUE(AppLanguage::install(language())); }

// A text of the window as its language shows it.
QString inWindow(const char *context, const char *source, int n = -1) {
    return QCoreApplication::translate(context, source, nullptr, n);
}

// Saves the screen under the window, dialogs over it included, when
// LUMAREK_SCREENSHOTS names a folder; an English window's pictures are
// named en-*.png.
class Screenshots {
public:
    Screenshots() : dir(qEnvironmentVariable("LUMAREK_SCREENSHOTS")) {}
    bool wanted() const { return !dir.isEmpty(); }
    void take(QWidget *w, const QString &name) {
        if (!wanted()) return;
        // Let queued repaints (thumbnails, the dialog's picture) reach the
        // screen before it is read.
        lmrtest::pumpUntil([] { return false; }, 300);
        const QRect r = w->frameGeometry();
        const QPixmap shot = w->screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height());
        const QString path = QDir(dir).filePath((english() ? QStringLiteral("en-") : QString()) + name + QStringLiteral(".png"));
        EXPECT_TRUE(!shot.isNull() && shot.save(path)) << path.toStdString();
    }

private:
    QString dir;
};

QByteArray contents(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString suffixOf(const QString &name) { return QFileInfo(name).suffix().toLower(); }

// Compound documents are found with a length rounded up past the end of
// their last sector chain; everything else must come back exact.
bool mayHaveTrailingBytes(const QString &suffix) {
    return suffix == QLatin1String("doc") || suffix == QLatin1String("xls") || suffix == QLatin1String("ppt");
}

bool ticked(LMTableWidget *table, int row) {
    return table->selectionModel()->isRowSelected(row, QModelIndex());
}

PreviewDialog *openPreview() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *d = qobject_cast<PreviewDialog *>(w))
            if (d->isVisible()) return d;
    return nullptr;
}

}  // namespace

TEST(EndToEnd, DemoVolumeIsRecoveredWithTheMouseAndEveryDeletedSampleComesBack) {
    useLanguage();
    const DemoVolume &volume = DemoVolume::get();
    ASSERT_TRUE(volume.ok());
    Screenshots shots;
    Session s;
    MainWindow *w = s.w();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));

    // Page 0: the image is listed after the system's partitions.
    auto *drives = child<QTreeView>(w, "driveTreeView");
    const int row = driveRow(w, QFileInfo(volume.image).fileName());
    ASSERT_GE(row, 0);
    clickCell(drives, row, 0);
    EXPECT_EQ(drives->currentIndex().row(), row);
    shots.take(w, QStringLiteral("1-partitions"));

    // Page 1: every kind of file is the choice already made.
    click(w, "nextBtn");
    ASSERT_EQ(child<QStackedWidget>(w, "contentStack")->currentIndex(), 1);
    EXPECT_TRUE(child<QRadioButton>(w, "radioAll")->isChecked());
    EXPECT_EQ(child<QLabel>(w, "titleAll")->text(), inWindow("MainWindow", "所有文件"));
    shots.take(w, QStringLiteral("2-kinds"));

    // Page 2: the scan runs to its end, and every picture gets its thumbnail.
    click(w, "scanBtn");
    ASSERT_EQ(child<QStackedWidget>(w, "contentStack")->currentIndex(), 2);
    ASSERT_TRUE(s.waitEnded());
    ASSERT_TRUE(lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 20000));
    EXPECT_TRUE(s.prompts.messages.isEmpty()) << s.prompts.messages.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(child<QLabel>(w, "progressLabel")->text(), QStringLiteral("100%"));
    EXPECT_EQ(child<QLabel>(w, "successLabel")->text(), inWindow("ResultViews", "已扫描到%n个文件", s.totalRows()));
    ASSERT_GE(s.totalRows(), volume.deleted.size());
    LMTableWidget *pictures = w->category(0)->getTable();
    ASSERT_GT(pictures->model()->rowCount(), 0);
    for (int r = 0; r < pictures->model()->rowCount(); ++r)
        EXPECT_FALSE(thumbnailOf(w, pictures, r).isNull())
            << "no thumbnail for " << cellText(pictures, r, 1).toStdString();
    shots.take(w, QStringLiteral("3-results"));

    // Every kind with finds: its rows are ticked by clicking them, after one
    // row was ticked and unticked again.
    auto *kinds = child<QTreeView>(w, "categoryTree");
    auto *stack = child<QStackedWidget>(w, "resultStack");
    int kindsTicked = 0;
    for (int k = 0; k < 5; ++k) {
        LMTableWidget *table = w->category(k)->getTable();
        if (table->model()->rowCount() == 0) continue;
        clickCell(kinds, k, 0);
        ASSERT_EQ(stack->currentIndex(), k);
        clickCell(table, 0, 1);
        EXPECT_TRUE(ticked(table, 0));
        clickCell(table, 0, 2);
        EXPECT_FALSE(ticked(table, 0));
        for (int r = 0; r < table->model()->rowCount(); ++r) clickCell(table, r, 1 + r % 3);
        for (int r = 0; r < table->model()->rowCount(); ++r) {
            EXPECT_TRUE(ticked(table, r)) << "kind " << k << " row " << r;
            // The check mark shows it.
            EXPECT_EQ(cellData(table, r, 0, Qt::DecorationRole).value<QPixmap>().toImage(),
                      QPixmap(QStringLiteral(":/icons/resource/icon_checked.png")).toImage());
        }
        ++kindsTicked;
    }
    EXPECT_GE(kindsTicked, 2);

    // Back to the pictures: the preview of a recovered picture, which leaves
    // its tick as it was.
    clickCell(kinds, 0, 0);
    ASSERT_EQ(stack->currentIndex(), 0);
    shots.take(w, QStringLiteral("4-ticked"));
    int jpeg = -1;
    for (int r = 0; r < pictures->model()->rowCount() && jpeg < 0; ++r)
        if (cellText(pictures, r, 2) == QLatin1String("jpg")) jpeg = r;
    ASSERT_GE(jpeg, 0);
    clickCell(pictures, jpeg, 4);
    PreviewDialog *preview = openPreview();
    ASSERT_NE(preview, nullptr);
    EXPECT_TRUE(preview->isModal());
    QLabel *picture = child<QLabel>(preview, "previewLabel");
    ASSERT_TRUE(lmrtest::pumpUntil([picture] { return !picture->pixmap(Qt::ReturnByValue).isNull(); }, 10000));
    const QSize previewSize = picture->pixmap(Qt::ReturnByValue).size();
    EXPECT_TRUE(ticked(pictures, jpeg));
    shots.take(w, QStringLiteral("5-preview"));
    preview->close();
    lmrtest::pumpUntil([] { return openPreview() == nullptr; }, 2000);
    EXPECT_EQ(openPreview(), nullptr);

    // One save takes the ticked rows of every kind into one folder: every
    // row's file and nothing else.
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    std::map<int, QStringList> exported;  // kind -> file paths
    s.prompts.folder = out.path();
    s.prompts.messages.clear();
    s.save();
    QStringList all;
    for (int k = 0; k < 5; ++k) {
        LMTableWidget *table = w->category(k)->getTable();
        for (int r = 0; r < table->model()->rowCount(); ++r) {
            all << cellText(table, r, 1);
            exported[k] << QDir(out.path()).filePath(cellText(table, r, 1));
        }
    }
    EXPECT_EQ(s.prompts.messages,
              QStringList{inWindow("ExportFlow", "已保存%1个文件到%2").arg(all.size()).arg(QDir::toNativeSeparators(out.path()))});
    EXPECT_EQ(s.prompts.opened.value(s.prompts.opened.size() - 1), QUrl::fromLocalFile(out.path()));
    if (shots.wanted() && !s.prompts.messages.isEmpty()) {
        // The message as the window shows it, over the window.
        QMessageBox box(w);
        box.setText(s.prompts.messages.last());
        box.show();
        shots.take(w, QStringLiteral("6-saved"));
        box.close();
    }
    QStringList files = QDir(out.path()).entryList(QDir::Files | QDir::Hidden);
    all.sort();
    files.sort();
    EXPECT_EQ(files, all);
    EXPECT_TRUE(s.prompts.questions.isEmpty());

    // Every deleted sample came back, from the kind it belongs to: byte for
    // byte, or whole with trailing bytes where its format allows.
    for (const QString &name : volume.deleted) {
        const QByteArray sample = contents(DemoVolume::samples() + QStringLiteral("/deleted/") + name);
        ASSERT_FALSE(sample.isEmpty()) << name.toStdString();
        const QString suffix = suffixOf(name);
        const int kind = categoryIndexForSuffix(suffix);
        QString exact, whole;
        for (const QString &path : exported[kind]) {
            if (suffixOf(path) != suffix) continue;
            const QByteArray back = contents(path);
            if (back == sample) exact = path;
            else if (back.size() > sample.size() && back.startsWith(sample)) whole = path;
        }
        if (!exact.isEmpty()) continue;
        EXPECT_TRUE(mayHaveTrailingBytes(suffix) && !whole.isEmpty())
            << name.toStdString() << " did not come back" << (whole.isEmpty() ? "" : " exact");
    }

    // The preview showed the recovered picture itself, scaled down to fit
    // the dialog when larger.
    QImage previewed;
    ASSERT_TRUE(previewed.loadFromData(contents(out.filePath(cellText(pictures, jpeg, 1)))));
    QSize expected = previewed.size();
    if (expected.width() >= PreviewDialog::MaxWidth || expected.height() >= PreviewDialog::MaxHeight)
        expected.scale(PreviewDialog::MaxWidth, PreviewDialog::MaxHeight, Qt::KeepAspectRatio);
    EXPECT_EQ(previewSize, expected);
}

namespace {

// Every file of `dir` by name, with its bytes.
std::map<QString, QByteArray> filesIn(const QString &dir) {
    std::map<QString, QByteArray> files;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden)) files[name] = contents(QDir(dir).filePath(name));
    return files;
}

std::string namesOf(const std::map<QString, QByteArray> &files) {
    QStringList names;
    for (const auto &f : files) names << f.first;
    return names.join(QLatin1Char(' ')).toStdString();
}

struct Choice {
    const char *what;
    QString image;
    int partition;  // 0: the image's own row
    const char *radio;
    bool deep;
};

// The window saves what the carver exports with the same types and mode:
// the kind is chosen and the deep box set with the mouse, every row of
// every kind ticked with the check-mark headers, and saved at once.
void windowSavesWhatTheCarverExports(const Choice &c) {
    SCOPED_TRACE(c.what);
    useLanguage();
    Session s({c.image});
    MainWindow *w = s.w();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    auto *drives = child<QTreeView>(w, "driveTreeView");
    int row = driveRow(w, QFileInfo(c.image).fileName());
    ASSERT_GE(row, 0);
    if (c.partition) {
        const QString prefix = QStringLiteral("%1 · %2 · ").arg(QFileInfo(c.image).fileName()).arg(c.partition);
        row = driveRow(w, prefix);
        ASSERT_GE(row, 0) << "no row " << prefix.toStdString();
    }
    clickCell(drives, row, 0);
    click(w, "nextBtn");
    QTest::mouseClick(child<QRadioButton>(w, c.radio), Qt::LeftButton, Qt::NoModifier, QPoint(5, 10));
    auto *deep = child<QCheckBox>(w, "deepScanCheck");
    if (deep->isChecked() != c.deep) QTest::mouseClick(deep, Qt::LeftButton, Qt::NoModifier, QPoint(5, 10));
    ASSERT_EQ(deep->isChecked(), c.deep);
    const QStringList types = w->selectedGroups();
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    ASSERT_GT(s.totalRows(), 0);

    auto *kinds = child<QTreeView>(w, "categoryTree");
    for (int k = 0; k < 5; ++k) {
        LMTableWidget *table = w->category(k)->getTable();
        if (table->model()->rowCount() == 0) continue;
        clickCell(kinds, k, 0);
        QHeaderView *h = table->horizontalHeader();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(h->sectionViewportPosition(0) + 5, h->height() / 2));
    }
    QTemporaryDir saved, exported;
    ASSERT_TRUE(saved.isValid() && exported.isValid());
    s.prompts.folder = saved.path();
    s.save();
    EXPECT_EQ(s.prompts.messages,
              QStringList{inWindow("ExportFlow", "已保存%1个文件到%2").arg(s.totalRows()).arg(saved.path())});

    QStringList args{QStringLiteral("-t"), types.join(QLatin1Char(',')), QStringLiteral("-o"), exported.path()};
    if (!c.deep) args << QStringLiteral("--no-deep");
    if (c.partition) args << QStringLiteral("--partition") << QString::number(c.partition);
    args << c.image;
    QProcess carve;
    carve.setStandardOutputFile(QProcess::nullDevice());
    carve.start(QStringLiteral(LUMAREK_BINARY_DIR "/cli/lumarek-carve"), args);
    ASSERT_TRUE(carve.waitForFinished(120000));
    ASSERT_EQ(carve.exitCode(), 0) << carve.readAllStandardError().toStdString();

    const auto fromWindow = filesIn(saved.path()), fromCarver = filesIn(exported.path());
    EXPECT_EQ(int(fromWindow.size()), s.totalRows());
    ASSERT_EQ(namesOf(fromWindow), namesOf(fromCarver));
    for (const auto &f : fromCarver)
        EXPECT_TRUE(fromWindow.at(f.first) == f.second) << f.first.toStdString() << " differs";
}

}  // namespace

TEST(EndToEnd, TheWindowSavesExactlyWhatTheCarverExportsWithTheSameTypesAndMode) {
    ASSERT_TRUE(DemoCard::get().ok());
    const QString volume = DemoVolume::get().image;
    for (const Choice &c : {Choice{"all files", volume, 0, "radioAll", false},
                            Choice{"all files, deep", volume, 0, "radioAll", true},
                            Choice{"pictures, deep", volume, 0, "radioImage", true},
                            Choice{"documents", volume, 0, "radioDocument", false},
                            Choice{"a card's first partition, all files, deep", DemoCard::get().image, 1, "radioAll",
                                   true}})
        windowSavesWhatTheCarverExports(c);
}
