#include "previewdialog.h"
#include "ui_previewdialog.h"

#include "previewthread.h"

PreviewDialog::PreviewDialog(QWidget *parent) : QDialog(parent), ui(new Ui::PreviewDialog) {
    ui->setupUi(this);
    connect(this, SIGNAL(onImageLoaded(QPixmap)), this, SLOT(imageDidLoaded(QPixmap)));
}

PreviewDialog::~PreviewDialog() { delete ui; }

void PreviewDialog::loadImage(FileRecoveredInfo *info) {
    ui->previewLabel->setAlignment(Qt::AlignCenter);
    ui->previewLabel->setText(tr("加载中.."));
    auto *thread = new PreviewThread(this, info);
    connect(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    // Queued: if the dialog is closed first, the picture goes nowhere.
    connect(thread, &PreviewThread::pictureRead, this, &PreviewDialog::pictureRead, Qt::QueuedConnection);
    thread->start(QThread::InheritPriority);
}

void PreviewDialog::pictureRead(const QImage &picture) {
    emit onImageLoaded(picture.isNull() ? QPixmap() : QPixmap::fromImage(picture));
}

void PreviewDialog::imageDidLoaded(QPixmap pix) {
    if (pix.isNull()) {
        ui->previewLabel->setText(tr("暂无预览"));
    } else if (pix.width() > MaxWidth - 1 || pix.height() > MaxHeight - 1) {
        ui->previewLabel->setPixmap(pix.scaled(MaxWidth, MaxHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    } else {
        ui->previewLabel->setPixmap(pix);
    }
}
