#include "resultviews.h"

#include "lmtablewidget.h"
#include "previewdialog.h"
#include "recoverycategory.h"
#include "resulttablemodel.h"
#include "thumbnailcache.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTreeView>

namespace {
const char *const kChecked = ":/icons/resource/icon_checked.png";
const char *const kUnchecked = ":/icons/resource/icon_unchecked.png";

QModelIndex previewCell(const QModelIndex &index) {
    return index.column() == ResultTableModel::PreviewColumn
               ? index
               : index.sibling(index.row(), ResultTableModel::PreviewColumn);
}

// The width a header section needs to show its tick-all box and its whole
// text, as the header's style (and the window's style sheet) draws them.
int sectionWidthFor(QHeaderView *header, int section) {
    header->ensurePolished();
    QStyleOptionHeader opt;
    opt.initFrom(header);
    opt.section = section;
    opt.orientation = Qt::Horizontal;
    opt.text = header->model()->headerData(section, Qt::Horizontal, Qt::DisplayRole).toString();
    const QVariant decoration = header->model()->headerData(section, Qt::Horizontal, Qt::DecorationRole);
    opt.icon = decoration.canConvert<QPixmap>() ? QIcon(decoration.value<QPixmap>()) : decoration.value<QIcon>();
    int width = header->style()->sizeFromContents(QStyle::CT_HeaderSection, &opt, QSize(), header).width();
    // The header draws the section in bold while every row is ticked.
    QFont bold = header->font();
    bold.setBold(true);
    opt.fontMetrics = QFontMetrics(bold);
    return qMax(width, header->style()->sizeFromContents(QStyle::CT_HeaderSection, &opt, QSize(), header).width());
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
    thumbs = new ThumbnailCache(QSize(25, 25), this);
    for (int k = 0; k < categories.size(); ++k) setupTable(k);
    connect(thumbs, &ThumbnailCache::arrived, this, [this](int k, int row) {
        if (ResultTableModel *m = model(k)) m->thumbnailArrived(row);
    });
    connect(tree, &QTreeView::clicked, this, [this](const QModelIndex &index) { stack->setCurrentIndex(index.row()); });
}

ResultViews::~ResultViews() {
    // The worker ends before the records it may still be reading go.
    delete thumbs;
    thumbs = nullptr;
    for (RecoveryCategory *c : categories) c->getTable()->setModel(nullptr);
    qDeleteAll(models);
    models.clear();
    qDeleteAll(categories);
    categories.clear();
    delete treeModel;
}

void ResultViews::setupTree() {
    treeModel = new QStandardItemModel();
    for (RecoveryCategory *c : categories)
        treeModel->appendRow(new QStandardItem(QIcon(QPixmap(c->getIconPath())), c->getName()));
    treeModel->setHorizontalHeaderLabels({tr("文件分类")});
    tree->setModel(treeModel);
    tree->setIndentation(5);
    tree->setCurrentIndex(treeModel->index(0, 0));
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
    RecoveryCategory *c = categories.at(k);
    LMTableWidget *t = c->getTable();
    auto *m = new ResultTableModel(c->getInfos());
    models.append(m);
    m->setHeaderLabels({tr("选中"), tr("文件名"), tr("文件类型"), tr("文件大小"), tr("预览")});
    // The check-mark header is a tick-all box: a click ticks every row of
    // the table, or unticks them all when all are ticked.
    m->setCheckToolTip(tr("选中或取消选中全部文件"));
    m->setPictures(checkedPixmap, uncheckedPixmap, QPixmap(c->getPreviewIcon()));
    if (k == SuffixUtils::Pictures) m->setThumbnails(thumbs, k);
    t->setModel(m);

    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::MultiSelection);
    t->setWordWrap(false);
    QHeaderView *h = t->horizontalHeader();
    h->setDefaultSectionSize(150);
    h->setStretchLastSection(true);
    t->verticalHeader()->setDefaultSectionSize(50);
    // Every row is as high as the others: nothing measures 100,000 rows.
    t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    t->verticalHeader()->hide();
    h->setFixedHeight(30);
    t->setIconSize(QSize(25, 25));
    // The tick-all box and the whole of its text, in either language.
    t->setColumnWidth(0, qMax(40, sectionWidthFor(h, 0)));
    t->setColumnWidth(1, 260);
    t->setColumnWidth(2, 80);
    t->setColumnWidth(3, 120);
    h->setSectionsClickable(true);
    connect(h, &QHeaderView::sectionClicked, this, [this, k](int section) {
        if (section == ResultTableModel::CheckColumn) checkAll(k, !model(k)->allTicked());
    });
    // The tick is the row's selection, however the selection changed: a
    // click, a drag over rows, select-all or the space bar.
    connect(t->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [m](const QItemSelection &selected, const QItemSelection &deselected) {
                for (const QItemSelectionRange &range : deselected) m->setTicked(range.top(), range.bottom(), false);
                for (const QItemSelectionRange &range : selected) m->setTicked(range.top(), range.bottom(), true);
            });
    connect(t, &QAbstractItemView::clicked, this, [this, k](const QModelIndex &index) { onClicked(index, k); });
    connect(t, &QAbstractItemView::doubleClicked, this,
            [this, k](const QModelIndex &index) { onClicked(previewCell(index), k); });
}

void ResultViews::checkAll(int k, bool on) {
    RecoveryCategory *c = category(k);
    if (!c) return;
    LMTableWidget *t = c->getTable();
    if (on)
        t->selectAll();
    else
        t->clearSelection();
}

RecoveryCategory *ResultViews::category(int index) const {
    return index >= 0 && index < categories.size() ? categories.at(index) : nullptr;
}

ResultTableModel *ResultViews::model(int index) const {
    return index >= 0 && index < models.size() ? models.at(index) : nullptr;
}

RecoveryCategory *ResultViews::currentCategory() const { return category(stack->currentIndex()); }

QList<FileRecoveredInfo *> ResultViews::checkedRecords() const {
    QList<FileRecoveredInfo *> out;
    for (ResultTableModel *m : models) out += m->tickedRecords();
    return out;
}

int ResultViews::thumbnailsPending() const { return thumbs->pending(); }

void ResultViews::clear() {
    // Thumbnails still being made belong to the rows about to go.
    thumbs->clear();
    found = 0;
    for (int i = 0; i < models.size(); ++i) {
        models.at(i)->clear();
        treeModel->item(i)->setText(categories.at(i)->getName());
    }
    countLabel->setText(tr("已扫描到%n个文件", nullptr, 0));
}

void ResultViews::list(const QList<FileRecoveredInfo *> &finds) {
    if (finds.isEmpty()) return;
    QVector<QList<FileRecoveredInfo *>> batches(models.size());
    for (FileRecoveredInfo *info : finds) batches[categoryIndexForSuffix(info->getSuffix())].append(info);
    for (int k = 0; k < models.size(); ++k) models.at(k)->append(batches.at(k));
    found += finds.size();
    showCounts();
}

void ResultViews::showCounts() {
    for (int k = 0; k < models.size(); ++k) {
        const int rows = models.at(k)->rowCount();
        const QString name = categories.at(k)->getName();
        const QString text = rows ? QStringLiteral("%1(%2)").arg(name).arg(rows) : name;
        if (treeModel->item(k)->text() != text) treeModel->item(k)->setText(text);
    }
    countLabel->setText(tr("已扫描到%n个文件", nullptr, found));
}

void ResultViews::onClicked(QModelIndex index, int categoryIndex) {
    RecoveryCategory *c = category(categoryIndex);
    ResultTableModel *m = model(categoryIndex);
    if (!c || !m || !index.isValid() || index.column() != ResultTableModel::PreviewColumn) return;
    FileRecoveredInfo *info = m->record(index.row());
    if (!info) return;
    auto *dialog = new PreviewDialog(window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    dialog->show();
    dialog->loadImage(info);
    // The click toggled the row; a preview leaves the check mark as it was.
    QItemSelectionModel *selection = c->getTable()->selectionModel();
    const bool nowSelected = selection->isSelected(index.sibling(index.row(), 0));
    selection->select(QItemSelection(index.sibling(index.row(), 0),
                                     index.sibling(index.row(), ResultTableModel::ColumnCount - 1)),
                      nowSelected ? QItemSelectionModel::Deselect : QItemSelectionModel::Select);
}
