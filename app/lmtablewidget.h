// The result tables: a QTableWidget whose cell icons (check marks,
// thumbnails) sit centred in the space the cell gives them.
#pragma once

#include <QStyleOptionViewItem>
#include <QTableWidget>

class LMTableWidget : public QTableWidget {
    Q_OBJECT
public:
    explicit LMTableWidget(QWidget *parent = nullptr);

protected:
    QStyleOptionViewItem viewOptions() const override;
};
