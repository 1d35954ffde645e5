#include "resultviews.h"

#include "lmtablewidget.h"
#include "previewdialog.h"
#include "recoverycategory.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QIcon>
#include <algorithm>
#include <QItemSelectionModel>
#include <QLabel>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTableWidgetItem>
#include <QTreeView>

namespace {
const char *const kChecked = ":/icons/resource/icon_checked.png";
const char *const kUnchecked = ":/icons/resource/icon_unchecked.png";

QModelIndex previewCell(const QModelIndex &index) {
    return index.column() == 4 ? index : index.sibling(index.row(), 4);
}
}  // namespace

ResultViews::ResultViews(QWidget *window_, QTreeView *tree_, QStackedWidget *stack_,
                         const QList<LMTableWidget *> &tables, QLabel *countLabel_)
    : QObject(window_), window(window_), tree(tree_), stack(stack_), countLabel(countLabel_) {
    checkedPixmap = QPixmap(QString::fromLatin1(kChecked));
    uncheckedPixmap = QPixmap(QString::fromLatin1(kUnchecked));
    struct Kind {
        const char *name;
        const char *icon;
    };
    static const Kind kinds[] = {
        {QT_TR_NOOP("图片"), ":/icons/resource/icon_category_image.png"},
        {QT_TR_NOOP("文档"), ":/icons/resource/icon_category_document.png"},
        {QT_TR_NOOP("音视频"), ":/icons/resource/icon_category_video.png"},
        {QT_TR_NOOP("压缩包"), ":/icons/resource/icon_category_zip.png"},
        {QT_TR_NOOP("其他"), ":/icons/resource/icon_category_other.png"},
    };
    for (int k = 0; k < 5 && k < tables.size(); ++k) {
        auto *c = new RecoveryCategory();
        c->setName(tr(kinds[k].name));
        c->setIconPath(QString::fromLatin1(kinds[k].icon));
        c->setTable(tables.at(k));
        categories.append(c);
    }
    categories.at(2)->setPreviewIcon(QStringLiteral(":/icons/resource/icon_preview_play.png"));
    setupTree();
    fitTree(window);
    for (int k = 0; k < categories.size(); ++k) setupTable(k);
    connect(tree, &QTreeView::clicked, this, [this](const QModelIndex &index) { stack->setCurrentIndex(index.row()); });
    // After the tables' set-up: they get their icon size there.
    thumbLoader = new LoadThumbThread(tables.first()->iconSize(), this);
    connect(thumbLoader, &LoadThumbThread::thumbsReady, this, &ResultViews::onThumbsReady, Qt::QueuedConnection);
}

ResultViews::~ResultViews() {
    delete thumbLoader;
    thumbLoader = nullptr;
    qDeleteAll(categories);
    categories.clear();
    delete model;
}

void ResultViews::setupTree() {
    model = new QStandardItemModel();
    for (RecoveryCategory *c : categories)
        model->appendRow(new QStandardItem(QIcon(QPixmap(c->getIconPath())), c->getName()));
    model->setHorizontalHeaderLabels({tr("文件分类")});
    tree->setModel(model);
    tree->setIndentation(5);
    tree->setCurrentIndex(model->index(0, 0));
}

void ResultViews::fitTree(QWidget *w) {
    // As wide as a name with a two-digit count needs beside its icon, and no
    // narrower than the form has it: English names are longer than the
    // Chinese ones.
    tree->ensurePolished();
    int widest = 0;
    for (RecoveryCategory *c : categories)
        widest = qMax(widest, tree->fontMetrics().horizontalAdvance(QStringLiteral("%1(99)").arg(c->getName())));
    const int icon = 16 + 6, margins = 2 * 3;
    const int extra = tree->indentation() + icon + widest + margins + 2 * tree->frameWidth() - tree->width();
    if (extra <= 0) return;
    // The results and the scan controls beside the list give up the width.
    tree->resize(tree->width() + extra, tree->height());
    QWidget *controls = w->findChild<QWidget *>(QStringLiteral("controlPanel"));
    for (QWidget *x : {static_cast<QWidget *>(stack), controls})
        if (x) x->setGeometry(x->geometry().adjusted(extra, 0, 0, 0));
    for (RecoveryCategory *c : categories) c->getTable()->resize(c->getTable()->width() - extra, c->getTable()->height());
    if (QWidget *bar = w->findChild<QWidget *>(QStringLiteral("recoveryProgress")))
        bar->resize(bar->width() - extra, bar->height());
    for (const char *name : {"progressLabel", "proceedLabel", "pauseBtn", "resumeBtn", "stopBtn", "startBtn"})
        if (QWidget *x = w->findChild<QWidget *>(QString::fromLatin1(name))) x->move(x->x() - extra, x->y());
}

void ResultViews::setupTable(int k) {
    LMTableWidget *t = categories.at(k)->getTable();
    t->setColumnCount(5);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::MultiSelection);
    t->horizontalHeader()->setDefaultSectionSize(150);
    t->setHorizontalHeaderLabels({tr("选中"),
                                  tr("文件名"),
                                  tr("文件类型"),
                                  tr("文件大小"),
                                  tr("预览")});
    t->horizontalHeader()->setStretchLastSection(true);
    t->verticalHeader()->setDefaultSectionSize(50);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setFixedHeight(30);
    t->setIconSize(QSize(25, 25));
    t->setColumnWidth(0, 40);
    t->setColumnWidth(1, 260);
    t->setColumnWidth(2, 80);
    t->setColumnWidth(3, 120);
    // The check-mark header is a tick-all box: a click ticks every row of
    // the table, or unticks them all when all are ticked.
    t->horizontalHeader()->setSectionsClickable(true);
    t->horizontalHeaderItem(0)->setToolTip(tr("选中或取消选中全部文件"));
    connect(t->horizontalHeader(), &QHeaderView::sectionClicked, this, [this, k, t](int section) {
        if (section != 0) return;
        checkAll(k, t->selectionModel()->selectedRows(0).size() < t->rowCount() || t->rowCount() == 0);
    });
    showHeaderBox(k);
    // The check mark shows the row's selection, which is what an export
    // takes, however the selection changed: a click, a drag over rows,
    // select-all or the space bar.
    connect(t->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this, t, k](const QItemSelection &selected, const QItemSelection &deselected) {
                for (const QItemSelection &changed : {selected, deselected})
                    for (const QItemSelectionRange &range : changed)
                        for (int row = range.top(); row <= range.bottom(); ++row)
                            if (QTableWidgetItem *item0 = t->item(row, 0))
                                item0->setData(Qt::DecorationRole,
                                               item0->isSelected() ? checkedPixmap : uncheckedPixmap);
                showHeaderBox(k);
            });
    connect(t, &QAbstractItemView::clicked, this, [this, k](const QModelIndex &index) { onClicked(index, k); });
    connect(t, &QAbstractItemView::doubleClicked, this,
            [this, k](const QModelIndex &index) { onClicked(previewCell(index), k); });
}

void ResultViews::showHeaderBox(int k) {
    LMTableWidget *t = categories.at(k)->getTable();
    QTableWidgetItem *head = t->horizontalHeaderItem(0);
    if (!head) return;
    const bool all = t->rowCount() > 0 && t->selectionModel()->selectedRows(0).size() == t->rowCount();
    head->setData(Qt::DecorationRole, all ? checkedPixmap : uncheckedPixmap);
}

void ResultViews::checkAll(int k, bool on) {
    RecoveryCategory *c = category(k);
    if (!c) return;
    LMTableWidget *t = c->getTable();
    if (on)
        t->selectAll();
    else
        t->clearSelection();
    showHeaderBox(k);
}

RecoveryCategory *ResultViews::category(int index) const {
    return index >= 0 && index < categories.size() ? categories.at(index) : nullptr;
}

RecoveryCategory *ResultViews::currentCategory() const { return category(stack->currentIndex()); }

QList<FileRecoveredInfo *> ResultViews::checkedRecords() const {
    QList<FileRecoveredInfo *> out;
    for (RecoveryCategory *c : categories) {
        QList<int> rows;
        for (const QModelIndex &i : c->getTable()->selectionModel()->selectedRows(0)) rows << i.row();
        std::sort(rows.begin(), rows.end());
        for (int r : rows)
            if (r >= 0 && r < c->getInfos()->size()) out << c->getInfos()->at(r);
    }
    return out;
}

void ResultViews::clear() {
    // Thumbnails still being made belong to the rows about to go.
    ++generation;
    thumbLoader->clear();
    thumbsAwaited = 0;
    found = 0;
    for (int i = 0; i < categories.size(); ++i) {
        RecoveryCategory *c = categories.at(i);
        c->getTable()->setRowCount(0);
        c->clear();
        model->item(i)->setText(c->getName());
        showHeaderBox(i);
    }
    countLabel->setText(tr("已扫描到%n个文件", nullptr, 0));
}

void ResultViews::list(const QList<FileRecoveredInfo *> &finds) {
    if (finds.isEmpty()) return;
    for (FileRecoveredInfo *info : finds) listOne(info);
    showCounts();
}

void ResultViews::listOne(FileRecoveredInfo *info) {
    const int k = categoryIndexForSuffix(info->getSuffix());
    RecoveryCategory *c = categories.at(k);
    c->getInfos()->append(info);
    LMTableWidget *table = c->getTable();
    const int r = table->rowCount();
    table->insertRow(r);

    auto *check = new QTableWidgetItem();
    check->setData(Qt::DecorationRole, uncheckedPixmap);
    table->setItem(r, 0, check);
    table->setItem(r, 1, new QTableWidgetItem(info->getName()));
    auto *type = new QTableWidgetItem(info->getSuffix());
    type->setTextAlignment(Qt::AlignCenter);
    table->setItem(r, 2, type);
    auto *size = new QTableWidgetItem(Utils::formatSize(info->getLen()));
    size->setTextAlignment(Qt::AlignCenter);
    table->setItem(r, 3, size);
    // The preview picture is the cell's decoration, centred by the table: a
    // label widget per row does not scale to the thousands of rows a memory
    // card gives.
    auto *preview = new QTableWidgetItem();
    preview->setData(Qt::DecorationRole, QPixmap(c->getPreviewIcon()));
    preview->setFlags(preview->flags() & ~Qt::ItemIsEditable);
    table->setItem(r, 4, preview);

    if (k == 0 && info->hasThumb()) {
        ThumbJob job;
        job.generation = generation;
        job.category = k;
        job.row = r;
        job.image = info->readyThumbImage();
        if (!job.image.isNull()) {
            ++thumbsAwaited;
            thumbLoader->add(job);
            // The row needs nothing but the icon the worker makes from the
            // job's copy.  The record would hold its 100 px thumbnail for as
            // long as the results are shown, some 40 KB a picture; handed to
            // the pixmap cache, which is bounded, the record lets it go.
            info->getThumb();
        }
    }
    ++found;
}

void ResultViews::showCounts() {
    for (int k = 0; k < categories.size(); ++k) {
        RecoveryCategory *c = categories.at(k);
        const int rows = c->getTable()->rowCount();
        const QString text = rows ? QStringLiteral("%1(%2)").arg(c->getName()).arg(rows) : c->getName();
        if (model->item(k)->text() != text) model->item(k)->setText(text);
        showHeaderBox(k);
    }
    countLabel->setText(tr("已扫描到%n个文件", nullptr, found));
}

void ResultViews::onThumbsReady(const QVector<ThumbJob> &done) {
    for (const ThumbJob &job : done) {
        if (job.generation != generation) continue;
        --thumbsAwaited;
        RecoveryCategory *c = category(job.category);
        if (!c || job.row >= c->getTable()->rowCount()) continue;
        QTableWidgetItem *item = c->getTable()->item(job.row, 1);
        if (item) item->setData(Qt::DecorationRole, QIcon(QPixmap::fromImage(job.image)));
    }
}

void ResultViews::onClicked(QModelIndex index, int categoryIndex) {
    RecoveryCategory *c = category(categoryIndex);
    if (!c || !index.isValid()) return;
    LMTableWidget *table = c->getTable();
    QTableWidgetItem *item0 = table->item(index.row(), 0);
    if (!item0) return;
    if (index.column() == 4 && index.row() < c->getInfos()->size()) {
        auto *dialog = new PreviewDialog(window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setModal(true);
        dialog->show();
        dialog->loadImage(c->getInfos()->at(index.row()));
        // The click toggled the row; a preview leaves the check mark as it was.
        item0->setSelected(!item0->isSelected());
        const QItemSelectionModel::SelectionFlags s =
            item0->isSelected() ? QItemSelectionModel::Select : QItemSelectionModel::Deselect;
        for (int col = 0; col < 5; ++col)
            table->selectionModel()->select(col == index.column() ? index : index.sibling(index.row(), col), s);
    }
    item0->setData(Qt::DecorationRole, item0->isSelected() ? checkedPixmap : uncheckedPixmap);
}
