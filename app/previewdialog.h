// The picture of a find, scaled down to fit, in a small modal dialog.  The
// picture is read and decoded on a worker; until then the dialog says it is
// loading, and finds that are not pictures say that there is no preview.
#pragma once

#include <QDialog>
#include <QImage>
#include <QPixmap>

class FileRecoveredInfo;

namespace Ui {
class PreviewDialog;
}

class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    explicit PreviewDialog(QWidget *parent = nullptr);
    ~PreviewDialog() override;

    // Reads the find's picture on a worker.  The worker reads from a copy
    // of the record's place on the volume, so the record may be deleted
    // (a new scan) while it runs.
    void loadImage(FileRecoveredInfo *info);

    // The largest picture shown unscaled.
    static const int MaxWidth = 360;
    static const int MaxHeight = 260;

signals:
    void onImageLoaded(QPixmap pix);

public slots:
    void imageDidLoaded(QPixmap pix);

private slots:
    void pictureRead(const QImage &picture);

private:
    Ui::PreviewDialog *ui;
};
