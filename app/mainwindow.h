// The program's only window: a frameless window with three pages (choose a
// partition, choose the kind of files, scan and results) that also receives
// the library's scan reports.
#pragma once

#include "loadthumbthread.h"

#include "recovery/filerecovery.h"

#include <QList>
#include <QMainWindow>
#include <QModelIndex>
#include <QMutex>
#include <QPixmap>
#include <QPoint>
#include <QPointer>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>

class DeviceList;
class FileRecoveredInfo;
class QStandardItemModel;
class RecoveredInfo;
class RecoveryCategory;
class RecoveryThread;
class WindowPrompts;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow, public RecoveryCallback {
    Q_OBJECT
public:
    // `imageFiles`: disk image files to offer after the system's partitions.
    explicit MainWindow(QWidget *parent = nullptr, const QStringList &imageFiles = QStringList());
    // Stops a running scan and lets its threads end before anything they
    // report into is freed.
    ~MainWindow() override;

    // Lists the partitions again; nothing stays chosen.
    void refreshDriveList();
    void showPage(int page);
    // The chosen file group as one comma-separated suffix list.
    QStringList selectedGroups();
    void resetResults();
    void startRecovery();
    RecoveryCategory *currentCategory();
    RecoveryCategory *category(int index) const;

    // Tests answer the window's questions in place of a person (not owned).
    void setPrompts(WindowPrompts *prompts);
    // The scan being shown, or null.
    RecoveryThread *runningScan() const { return recoveryThread; }
    // Scans started and not yet ended (a stopped scan winds down a moment).
    int liveScans() const;
    // Picture finds whose thumbnail has not reached the table yet.
    int thumbnailsPending() const;
    // Finds handed over by the scan and not listed yet.
    int findsPending();

    // RecoveryCallback, called on the library's threads.
    void onRecovered(FileRecoveredInfo *info) override;
    void onProgress(float percent) override;
    void onFinished() override;
    void onFailed(int code) override;
    void onProceed(quint64 value, quint64 total) override;

signals:
    void recoveryProgressSignal(int value);
    void recoveryProceedSignal(quint64 value, quint64 total);
    void recoverySuccessSignal(RecoveredInfo *info);
    void recoveryFinishSignal();
    void recoveryFailSignal();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private slots:
    void on_macCloseBtn_clicked();
    void on_macMinBtn_clicked();
    void on_macMaxBtn_clicked();
    void on_scanBtn_clicked();
    void on_refreshBtn_clicked();
    void on_driveTreeView_clicked(QModelIndex index);
    void on_driveTreeView_doubleClicked(QModelIndex index);
    void on_backBtn_clicked();
    void on_exportBtn_clicked();
    void on_categoryTree_clicked(QModelIndex index);
    void on_pauseBtn_clicked();
    void on_resumeBtn_clicked();
    void on_startBtn_clicked();
    void on_stopBtn_clicked();
    void on_imageResultTable_clicked(QModelIndex index);
    void onRecoveryProgressUpdated(int percent);
    void onRecoveryProceedUpdated(quint64 value, quint64 total);
    void onRecoverySuccessed(RecoveredInfo *info);
    void onRecoveryFinished();
    void onRecoveryFailed();
    void onResultTableClicked(QModelIndex index, int categoryIndex);
    void on_documentResultTable_clicked(QModelIndex index);
    void on_mediaResultTable_clicked(QModelIndex index);
    void on_zipResultTable_clicked(QModelIndex index);
    void on_otherResultTable_clicked(QModelIndex index);
    void on_windowsCloseBtn_clicked();
    void on_windowsMaxBtn_clicked();
    void on_windowsMinBtn_clicked();
    void on_imageResultTable_doubleClicked(QModelIndex index);
    void on_documentResultTable_doubleClicked(QModelIndex index);
    void on_mediaResultTable_doubleClicked(QModelIndex index);
    void on_zipResultTable_doubleClicked(QModelIndex index);
    void on_otherResultTable_doubleClicked(QModelIndex index);
    void on_nextBtn_clicked();
    void onThumbsReady(const QVector<ThumbJob> &done);
    // A device came or went: the list follows, and a scan of a device that
    // went ends.
    void onDevicesChanged();

private:
    void initUi();
    // Shows the partitions listed, the chosen one still chosen.
    void showDrives();
    void setupCategoryTree();
    void fitCategoryTree();
    void setupResultTables();
    void setControlState(bool pauseShown, bool resumeShown, bool stopShown, bool startShown);
    void endedState();
    void stopScan(bool notify);
    void quitNow();
    void exportChecked();
    void showFailure(int code);
    void forwardProceed(quint64 value, quint64 total);
    // Lists one find (GUI thread): its row and its thumbnail job.
    void listFind(FileRecoveredInfo *info);
    // The counts on the category list and above the tables.
    void showCounts();
    // Lists the finds the scan has handed over, a few milliseconds' worth at
    // a time, then lets the event loop run before the next turn.
    void listArrivedFinds();
    // Another scan's late report, which the shown scan must not take.
    static bool fromStoppedScan();

    QPoint dragStart{0, 0};
    bool dragging = false;
    Ui::MainWindow *ui;
    RecoveryThread *recoveryThread = nullptr;
    int foundCount = 0;
    quint64 lastProceed = 0;
    quint64 heldProceed = 0;  // the scan's last byte report, forwarded or not
    quint64 heldTotal = 0;
    QList<RecoveryCategory *> *categories;
    QStandardItemModel *categoryModel = nullptr;

    QStringList imageFiles;
    DeviceList *drives = nullptr;  // the partitions offered on the first page
    WindowPrompts *prompts;
    QList<QPointer<RecoveryThread>> scans;  // every scan not yet deleted
    std::atomic<int> shownPercent{0};       // last percentage handed to the bar
    std::atomic<int> failureCode{0};
    std::atomic<bool> closing{false};
    LoadThumbThread *thumbLoader;
    quint64 generation = 0;  // of the results shown; a new scan raises it
    int thumbsAwaited = 0;
    // Finds handed over by the scan and not listed yet.  The validation
    // thread waits while there are too many: finds made faster than the
    // window lists them then wait as records not yet read, without their
    // thumbnails.
    QMutex arrivedLock;
    QWaitCondition arrivedRoom;
    QList<FileRecoveredInfo *> arrived;  // guarded by arrivedLock
    bool listingPosted = false;          // guarded by arrivedLock
    QPixmap checkedPixmap;
    QPixmap uncheckedPixmap;
};
