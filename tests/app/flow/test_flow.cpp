// The window's pages: which page follows which event, the status-panel
// buttons on each page, the partition choice, the file groups, dragging.
#include "app_test_support.h"

#include "recovery/diskpartitions.h"
#include "recovery/scansession.h"

#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace apptest;

namespace {

int page(MainWindow *w) { return child<QStackedWidget>(w, "contentStack")->currentIndex(); }

// scanBtn, backBtn, exportBtn, nextBtn.
std::string statusButtons(MainWindow *w) {
    std::string s;
    for (const char *b : {"scanBtn", "backBtn", "exportBtn", "nextBtn"}) s += shown(w, b) ? '1' : '0';
    return s;
}

}  // namespace

TEST(PageFlow, PagesFollowTheButtonsWithTheirStatusButtons) {
    ASSERT_TRUE(DemoVolume::get().ok());
    Session s;
    MainWindow *w = s.w();
    EXPECT_EQ(page(w), 0);
    EXPECT_EQ(statusButtons(w), "0001");
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w->maximumSize(), QSize(900, 600));
    for (const char *mac : {"macMinBtn", "macCloseBtn", "macMaxBtn"}) EXPECT_FALSE(shown(w, mac)) << mac;

    // The image named on the command line is chosen at start, listed after
    // the system's partitions by its file name and size (decimal, as the
    // desktop shows sizes).
    const int row = driveRow(w, QStringLiteral("demo-fat32.img"));
    ASSERT_GE(row, 0);
    auto *drives = child<QTreeView>(w, "driveTreeView");
    EXPECT_EQ(drives->currentIndex().row(), row);
    EXPECT_TRUE(drives->viewport()->rect().contains(drives->visualRect(drives->currentIndex())));
    EXPECT_EQ(drives->model()->index(row, 1).data().toString(), QStringLiteral("41.9 MB"));
    EXPECT_EQ(drives->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("分区名称"));

    // Next without a partition: the message, and no page change.
    click(w, "refreshBtn");
    click(w, "nextBtn");
    EXPECT_EQ(page(w), 0);
    ASSERT_EQ(s.prompts.messages, QStringList{QStringLiteral("请先选择要恢复的分区！")});

    // A click on either column chooses it.
    clickCell(drives, row, 1);
    click(w, "nextBtn");
    EXPECT_EQ(page(w), 1);
    EXPECT_EQ(statusButtons(w), "1100");
    EXPECT_TRUE(child<QRadioButton>(w, "radioAll")->isChecked());

    // Back keeps the choice; entering page 1 again checks radioAll again.
    child<QRadioButton>(w, "radioImage")->setChecked(true);
    click(w, "backBtn");
    EXPECT_EQ(page(w), 0);
    click(w, "nextBtn");
    EXPECT_EQ(page(w), 1);
    EXPECT_TRUE(child<QRadioButton>(w, "radioAll")->isChecked());
    EXPECT_EQ(s.prompts.messages.size(), 1);

    // Refresh clears the choice.
    click(w, "backBtn");
    click(w, "refreshBtn");
    click(w, "nextBtn");
    EXPECT_EQ(page(w), 0);
    EXPECT_EQ(s.prompts.messages.size(), 2);

    // A double click chooses and goes on at once.
    clickCell(drives, driveRow(w, QStringLiteral("demo-fat32.img")), 0, /*twice=*/true);
    EXPECT_EQ(page(w), 1);
}

TEST(PageFlow, ResultsPageAndBackStopsTheScan) {
    ASSERT_TRUE(DemoVolume::get().ok());
    Session s;
    MainWindow *w = s.w();
    s.startScan();
    EXPECT_EQ(page(w), 2);
    EXPECT_EQ(statusButtons(w), "0110");
    // Exactly one of each overlapping pair.
    EXPECT_NE(shown(w, "pauseBtn"), shown(w, "resumeBtn"));
    EXPECT_NE(shown(w, "stopBtn"), shown(w, "startBtn"));
    click(w, "backBtn");
    EXPECT_EQ(page(w), 1);
    EXPECT_FALSE(w->scanRunning());
    EXPECT_EQ(DeviceManager::getCurrentDevice(), nullptr);
    EXPECT_TRUE(shown(w, "startBtn"));
    EXPECT_FALSE(shown(w, "stopBtn"));
    EXPECT_TRUE(lmrtest::pumpUntil([w] { return w->liveScans() == 0; }, 30000));
}

TEST(KindPage, EachChoiceScansEveryTypeOfItsCategoryAndAllFilesIsAll) {
    Session s{QStringList()};
    MainWindow *w = s.w();
    const QStringList all = ScanGroups::members(QStringLiteral("all"));
    ASSERT_FALSE(all.isEmpty());
    const struct {
        const char *radio;
        int category;  // -1: every type
    } cases[] = {
        {"radioImage", SuffixUtils::Pictures},  {"radioDocument", SuffixUtils::Documents},
        {"radioMedia", SuffixUtils::Media},     {"radioZip", SuffixUtils::Archives},
        {"radioAll", -1},
    };
    QSet<QString> reachable;
    for (const auto &c : cases) {
        child<QRadioButton>(w, c.radio)->setChecked(true);
        const QStringList types = w->selectedGroups();
        EXPECT_FALSE(types.isEmpty()) << c.radio;
        if (c.category < 0) {
            EXPECT_EQ(types, all) << "all files is every type the engine reports";
        } else {
            EXPECT_EQ(types, SuffixUtils::categoryTypes(SuffixUtils::Category(c.category))) << c.radio;
            // A choice's finds are listed in its own table.
            for (const QString &t : types) EXPECT_EQ(categoryIndexForSuffix(t), c.category) << qPrintable(t);
        }
        for (const QString &t : types) {
            EXPECT_TRUE(ScanGroups::findable(t)) << qPrintable(t) << " is scanned for but never reported";
            reachable.insert(t);
        }
    }
    for (const QString &t : all) {
        EXPECT_TRUE(reachable.contains(t)) << qPrintable(t) << " is reachable from no choice";
        // The window lists a type where the carver's summary counts it,
        // whatever the case of its suffix; every sound is audio and video.
        const int k = categoryIndexForSuffix(t);
        EXPECT_EQ(k, int(SuffixUtils::categoryOf(t))) << qPrintable(t);
        EXPECT_EQ(categoryIndexForSuffix(t.toUpper()), k) << qPrintable(t);
        if (SuffixUtils::isAudioSuffix(t) || SuffixUtils::isVideoSuffix(t)) EXPECT_EQ(k, 2) << qPrintable(t);
    }
}

TEST(DrivePage, TheChosenPartitionIsTheHighlightedOneHoweverTheHighlightMoved) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QStringList images;
    for (const char *name : {"first.img", "second.img", "third.img"}) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(64 * 1024, '\0'));
        images << f.fileName();
    }
    Session s(images);
    MainWindow *w = s.w();
    auto *drives = child<QTreeView>(w, "driveTreeView");
    clickCell(drives, driveRow(w, QStringLiteral("first.img")), 0);
    // End highlights the last row, which is the third image.
    QTest::keyClick(drives, Qt::Key_End);
    click(w, "nextBtn");
    click(w, "scanBtn");
    ASSERT_NE(w->session()->device(), nullptr);
    EXPECT_EQ(w->session()->device()->getRDevFile(), images.last());
    ASSERT_TRUE(s.waitEnded());
    // Up moves it again.
    click(w, "backBtn");
    click(w, "backBtn");
    QTest::keyClick(drives, Qt::Key_Up);
    click(w, "nextBtn");
    click(w, "scanBtn");
    ASSERT_NE(w->session()->device(), nullptr);
    EXPECT_EQ(w->session()->device()->getRDevFile(), images.at(1));
    ASSERT_TRUE(s.waitEnded());
}

TEST(PageFlow, LeftDragMovesTheWindowAndOtherButtonsDoNot) {
    Session s{QStringList()};
    MainWindow *w = s.w();
    w->move(100, 100);
    QApplication::processEvents();
    const QPoint before = w->pos();
    auto send = [w](QEvent::Type type, QPoint local, Qt::MouseButton button) {
        QMouseEvent e(type, local, w->mapToGlobal(local), button, button == Qt::NoButton ? Qt::LeftButton : button,
                      Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    };
    send(QEvent::MouseButtonPress, QPoint(400, 570), Qt::RightButton);
    send(QEvent::MouseMove, QPoint(450, 590), Qt::NoButton);
    EXPECT_EQ(w->pos(), before);
    send(QEvent::MouseButtonRelease, QPoint(450, 590), Qt::RightButton);

    send(QEvent::MouseButtonPress, QPoint(400, 570), Qt::LeftButton);
    const QPoint global = w->mapToGlobal(QPoint(430, 580));
    QMouseEvent move(QEvent::MouseMove, QPoint(430, 580), global, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
    EXPECT_EQ(w->pos(), global - QPoint(400, 570));
    send(QEvent::MouseButtonRelease, QPoint(430, 580), Qt::LeftButton);
    const QPoint after = w->pos();
    send(QEvent::MouseMove, QPoint(10, 10), Qt::NoButton);
    EXPECT_EQ(w->pos(), after);

    // The maximise buttons do nothing.
    click(w, "windowsMaxBtn");
    EXPECT_FALSE(w->isMaximized());
    EXPECT_EQ(w->size(), QSize(900, 600));
}

TEST(DrivePage, WhatTheCommandLineNamesIsListedSaidOrMarkedAndLikeNamedRowsSayTheirPath) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("no-such.img"));
    const QString folder = dir.filePath(QStringLiteral("a-folder"));
    ASSERT_TRUE(QDir().mkpath(folder));
    QStringList same;
    for (const char *sub : {"a", "b"}) {
        ASSERT_TRUE(QDir(dir.path()).mkdir(QString::fromLatin1(sub)));
        QFile f(dir.filePath(QString::fromLatin1(sub) + QStringLiteral("/same.img")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(64 * 1024, '\0'));
        same << f.fileName();
    }
    const QString empty = dir.filePath(QStringLiteral("empty.img"));
    {
        QFile f(empty);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    Session s({missing, folder, empty, same.at(0), same.at(1)});
    MainWindow *w = s.w();
    // What cannot be listed is said as the window opens, in one message.
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    ASSERT_EQ(s.prompts.messages.size(), 1);
    const QString said = s.prompts.messages.first();
    EXPECT_TRUE(said.contains(missing) && said.contains(QStringLiteral("找不到"))) << said.toStdString();
    EXPECT_TRUE(said.contains(folder) && said.contains(QStringLiteral("文件夹"))) << said.toStdString();
    EXPECT_FALSE(said.contains(empty) || said.contains(same.at(0))) << said.toStdString();
    EXPECT_LT(driveRow(w, QStringLiteral("no-such.img")), 0);
    EXPECT_LT(driveRow(w, QStringLiteral("a-folder")), 0);

    // The empty file is listed, marked, chosen as the first image named,
    // and goes no further.
    auto *drives = child<QTreeView>(w, "driveTreeView");
    const int emptyRow = driveRow(w, QStringLiteral("empty.img"));
    ASSERT_GE(emptyRow, 0);
    EXPECT_EQ(drives->currentIndex().row(), emptyRow);
    EXPECT_TRUE(drives->model()->index(emptyRow, 0).data().toString().contains(QStringLiteral("空文件")));
    EXPECT_EQ(drives->model()->index(emptyRow, 1).data().toString(), QStringLiteral("0 B"));
    click(w, "nextBtn");
    EXPECT_EQ(page(w), 0);
    EXPECT_EQ(s.prompts.messages.last(), QStringLiteral("所选分区或映像是空的（0 字节），没有可扫描的内容。"));

    // Two rows that would read alike say which file each is.
    const int first = driveRow(w, QStringLiteral("same.img"));
    ASSERT_GE(first, 0);
    const QString a = drives->model()->index(first, 0).data().toString();
    const QString b = drives->model()->index(first + 1, 0).data().toString();
    EXPECT_TRUE(a.endsWith(same.at(0))) << a.toStdString();
    EXPECT_TRUE(b.endsWith(same.at(1))) << b.toStdString();
    EXPECT_EQ(drives->model()->index(first, 1).data().toString(), QStringLiteral("65.5 kB"));
}

TEST(DrivePage, AnImageWithAPartitionTableHasARowPerPartitionAndItsRowScansThatPartition) {
    const DemoCard &card = DemoCard::get();
    ASSERT_TRUE(card.ok());
    Session s({card.image});
    MainWindow *w = s.w();
    auto *drives = child<QTreeView>(w, "driveTreeView");
    const int whole = driveRow(w, QStringLiteral("demo-card.img"));
    ASSERT_GE(whole, 0);
    EXPECT_EQ(drives->currentIndex().row(), whole);
    QAbstractItemModel *m = drives->model();
    ASSERT_GE(m->rowCount(), whole + 3);
    EXPECT_EQ(m->index(whole + 1, 0).data().toString(), QStringLiteral("demo-card.img · 1 · LMRDEMO (FAT32) · 41.9 MB"));
    EXPECT_EQ(m->index(whole + 1, 1).data().toString(), QStringLiteral("41.9 MB"));
    EXPECT_TRUE(m->index(whole + 2, 0).data().toString().startsWith(QStringLiteral("demo-card.img · 5 · ")));

    // The first partition, by keyboard: its finds, and only its finds.
    QTest::keyClick(drives, Qt::Key_Down);
    click(w, "nextBtn");
    click(w, "scanBtn");
    ASSERT_NE(w->session()->device(), nullptr);
    EXPECT_EQ(w->session()->device()->getRDevFile(), card.image);
    EXPECT_EQ(DiskPartitions::scanPartition(), 1);
    ASSERT_TRUE(s.waitEnded());
    ASSERT_GE(s.totalRows(), DemoVolume::get().deleted.size());
    for (int k = 0; k < 5; ++k) {
        for (FileRecoveredInfo *find : *w->category(k)->getInfos()) {
            EXPECT_GE(find->getOffset(), card.partitionStart) << find->getName().toStdString();
            EXPECT_LE(find->getOffset() + find->getLen(), card.partitionStart + card.partitionSize)
                << find->getName().toStdString();
        }
    }
    // The whole image again scans every partition.
    click(w, "backBtn");
    click(w, "backBtn");
    QTest::keyClick(drives, Qt::Key_Up);
    click(w, "nextBtn");
    click(w, "scanBtn");
    EXPECT_EQ(DiskPartitions::scanPartition(), 0);
    ASSERT_TRUE(s.waitEnded());
    EXPECT_TRUE(s.prompts.messages.isEmpty()) << s.prompts.messages.join(QLatin1Char('\n')).toStdString();
}
