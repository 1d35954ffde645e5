// The window's pages: which page follows which event, the status-panel
// buttons on each page, the partition choice, the file groups, dragging.
#include "app_test_support.h"

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

    // Next without a partition: the message, and no page change.
    click(w, "nextBtn");
    EXPECT_EQ(page(w), 0);
    ASSERT_EQ(s.prompts.messages, QStringList{QStringLiteral("请先选择要恢复的分区！")});

    // The image is listed after the system's partitions, by its file name
    // and size; a click on either column chooses it.
    const int row = driveRow(w, QStringLiteral("demo-fat32.img"));
    ASSERT_GE(row, 0);
    auto *drives = child<QTreeView>(w, "driveTreeView");
    EXPECT_EQ(drives->model()->index(row, 1).data().toString(), QStringLiteral("40.00MB"));
    EXPECT_EQ(drives->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("分区名称"));
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
    EXPECT_EQ(w->runningScan(), nullptr);
    EXPECT_EQ(DeviceManager::getCurrentDevice(), nullptr);
    EXPECT_TRUE(shown(w, "startBtn"));
    EXPECT_FALSE(shown(w, "stopBtn"));
    EXPECT_TRUE(lmrtest::pumpUntil([w] { return w->liveScans() == 0; }, 30000));
}

TEST(PageFlow, EachRadioButtonGivesItsGroup) {
    Session s{QStringList()};
    MainWindow *w = s.w();
    const struct {
        const char *radio;
        const char *group;
    } cases[] = {
        {"radioDocument", "docx,pptx,xlsx,doc,ppt,xls,pdf"},
        {"radioImage", "jpg,png,gif"},
        {"radioZip", "zip,rar,gzip"},
        {"radioMedia", "mp4,avi,mov,3gp,mp3,amr,wav"},
        {"radioAll", "jpg,png,gif,docx,pptx,xlsx,doc,ppt,xls,pdf,mp4,avi,mov,3gp,mp3,amr,wav,apk,exe,zip,rar,gzip"},
    };
    for (const auto &c : cases) {
        child<QRadioButton>(w, c.radio)->setChecked(true);
        EXPECT_EQ(w->selectedGroups(), QStringList{QString::fromLatin1(c.group)}) << c.radio;
    }
    // The window's groups are the library's.
    EXPECT_EQ(w->selectedGroups().first(), ALL_SUFFIXES);
    EXPECT_EQ(w->selectedGroups().first().split(QLatin1Char(',')).size(), 22);
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
