// The results page: the category list, one table per category, the rows of
// the finds with their thumbnails, their check marks (the rows' selection)
// and a tick-all box in each table's check-mark header.
#pragma once

#include "loadthumbthread.h"

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

class ResultViews : public QObject {
    Q_OBJECT
public:
    // The tables in category order (pictures, documents, audio and video,
    // archives, other); the widgets belong to the window's form.
    ResultViews(QWidget *window, QTreeView *tree, QStackedWidget *stack, const QList<LMTableWidget *> &tables,
                QLabel *countLabel);
    // Deletes every record.
    ~ResultViews() override;

    // Lists finds (which the views then own); the counts follow.
    void list(const QList<FileRecoveredInfo *> &finds);
    // Empties every table and deletes the records.
    void clear();
    int count() const { return found; }

    RecoveryCategory *category(int index) const;
    RecoveryCategory *currentCategory() const;
    // The ticked records of every category, category by category in row
    // order.
    QList<FileRecoveredInfo *> checkedRecords() const;
    // Ticks (or unticks) every row of category `index`.
    void checkAll(int index, bool on);
    int thumbnailsPending() const { return thumbsAwaited; }

private:
    void setupTree();
    void fitTree(QWidget *window);
    void setupTable(int index);
    void listOne(FileRecoveredInfo *info);
    void showCounts();
    void showHeaderBox(int index);
    void onClicked(QModelIndex index, int categoryIndex);
    void onThumbsReady(const QVector<ThumbJob> &done);

    QWidget *window;
    QTreeView *tree;
    QStackedWidget *stack;
    QLabel *countLabel;
    QList<RecoveryCategory *> categories;
    QStandardItemModel *model = nullptr;
    LoadThumbThread *thumbLoader = nullptr;
    quint64 generation = 0;  // of the rows shown; clear() raises it
    int thumbsAwaited = 0;
    int found = 0;
    QPixmap checkedPixmap;
    QPixmap uncheckedPixmap;
};
