// The results page: the category list, one table per category over a model
// of its rows, the rows' thumbnails (made for the rows on screen), their
// tick marks and a tick-all box in each table's tick-mark header.
#pragma once

#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QPixmap>

class FileRecoveredInfo;
class LMTableWidget;
class QLabel;
class QStackedWidget;
class QStandardItemModel;
class QTreeView;
class RecoveryCategory;
class ResultTableModel;
class ThumbnailCache;

class ResultViews : public QObject {
    Q_OBJECT
public:
    // The tables in category order (pictures, documents, audio and video,
    // archives, other); the widgets belong to the window's form.
    ResultViews(QWidget *window, QTreeView *tree, QStackedWidget *stack, const QList<LMTableWidget *> &tables,
                QLabel *countLabel);
    // Deletes every record.
    ~ResultViews() override;

    // Lists finds (which the views then own), each category's in one batch;
    // the counts follow.
    void list(const QList<FileRecoveredInfo *> &finds);
    // Empties every table and deletes the records.
    void clear();
    int count() const { return found; }

    RecoveryCategory *category(int index) const;
    RecoveryCategory *currentCategory() const;
    ResultTableModel *model(int index) const;
    // The ticked records of every category, category by category in row
    // order.
    QList<FileRecoveredInfo *> checkedRecords() const;
    // Ticks (or unticks) every row of category `index`.
    void checkAll(int index, bool on);
    // Thumbnails asked for by the rows on screen and not shown yet.
    int thumbnailsPending() const;
    ThumbnailCache *thumbnails() const { return thumbs; }

private:
    void setupTree();
    void fitTree(QWidget *window);
    void setupTable(int index);
    void showCounts();
    void onClicked(QModelIndex index, int categoryIndex);

    QWidget *window;
    QTreeView *tree;
    QStackedWidget *stack;
    QLabel *countLabel;
    QList<RecoveryCategory *> categories;
    QList<ResultTableModel *> models;
    QStandardItemModel *treeModel = nullptr;
    ThumbnailCache *thumbs = nullptr;
    int found = 0;
    QPixmap checkedPixmap;
    QPixmap uncheckedPixmap;
};
