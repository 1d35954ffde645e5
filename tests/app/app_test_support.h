// Helpers of the desktop program's tests: a window built as the program
// builds it, answers in place of a person, clicks on cells, and the demo
// volume (FAT32 with deleted samples) made by the real tools.
#pragma once

#include "qt_test_support.h"

#include <gtest/gtest.h>

#include "lmtablewidget.h"
#include "mainwindow.h"
#include "recoverycategory.h"
#include "windowprompts.h"

#include "recovery/device.h"
#include "recovery/devicelist.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"
#include "recovery/scansession.h"
#include "recovery/suffixutils.h"

#include <QAbstractItemView>
#include <QIcon>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include <cstdlib>
#include <memory>
#include <string>

namespace apptest {

// Records what the window said and answers its questions.
struct FakePrompts : WindowPrompts {
    QStringList messages;
    QStringList questions;
    QString folder;          // the folder "chosen"; null: the dialog is cancelled
    bool answer = false;     // to every yes/no question
    QList<QUrl> opened;
    int folderAsked = 0;
    QString folderStart;     // where the last folder dialog opened

    void message(const QString &text) override { messages << text; }
    bool confirm(QWidget *, const QString &text) override {
        questions << text;
        return answer;
    }
    QString chooseFolder(QWidget *, const QString &, const QString &start) override {
        ++folderAsked;
        folderStart = start;
        return folder;
    }
    void openFolder(const QUrl &url) override { opened << url; }
};

template <typename T>
T *child(QWidget *w, const char *name) {
    T *c = w->findChild<T *>(QString::fromLatin1(name));
    if (!c) ADD_FAILURE() << "no widget " << name;
    return c;
}

inline void click(QWidget *w, const char *button) { QTest::mouseClick(child<QPushButton>(w, button), Qt::LeftButton); }

inline bool shown(QWidget *w, const char *name) {
    QWidget *c = child<QWidget>(w, name);
    return c && !c->isHidden();
}

// A click (or double click) on a cell of an item view, as the mouse does it.
inline void clickCell(QAbstractItemView *view, int row, int column, bool twice = false) {
    const QModelIndex index = view->model()->index(row, column);
    view->scrollTo(index);
    const QPoint at = view->visualRect(index).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    if (twice) QTest::mouseDClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

// What a result table shows in a cell, and in a header section.
inline QVariant cellData(QAbstractItemView *view, int row, int column, int role = Qt::DisplayRole) {
    return view->model()->index(row, column).data(role);
}
inline QString cellText(QAbstractItemView *view, int row, int column) { return cellData(view, row, column).toString(); }
inline QString headerText(QAbstractItemView *view, int section) {
    return view->model()->headerData(section, Qt::Horizontal).toString();
}

// The thumbnail a result row shows once it is made: thumbnails are made for
// the rows on screen, so the row is scrolled into view first.
inline QIcon thumbnailOf(MainWindow *w, QAbstractItemView *view, int row) {
    const QModelIndex cell = view->model()->index(row, 1);
    view->scrollTo(cell);
    cell.data(Qt::DecorationRole);
    lmrtest::pumpUntil([w] { return w->thumbnailsPending() == 0; }, 20000);
    return cell.data(Qt::DecorationRole).value<QIcon>();
}

// The row of the drive list whose name starts with `name` (an image is
// named by its file name, then what it holds), or -1.
inline int driveRow(QWidget *w, const QString &name) {
    auto *view = child<QTreeView>(w, "driveTreeView");
    for (int r = 0; r < view->model()->rowCount(); ++r)
        if (view->model()->index(r, 0).data().toString().startsWith(name)) return r;
    return -1;
}

// The demo volume, made once per test program in a temporary folder.
struct DemoVolume {
    static const DemoVolume &get() {
        static DemoVolume v;
        return v;
    }
    static QString samples() { return QStringLiteral(LUMAREK_SOURCE_DIR "/scripts/demo-samples"); }
    bool ok() const { return !deleted.isEmpty(); }

private:
    lmrtest::TempDir tmp_{"lmr-app-volume"};

public:
    QString dir = QString::fromStdString(tmp_.path());
    QString image;
    QStringList deleted;  // names of the deleted samples

private:
    DemoVolume() {
        if (dir.isEmpty()) return;
        image = QString::fromStdString(tmp_.at("demo-fat32.img"));
        const std::string list = tmp_.at("deleted.txt");
        QFile f(QString::fromStdString(list));
        if (lmrtest::make_demo_volume(image.toStdString(), list) && f.open(QIODevice::ReadOnly))
            deleted = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
};

// The demo volume as the first partition of a whole-card image with an MBR
// (an unformatted partition 5 after it), made once per test program.
struct DemoCard {
    QString image;
    qint64 partitionStart = 0;  // of partition 1, in bytes
    qint64 partitionSize = 0;

    static const DemoCard &get() {
        static DemoCard c;
        return c;
    }
    bool ok() const { return partitionStart > 0; }

private:
    DemoCard() {
        const DemoVolume &v = DemoVolume::get();
        if (!v.ok()) return;
        image = v.dir + QStringLiteral("/demo-card.img");
        int status = 0;
        const std::string table = lmrtest::run("'" LUMAREK_SOURCE_DIR "/tests/fixtures/make_disk.sh' mbr '" +
                                                   image.toStdString() + "' '" + v.image.toStdString() + "'",
                                               &status);
        // "1 START SIZE PATH" for the demo volume's partition.
        const QStringList first = QString::fromStdString(table).section(QLatin1Char('\n'), 0, 0).split(QLatin1Char(' '));
        if (status != 0 || first.size() < 3 || first.at(0) != QLatin1String("1")) return;
        partitionStart = first.at(1).toLongLong();
        partitionSize = first.at(2).toLongLong();
    }
};

// A window on the demo volume, with fake prompts.
struct Session {
    FakePrompts prompts;
    std::unique_ptr<MainWindow> window;

    Session() : Session(QStringList{DemoVolume::get().image}) {}
    explicit Session(const QStringList &images) {
        window.reset(new MainWindow(nullptr, images));
        window->setPrompts(&prompts);
        window->show();
        // The system's partitions are listed once the disk service has
        // answered, as a person would see them come in.
        lmrtest::pumpUntil([] { return DeviceList::listsWaiting() == 0; }, 10000);
    }
    ~Session() { close(); }
    void close() {
        window.reset();
        // Threads of the window delete themselves through the event loop.
        lmrtest::pumpUntil([] { return false; }, 50);
    }
    MainWindow *w() const { return window.get(); }

    // From the drive page to a running scan of `radio` on the image.
    void startScan(const char *radio = "radioAll") {
        const int row = driveRow(w(), QFileInfo(DemoVolume::get().image).fileName());
        if (row < 0) { ADD_FAILURE() << "the demo volume is not listed"; return; }
        clickCell(child<QTreeView>(w(), "driveTreeView"), row, 0);
        click(w(), "nextBtn");
        QTest::mouseClick(child<QRadioButton>(w(), radio), Qt::LeftButton, Qt::NoModifier, QPoint(5, 10));
        click(w(), "scanBtn");
    }
    // The scan has ended and every find it made is listed: the validation
    // threads are gone and the window has nothing left to list.
    bool waitEnded(int msecs = 60000) {
        return lmrtest::pumpUntil(
            [this] {
                return shown(w(), "startBtn") && w()->liveScans() == 0 && FileValidationThread::liveCount() == 0 &&
                       w()->findsPending() == 0;
            },
            msecs);
    }
    // Presses 恢复到... and waits until the export it started (if any) has
    // ended and said so.
    void save() {
        click(w(), "exportBtn");
        lmrtest::pumpUntil([this] { return !w()->session()->exporting(); }, 60000);
    }
    int rows(int category) const { return w()->category(category)->getTable()->model()->rowCount(); }
    int totalRows() const {
        int n = 0;
        for (int k = 0; k < 5; ++k) n += rows(k);
        return n;
    }
};

}  // namespace apptest
