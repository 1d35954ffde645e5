#include "lmtablewidget.h"

LMTableWidget::LMTableWidget(QWidget *parent) : QTableWidget(parent) {}

QStyleOptionViewItem LMTableWidget::viewOptions() const {
    QStyleOptionViewItem option = QTableWidget::viewOptions();
    option.decorationAlignment = Qt::AlignCenter;
    option.decorationPosition = QStyleOptionViewItem::Left;
    return option;
}
