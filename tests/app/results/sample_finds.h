// Finds fed to a window without a scan: sample pictures and documents laid
// out at known offsets in one volume file, and records over them built and
// completed as the validation thread builds them.
#pragma once

#include "app_test_support.h"

#include "previewdialog.h"

#include <QFile>
#include <QImage>
#include <QItemSelectionModel>
#include <QTemporaryDir>
#include <QVector>

namespace apptest {

struct Sample {
    QString source;     // a file of tests/data, or empty for `bytes` as given
    QByteArray bytes;
    const char *suffix;
    qint64 offset = 0;  // in the volume
};

inline Sample sampleFile(const char *relative, const char *suffix) {
    Sample s{QStringLiteral(LUMAREK_TEST_DATA "/") + QString::fromLatin1(relative), QByteArray(), suffix};
    QFile f(s.source);
    if (f.open(QIODevice::ReadOnly)) s.bytes = f.readAll();
    if (s.bytes.isEmpty()) ADD_FAILURE() << "no sample " << relative;
    return s;
}

// Bytes that no decoder takes for a picture.
inline Sample sampleJunk(const char *suffix, int size = 3000) {
    QByteArray junk(size, '\0');
    for (int i = 0; i < size; ++i) junk[i] = char((i * 37 + 11) & 0x7f);
    return Sample{QString(), junk, suffix};
}

// The samples, each starting on a 4 KiB boundary after 4 KiB of zeros.
class SampleVolume {
public:
    explicit SampleVolume(QVector<Sample> samples) : pieces(std::move(samples)) {
        file = dir.filePath(QStringLiteral("volume.img"));
        QByteArray image(4096, '\0');
        for (Sample &s : pieces) {
            s.offset = image.size();
            image += s.bytes;
            image += QByteArray(int(4096 - image.size() % 4096), '\0');
        }
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size()) ADD_FAILURE() << "cannot write " << file.toStdString();
    }

    // A completed record of sample `i`, as a scan hands it to the window.
    // `devFile`: the volume path the record names, this file by default.
    FileRecoveredInfo *record(int i, const QString &devFile = QString()) const {
        const Sample &s = pieces.at(i);
        FileRecoveredInfo *r = FileRecoveredInfo::newRecoveredInfo(lmrtest::makeInfo(
            (devFile.isEmpty() ? file : devFile).toStdString(), quint64(s.offset), quint64(s.bytes.size()), s.suffix));
        r->readInfo();
        return r;
    }
    // The same record completed as far as its name needs, as the window's
    // scans complete them: without a thumbnail.
    FileRecoveredInfo *recordNamed(int i) const {
        const Sample &s = pieces.at(i);
        FileRecoveredInfo *r = FileRecoveredInfo::newRecoveredInfo(
            lmrtest::makeInfo(file.toStdString(), quint64(s.offset), quint64(s.bytes.size()), s.suffix));
        r->readName();
        return r;
    }
    const Sample &at(int i) const { return pieces.at(i); }
    QString path() const { return file; }
    QString folder() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QString file;
    QVector<Sample> pieces;
};

// Lists a record in the window (which takes it over) as a scan's find.
inline void feed(MainWindow *w, FileRecoveredInfo *record) { w->listFinds({record}); }

inline LMTableWidget *table(MainWindow *w, int category) { return w->category(category)->getTable(); }

inline QImage pictureOf(const QVariant &decoration) {
    if (decoration.canConvert<QPixmap>()) return decoration.value<QPixmap>().toImage();
    return QImage();
}

// The check mark drawn in column 0 of a row: 1 checked, 0 unchecked, -1
// something else.
inline int checkMark(MainWindow *w, int category, int row) {
    static const QImage checked = QPixmap(QStringLiteral(":/icons/resource/icon_checked.png")).toImage();
    static const QImage unchecked = QPixmap(QStringLiteral(":/icons/resource/icon_unchecked.png")).toImage();
    LMTableWidget *t = table(w, category);
    if (row < 0 || row >= t->model()->rowCount()) return -1;
    const QImage shown = pictureOf(cellData(t, row, 0, Qt::DecorationRole));
    return shown == checked ? 1 : shown == unchecked ? 0 : -1;
}

// The whole row selected (1), none of it (0), or a mixture (-1).
inline int rowSelection(MainWindow *w, int category, int row) {
    LMTableWidget *t = table(w, category);
    int selected = 0;
    const int columns = t->model()->columnCount();
    for (int c = 0; c < columns; ++c)
        if (t->selectionModel()->isSelected(t->model()->index(row, c))) ++selected;
    return selected == 0 ? 0 : selected == columns ? 1 : -1;
}

// A click on a category of the tree on the left, as the mouse does it.
inline void showCategory(MainWindow *w, int category) {
    clickCell(child<QTreeView>(w, "categoryTree"), category, 0);
}

// A click or double click on a cell delivered as the window system delivers
// it: through the window, where a modal dialog blocks it and two clicks in
// quick succession make a double click (press, release, press, double
// click, release).
inline void windowClickCell(QAbstractItemView *view, int row, int column, bool twice = false) {
    const QModelIndex index = view->model()->index(row, column);
    view->scrollTo(index);
    QWidget *top = view->window();
    const QPoint at = view->viewport()->mapTo(top, view->visualRect(index).center());
    if (twice)
        QTest::mouseDClick(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
    else
        QTest::mouseClick(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
}

inline QList<PreviewDialog *> previews(MainWindow *w) { return w->findChildren<PreviewDialog *>(); }

// Closes every preview dialog and lets them go.
inline void closePreviews(MainWindow *w) {
    for (PreviewDialog *d : previews(w)) d->close();
    lmrtest::pumpUntil([] { return false; }, 30);
}

}  // namespace apptest
