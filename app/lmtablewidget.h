// The result tables: a table view over a category's rows whose cell icons
// (check marks, thumbnails) sit centred in the space the cell gives them.
#pragma once

#include <QStyleOptionViewItem>
#include <QTableView>

class LMTableWidget : public QTableView {
    Q_OBJECT
public:
    explicit LMTableWidget(QWidget *parent = nullptr);

protected:
    QStyleOptionViewItem viewOptions() const override;
};
