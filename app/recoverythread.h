// The worker of one scan: runs the controller's blocking startGroup() off the
// GUI thread, then deletes itself and its controller.
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

class FileRecovery;
class MainWindow;

class RecoveryThread : public QThread {
public:
    // `groups` is the window's choice of file group, taken on the GUI thread
    // when the scan is asked for.
    RecoveryThread(MainWindow *window, const QStringList &groups);
    ~RecoveryThread() override;

    // GUI thread.  pause/resume/stop go to the controller; stop also makes
    // sure a scan that has not reached the engine yet never does.
    void pause();
    void resume();
    void stop(bool notify);
    bool isCancelled() const { return cancelled.load(); }

    // The RecoveryThread the calling code runs on, or null.
    static RecoveryThread *current();
    // What the disk service said when it did not open the device of the
    // last scan that asked it (AccessRefused, AccessFailed, NoAccessService).
    static QString accessDetail();

protected:
    void run() override;

private:
    // Before the scan: a device the user may not open is asked of the disk
    // service, which may put up the desktop's password prompt.  False when
    // the scan cannot go on (the window has been told why).
    bool gainAccess();

    MainWindow *window;
    FileRecovery *recovery;
    QStringList groups;
    std::atomic<bool> cancelled{false};

    // The engine runs one scan per process.  A scan that is stopped winds
    // down for a moment; the next one waits here until it has.
    static QMutex engineRun;
};
