// Saving the ticked finds: the folder choice, the warning before saving
// onto the partition being recovered, the progress dialog (files, bytes,
// cancel) while the session's worker copies, and the closing message with
// the number of files saved and where.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class FileRecoveredInfo;
class QProgressDialog;
class QWidget;
class ScanSession;
class WindowPrompts;

class ExportFlow : public QObject {
    Q_OBJECT
public:
    ExportFlow(QWidget *window, ScanSession *session);

    void setPrompts(WindowPrompts *prompts) { this->prompts = prompts; }
    // Asks for a folder and saves `records` (borrowed until the export
    // ends) there.
    void save(const QList<FileRecoveredInfo *> &records);
    bool busy() const { return dialog != nullptr; }
    // Where the folder dialog opens: the folder last saved into, else the
    // user's Pictures, else Documents (as the XDG user folders name them),
    // else home; always a folder that exists.
    QString startFolder() const;

signals:
    void done();

private:
    void onProgress(int filesDone, int files, qint64 bytesDone, qint64 bytes);
    void onFileExported(FileRecoveredInfo *record, bool ok, const QString &text);
    void onFinished(int saved, int failed, bool cancelled);

    QWidget *window;
    ScanSession *session;
    WindowPrompts *prompts = nullptr;
    QProgressDialog *dialog = nullptr;
    QString folder;
    QString lastFolder;  // chosen for the last save
    QStringList failures;
    QStringList renamed;  // saved beside a file of the same name, under a new one
};
