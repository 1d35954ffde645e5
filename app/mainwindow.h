// The program's only window: a frameless window with three pages (choose a
// partition, choose the kind of files, scan and results).  The scan itself
// is the session's; the window shows its reports.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QModelIndex>
#include <QPoint>
#include <QStringList>

#include <memory>

class DiagnosticLog;
class DrivePage;
class ExportFlow;
class FileRecoveredInfo;
class RecoveryCategory;
class ResultViews;
class ScanSession;
class WindowPrompts;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `imageFiles`: disk image files to offer after the system's partitions;
    // the first listed is chosen.  Paths that cannot be scanned (missing,
    // folders) are said in a message as the window opens.
    explicit MainWindow(QWidget *parent = nullptr, const QStringList &imageFiles = QStringList());
    // Stops a running scan and lets its threads end before anything they
    // report into is freed.
    ~MainWindow() override;

    // Lists the partitions again; nothing stays chosen.
    void refreshDriveList();
    void showPage(int page);
    // The type names the kind page's choice scans for.
    QStringList selectedGroups();
    void resetResults();
    void startRecovery();
    RecoveryCategory *currentCategory();
    RecoveryCategory *category(int index) const;
    ScanSession *session() const { return scan; }

    // The engine's diagnostic lines go to `path` (empty: the default log in
    // the user's cache).
    void setLogFile(const QString &path);
    QString logFile() const;

    // Tests answer the window's questions in place of a person (not owned).
    void setPrompts(WindowPrompts *prompts);
    // A scan is running (started and not ended or stopped).
    bool scanRunning() const { return running; }
    // Scans started and not yet ended (a stopped scan winds down a moment).
    int liveScans() const;
    // Picture finds whose thumbnail has not reached the table yet.
    int thumbnailsPending() const;
    // Finds made by the scan and not listed yet.
    int findsPending();
    // Lists finds at once (the window owns them from here).
    void listFinds(const QList<FileRecoveredInfo *> &finds);
    // At most this many finds are listed per turn of the event loop (tests
    // slow the listing down with it).
    void setListingPace(int findsPerTurn);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void on_macCloseBtn_clicked();
    void on_macMinBtn_clicked();
    void on_macMaxBtn_clicked();
    void on_windowsCloseBtn_clicked();
    void on_windowsMaxBtn_clicked();
    void on_windowsMinBtn_clicked();
    void on_scanBtn_clicked();
    void on_refreshBtn_clicked();
    void on_driveTreeView_doubleClicked(QModelIndex index);
    void on_backBtn_clicked();
    void on_nextBtn_clicked();
    void on_exportBtn_clicked();
    void on_pauseBtn_clicked();
    void on_resumeBtn_clicked();
    void on_startBtn_clicked();
    void on_stopBtn_clicked();

private:
    void setControlState(bool pauseShown, bool resumeShown, bool stopShown, bool startShown);
    void endedState();
    void showFailure(int code);
    void showPercent(int percent);
    void onProceed(quint64 value, quint64 total);
    void onScanEnded(int ending, int code);
    // Lists the finds the session has, a few milliseconds' worth at a time;
    // the end is shown once the last is listed.
    void listWaitingFinds();
    void showEndIfListed();
    // A device came or went: a scan of a device that went ends.
    void onDevicesChanged();
    // Why `path` given on the command line cannot be listed, or empty.
    QString imageProblem(const QString &path) const;

    QPoint dragStart{0, 0};
    bool dragging = false;
    Ui::MainWindow *ui;
    ScanSession *scan = nullptr;
    ResultViews *views = nullptr;
    DrivePage *drives = nullptr;
    ExportFlow *exporter = nullptr;
    WindowPrompts *prompts;
    std::unique_ptr<DiagnosticLog> diagnostics;
    bool running = false;       // started, not stopped, end not shown
    bool endPending = false;    // the scan ended; its last finds are being listed
    int endingCode = 0;         // of the ended scan: its failure, if any
    int endingKind = 0;
    int shownPercent = 0;
    int listingPace = 0;        // 0: as many as a turn's time allows
};
