// Export of the checked rows: which records are written (and their bytes),
// nothing checked, a cancelled folder choice, folders that cannot be written
// and records that cannot be read, the question before writing onto the
// scanned device, and an export while the scan is paused.
#include "results/sample_finds.h"

#include <QDirIterator>
#include <QTemporaryDir>

#include <QHeaderView>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace apptest;

namespace {

enum { Image, Document };

QString savedTo(int files, const QString &dir) {
    return QStringLiteral("已保存%1个文件到%2").arg(files).arg(QDir::toNativeSeparators(dir));
}
const QString kNothingChecked = QStringLiteral("请先选择要保存的文件！");

QVector<Sample> samples() {
    return {
        sampleFile("image/jfif.jpg", "jpg"),               // 0
        sampleFile("image/rgb.png", "png"),                // 1
        sampleFile("image/gif87a_128.gif", "gif"),         // 2
        sampleFile("image/png_edge_10240.png", "png"),     // 3
        sampleFile("document/gs_lf.pdf", "pdf"),           // 4
        sampleFile("document/linearized_lf.pdf", "pdf"),   // 5
    };
}

// Every file below `dir` (relative path -> bytes).
QMap<QString, QByteArray> filesIn(const QString &dir) {
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        files.insert(QDir(dir).relativeFilePath(path), f.readAll());
    }
    return files;
}

QString nameOf(MainWindow *w, int category, int row) { return w->category(category)->getInfos()->at(row)->getName(); }

QStringList sorted(QStringList names) {
    names.sort();
    return names;
}

// A window on the results page holding the samples' finds in order.
struct Listed {
    SampleVolume vol{samples()};
    Session s{QStringList()};
    MainWindow *w = s.w();
    explicit Listed(const QString &devFile = QString(), QVector<int> which = {0, 1, 2, 3, 4, 5}) {
        for (int i : which) feed(w, vol.record(i, devFile));
        w->showPage(2);
    }
    void check(int category, int row) { clickCell(table(w, category), row, 1); }
};

}  // namespace

TEST(Export, EveryCheckedRowOfEveryCategoryIsSavedOnceWithItsBytes) {
    Listed l;
    MainWindow *w = l.w;
    for (int row : {0, 1, 2, 3}) l.check(Image, row);
    l.check(Image, 2);  // checked, then unchecked again
    showCategory(w, Document);
    l.check(Document, 0);
    l.check(Document, 1);
    showCategory(w, Image);

    QTemporaryDir out;
    l.s.prompts.folder = out.path();
    l.s.save();
    EXPECT_EQ(l.s.prompts.folderAsked, 1);
    EXPECT_EQ(l.s.prompts.messages, QStringList{savedTo(5, out.path())});
    EXPECT_TRUE(l.s.prompts.questions.isEmpty());
    EXPECT_EQ(l.s.prompts.opened, QList<QUrl>{QUrl::fromLocalFile(out.path())});
    const QMap<QString, QByteArray> saved = filesIn(out.path());
    EXPECT_EQ(saved.keys(), sorted({nameOf(w, Image, 0), nameOf(w, Image, 1), nameOf(w, Image, 3),
                                    nameOf(w, Document, 0), nameOf(w, Document, 1)}));
    for (int row : {0, 1, 3})
        EXPECT_EQ(saved.value(nameOf(w, Image, row)), l.vol.at(row).bytes) << row;
    EXPECT_EQ(saved.value(nameOf(w, Document, 1)), l.vol.at(5).bytes);
    // The check marks stay.
    EXPECT_EQ(checkMark(w, Image, 0), 1);

    // A folder named as a Chinese desktop names its folders.
    const QString named = out.filePath(QStringLiteral("桌面/恢复的文件"));
    ASSERT_TRUE(QDir().mkpath(named));
    l.s.prompts.folder = named;
    l.s.save();
    EXPECT_EQ(filesIn(named).keys(), saved.keys());
    EXPECT_EQ(l.s.prompts.opened.last(), QUrl::fromLocalFile(named));
    EXPECT_EQ(l.s.prompts.messages.last(), savedTo(5, named));
    EXPECT_TRUE(child<QPushButton>(w, "exportBtn")->toolTip().contains(QStringLiteral("所有分类")));
}

TEST(Export, TheCheckMarkHeaderTicksAndUnticksEveryRowOfItsTable) {
    Listed l;
    MainWindow *w = l.w;
    LMTableWidget *t = table(w, Image);
    auto marks = [&] {
        QString m;
        for (int r = 0; r < t->model()->rowCount(); ++r) m += QLatin1Char('0' + checkMark(w, Image, r));
        return m;
    };
    auto clickHeader = [&] {
        QHeaderView *h = t->horizontalHeader();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(h->sectionViewportPosition(0) + 5, h->height() / 2));
    };
    l.check(Image, 1);
    clickHeader();
    EXPECT_EQ(marks(), QString(t->model()->rowCount(), QLatin1Char('1')));
    // The other tables are left as they were.
    EXPECT_TRUE(table(w, Document)->selectionModel()->selectedRows().isEmpty());
    clickHeader();
    EXPECT_EQ(marks(), QString(t->model()->rowCount(), QLatin1Char('0')));
    clickHeader();
    QTemporaryDir out;
    l.s.prompts.folder = out.path();
    l.s.save();
    EXPECT_EQ(filesIn(out.path()).size(), t->model()->rowCount());
}

TEST(Export, NothingCheckedOrACancelledFolderChoiceDoesNothing) {
    Listed l;
    MainWindow *w = l.w;
    QTemporaryDir out;
    l.s.prompts.folder = out.path();
    l.s.save();
    EXPECT_EQ(l.s.prompts.messages, QStringList{kNothingChecked});
    EXPECT_EQ(l.s.prompts.folderAsked, 0);

    l.check(Image, 1);
    l.s.prompts.folder = QString();
    l.s.save();
    EXPECT_EQ(l.s.prompts.folderAsked, 1);
    EXPECT_EQ(l.s.prompts.messages.size(), 1);
    EXPECT_TRUE(l.s.prompts.questions.isEmpty());
    EXPECT_TRUE(l.s.prompts.opened.isEmpty());
    EXPECT_TRUE(w->category(Image)->getInfos()->at(1)->getExportPath().isEmpty());
    EXPECT_TRUE(filesIn(out.path()).isEmpty());
}

TEST(Export, FailuresAreNamedAndNeverReportedAsSuccess) {
    QTemporaryDir work;
    const QString plain = work.filePath(QStringLiteral("plain"));
    {
        QFile f(plain);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("a regular file");
    }
    {
        // A folder that cannot exist: its parent is a regular file (this
        // holds for root too, unlike permissions).
        Listed l;
        MainWindow *w = l.w;
        l.check(Image, 0);
        l.check(Image, 2);
        l.s.prompts.folder = plain + QStringLiteral("/sub");
        l.s.save();
        ASSERT_EQ(l.s.prompts.messages.size(), 1);
        const QString said = l.s.prompts.messages.first();
        EXPECT_TRUE(said.startsWith(QStringLiteral("已保存0个文件，共2个。"))) << said.toStdString();
        EXPECT_TRUE(said.contains(nameOf(w, Image, 0))) << said.toStdString();
        EXPECT_TRUE(said.contains(nameOf(w, Image, 2))) << said.toStdString();
        EXPECT_TRUE(l.s.prompts.opened.isEmpty());
    }
    {
        // One record whose bytes lie past the end of its volume, one that
        // is fine: the good one is saved, the other named, nothing half
        // written is left, and the folder opens on what was saved.
        Listed l(QString(), {4});
        MainWindow *w = l.w;
        FileRecoveredInfo *beyond = FileRecoveredInfo::newRecoveredInfo(lmrtest::makeInfo(
            l.vol.path().toStdString(), quint64(QFileInfo(l.vol.path()).size() - 1000), 5000, "pdf"));
        beyond->readInfo();
        feed(w, beyond);
        showCategory(w, Document);
        l.check(Document, 0);
        l.check(Document, 1);
        QTemporaryDir out;
        l.s.prompts.folder = out.path();
        l.s.save();
        ASSERT_EQ(l.s.prompts.messages.size(), 1);
        const QString said = l.s.prompts.messages.first();
        EXPECT_TRUE(said.startsWith(QStringLiteral("已保存1个文件，共2个。"))) << said.toStdString();
        EXPECT_TRUE(said.contains(beyond->getName())) << said.toStdString();
        EXPECT_FALSE(said.contains(nameOf(w, Document, 0))) << said.toStdString();
        EXPECT_EQ(filesIn(out.path()).keys(), QStringList{nameOf(w, Document, 0)});
        EXPECT_EQ(l.s.prompts.opened, QList<QUrl>{QUrl::fromLocalFile(out.path())});
    }
}

TEST(Export, WritingOntoTheScannedDeviceIsAskedFirst) {
    // A node for the device that holds the export folder stands for the
    // partition being scanned.
    QTemporaryDir nodes, out;
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(out.path()).constData(), &st), 0);
    const QString node = nodes.filePath(QStringLiteral("scanned"));
    if (::mknod(QFile::encodeName(node).constData(), S_IFBLK | 0600, makedev(major(st.st_dev), minor(st.st_dev))) != 0)
        GTEST_SKIP() << "no block device node can be made here";

    // Documents: completing their records reads nothing from the device.
    Listed l(node, {4, 5});
    MainWindow *w = l.w;
    showCategory(w, Document);
    l.check(Document, 0);
    l.check(Document, 1);
    l.s.prompts.folder = out.path();
    l.s.prompts.answer = false;
    l.s.save();
    ASSERT_EQ(l.s.prompts.questions.size(), 1);
    EXPECT_TRUE(l.s.prompts.questions.first().contains(out.path())) << l.s.prompts.questions.first().toStdString();
    EXPECT_TRUE(l.s.prompts.messages.isEmpty());
    EXPECT_TRUE(l.s.prompts.opened.isEmpty());
    EXPECT_TRUE(filesIn(out.path()).isEmpty());

    l.s.prompts.answer = true;
    l.s.save();
    EXPECT_EQ(l.s.prompts.questions.size(), 2);
    QFile device(node);
    if (!device.open(QIODevice::ReadOnly)) {
        // Both were tried, and both failures are named.
        ASSERT_EQ(l.s.prompts.messages.size(), 1);
        EXPECT_TRUE(l.s.prompts.messages.first().startsWith(QStringLiteral("已保存0个文件，共2个。")));
        return;
    }
    EXPECT_EQ(l.s.prompts.messages, QStringList{savedTo(2, out.path())});
    const QMap<QString, QByteArray> saved = filesIn(out.path());
    ASSERT_EQ(saved.keys(), sorted({nameOf(w, Document, 0), nameOf(w, Document, 1)}));
    for (int row : {0, 1}) {
        EXPECT_EQ(saved.value(nameOf(w, Document, row)).size(), l.vol.at(4 + row).bytes.size());
        // What the device holds there, not the sample file's bytes.
        device.seek(l.vol.at(4 + row).offset);
        EXPECT_EQ(saved.value(nameOf(w, Document, row)), device.read(l.vol.at(4 + row).bytes.size()));
    }
    EXPECT_EQ(l.s.prompts.opened, QList<QUrl>{QUrl::fromLocalFile(out.path())});
}

TEST(Export, WhileTheScanIsPausedAndTheScanGoesOnAfterwards) {
    // A large sparse image: scanned whole, slowly enough to pause.
    QTemporaryDir work;
    const QString big = work.filePath(QStringLiteral("sparse.img"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(8) << 30));
    }
    SampleVolume vol(samples());
    Session s({big});
    MainWindow *w = s.w();
    clickCell(child<QTreeView>(w, "driveTreeView"), driveRow(w, QStringLiteral("sparse.img")), 0);
    click(w, "nextBtn");
    click(w, "scanBtn");
    auto *proceed = child<QLabel>(w, "proceedLabel");
    ASSERT_TRUE(lmrtest::pumpUntil([proceed] { return !proceed->text().isEmpty(); }, 20000));
    click(w, "pauseBtn");
    lmrtest::pumpUntil([] { return false; }, 200);
    const QString pausedAt = proceed->text();

    feed(w, vol.record(0));
    feed(w, vol.record(1));
    clickCell(table(w, Image), 1, 1);
    s.prompts.folder = work.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(s.prompts.folder));
    s.save();
    EXPECT_EQ(s.prompts.messages, QStringList{savedTo(1, s.prompts.folder)});
    EXPECT_EQ(filesIn(s.prompts.folder).value(nameOf(w, Image, 1)), vol.at(1).bytes);
    EXPECT_EQ(proceed->text(), pausedAt);
    EXPECT_TRUE(shown(w, "resumeBtn"));

    click(w, "resumeBtn");
    EXPECT_TRUE(lmrtest::pumpUntil([&] { return proceed->text() != pausedAt; }, 20000));
    click(w, "stopBtn");
    EXPECT_TRUE(lmrtest::pumpUntil([w] { return w->liveScans() == 0; }, 30000));
    // The rows listed before the stop are still there to export.
    EXPECT_EQ(table(w, Image)->model()->rowCount(), 2);
}

TEST(Export, ASecondSaveIntoTheSameFolderKeepsTheFirstAndNamesTheNewFiles) {
    Listed l;
    MainWindow *w = l.w;
    l.check(Image, 0);
    l.check(Image, 1);
    QTemporaryDir out;
    l.s.prompts.folder = out.path();
    l.s.save();
    // Something else now stands under the first name.
    {
        QFile other(out.filePath(nameOf(w, Image, 0)));
        ASSERT_TRUE(other.open(QIODevice::WriteOnly | QIODevice::Truncate));
        other.write("kept as it is");
    }
    l.s.save();
    ASSERT_EQ(l.s.prompts.messages.size(), 2);
    const QString said = l.s.prompts.messages.last();
    EXPECT_TRUE(said.startsWith(savedTo(2, out.path()))) << said.toStdString();
    const QFileInfo first(nameOf(w, Image, 0)), second(nameOf(w, Image, 1));
    const QString again0 = first.completeBaseName() + " (1)." + first.suffix();
    const QString again1 = second.completeBaseName() + " (1)." + second.suffix();
    EXPECT_TRUE(said.contains(nameOf(w, Image, 0) + " → " + again0)) << said.toStdString();
    EXPECT_TRUE(said.contains(again1)) << said.toStdString();
    const QMap<QString, QByteArray> saved = filesIn(out.path());
    EXPECT_EQ(saved.keys(), sorted({nameOf(w, Image, 0), nameOf(w, Image, 1), again0, again1}));
    EXPECT_EQ(saved.value(nameOf(w, Image, 0)), QByteArray("kept as it is"));
    EXPECT_EQ(saved.value(again0), l.vol.at(0).bytes);
    EXPECT_EQ(saved.value(nameOf(w, Image, 1)), l.vol.at(1).bytes);
    EXPECT_EQ(saved.value(again1), l.vol.at(1).bytes);
}

TEST(Export, TheFolderDialogOpensAtTheLastFolderElseTheUsersPicturesElseHomeNeverAtAMissingOne) {
    // A home of the test's own: without user folders, then with them.
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QByteArray savedHome = qgetenv("HOME"), savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    qunsetenv("XDG_CONFIG_HOME");
    struct Restore {
        QByteArray home, config;
        ~Restore() {
            qputenv("HOME", home);
            if (config.isEmpty()) qunsetenv("XDG_CONFIG_HOME");
            else qputenv("XDG_CONFIG_HOME", config);
        }
    } restore{savedHome, savedConfig};

    Listed l;
    l.check(Image, 0);
    auto opensAt = [&l] {
        l.s.prompts.folder = QString();  // cancelled
        l.s.save();
        return l.s.prompts.folderStart;
    };
    // No Desktop, no Pictures: home, never a folder that is not there.
    EXPECT_EQ(opensAt(), home.path());
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("Documents")));
    EXPECT_EQ(opensAt(), home.filePath(QStringLiteral("Documents")));
    // Pictures as the desktop's user folders name it (a Chinese desktop).
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral(".config")));
    QFile dirs(home.filePath(QStringLiteral(".config/user-dirs.dirs")));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_PICTURES_DIR=\"$HOME/\xe5\x9b\xbe\xe7\x89\x87\"\n");
    dirs.close();
    EXPECT_EQ(opensAt(), home.filePath(QStringLiteral("Documents"))) << "the named Pictures folder does not exist yet";
    ASSERT_TRUE(QDir(home.path()).mkdir(QStringLiteral("图片")));
    EXPECT_EQ(opensAt(), home.filePath(QStringLiteral("图片")));

    // After a save, the folder saved into; once it is gone, Pictures again.
    {
        QTemporaryDir out;
        l.s.prompts.folder = out.path();
        l.s.save();
        EXPECT_EQ(l.s.prompts.messages.last(), savedTo(1, out.path()));
        EXPECT_EQ(opensAt(), out.path());
    }
    EXPECT_EQ(opensAt(), home.filePath(QStringLiteral("图片")));
}
