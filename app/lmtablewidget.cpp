#include "lmtablewidget.h"

LMTableWidget::LMTableWidget(QWidget *parent) : QTableView(parent) {}

QStyleOptionViewItem LMTableWidget::viewOptions() const {
    QStyleOptionViewItem option = QTableView::viewOptions();
    option.decorationAlignment = Qt::AlignCenter;
    option.decorationPosition = QStyleOptionViewItem::Left;
    return option;
}
