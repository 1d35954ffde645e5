// Reads and decodes one find's picture for the preview dialog.  It works on
// its own copy of the record, so nothing it touches can be freed under it,
// and hands the decoded picture over through a queued signal (a QImage: a
// pixmap is made on the GUI thread).
#pragma once

#include <QImage>
#include <QThread>

class FileRecoveredInfo;
class PreviewDialog;

class PreviewThread : public QThread {
    Q_OBJECT
public:
    // Takes a copy of `info`'s place on the volume (all its runs) and its
    // suffix.
    PreviewThread(PreviewDialog *dialog, FileRecoveredInfo *info);
    ~PreviewThread() override;

signals:
    // Null when the find is not a picture or cannot be decoded.
    void pictureRead(const QImage &picture);

protected:
    void run() override;

private:
    PreviewDialog *dialog;
    FileRecoveredInfo *info;  // owned: the copy
};
