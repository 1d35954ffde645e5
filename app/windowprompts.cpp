#include "windowprompts.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

void WindowPrompts::message(const QString &text) {
    QMessageBox box;
    box.setText(text);
    box.exec();
}

bool WindowPrompts::confirm(QWidget *parent, const QString &text) {
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString WindowPrompts::chooseFolder(QWidget *parent, const QString &caption, const QString &start) {
    return QFileDialog::getExistingDirectory(parent, caption, start, QFileDialog::ShowDirsOnly);
}

void WindowPrompts::openFolder(const QUrl &url) { QDesktopServices::openUrl(url); }

WindowPrompts *WindowPrompts::standard() {
    static WindowPrompts prompts;
    return &prompts;
}
