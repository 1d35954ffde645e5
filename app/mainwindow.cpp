#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "diagnosticlog.h"
#include "drivepage.h"
#include "exportflow.h"
#include "lmtablewidget.h"
#include "recoverycategory.h"
#include "resultviews.h"
#include "windowprompts.h"

#include "recovery/device.h"
#include "recovery/diskpartitions.h"
#include "recovery/filerecovery.h"
#include "recovery/recoveredinfo.h"
#include "recovery/scansession.h"
#include "recovery/suffixutils.h"
#include "recovery/volumecheck.h"
#include "recovery/platform/linux_devices.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMouseEvent>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

// Finds listed in one turn of the event loop; between turns the window
// paints and answers.
constexpr int kFindsPerTurn = 128;

}  // namespace

MainWindow::MainWindow(QWidget *parent, const QStringList &imageFiles)
    : QMainWindow(parent), ui(new Ui::MainWindow), prompts(WindowPrompts::standard()),
      diagnostics(new DiagnosticLog()) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    setMouseTracking(true);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/resource/icon.ico")));

    ui->macMinBtn->hide();
    ui->macCloseBtn->hide();
    ui->macMaxBtn->hide();
    ui->pauseBtn->hide();
    showPage(0);

    QStringList listed, problems;
    for (const QString &path : imageFiles) {
        const QString problem = imageProblem(path);
        if (problem.isEmpty())
            listed << path;
        else
            problems << problem;
    }
    // Said once the window is up, through the prompts a test may have set.
    if (!problems.isEmpty())
        QTimer::singleShot(0, this, [this, problems] { prompts->message(problems.join(QLatin1Char('\n'))); });
    drives = new DrivePage(ui->driveTreeView, listed, this);
    connect(drives, &DrivePage::changed, this, &MainWindow::onDevicesChanged);
    views = new ResultViews(this, ui->categoryTree, ui->resultStack,
                            {ui->imageResultTable, ui->documentResultTable, ui->mediaResultTable,
                             ui->zipResultTable, ui->otherResultTable},
                            ui->successLabel);

    scan = new ScanSession(this);
    // A find is listed by its name; the tables make the thumbnails of the
    // rows on screen themselves, so the scan decodes no picture.
    scan->setThumbnails(false);
    connect(scan, &ScanSession::findsWaiting, this, &MainWindow::listWaitingFinds);
    connect(scan, &ScanSession::progress, this, &MainWindow::showPercent);
    connect(scan, &ScanSession::proceed, this, &MainWindow::onProceed);
    connect(scan, &ScanSession::scanEnded, this, &MainWindow::onScanEnded);
    exporter = new ExportFlow(this, scan);
    exporter->setPrompts(prompts);
    ui->exportBtn->setToolTip(tr("把所有分类中选中的文件保存到一个文件夹"));
}

MainWindow::~MainWindow() {
    // Nothing may report into the window from here on: the session stops
    // the scan and an export and lets their threads end before the records
    // and tables go.
    delete exporter;
    exporter = nullptr;
    delete scan;
    scan = nullptr;
    DeviceManager::setCurrentDevice(nullptr);
    delete views;
    views = nullptr;
    delete drives;
    drives = nullptr;
    delete ui;
}

void MainWindow::setPrompts(WindowPrompts *p) {
    prompts = p ? p : WindowPrompts::standard();
    exporter->setPrompts(prompts);
}

void MainWindow::setLogFile(const QString &path) { diagnostics.reset(new DiagnosticLog(path)); }

QString MainWindow::logFile() const { return diagnostics->path(); }

QString MainWindow::imageProblem(const QString &path) const {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT) return tr("找不到 %1，无法扫描。").arg(QDir::toNativeSeparators(path));
        return tr("无法打开 %1：%2").arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(strerror(errno)));
    }
    if (S_ISDIR(st.st_mode))
        return tr("%1 是一个文件夹，无法扫描；请选择磁盘映像文件或分区。").arg(QDir::toNativeSeparators(path));
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return tr("%1 既不是磁盘映像文件也不是分区，无法扫描。").arg(QDir::toNativeSeparators(path));
    return QString();
}

int MainWindow::liveScans() const { return scan->liveScans(); }

int MainWindow::thumbnailsPending() const { return views->thumbnailsPending(); }

int MainWindow::findsPending() { return scan->waitingFinds(); }

void MainWindow::setListingPace(int findsPerTurn) { listingPace = qMax(0, findsPerTurn); }

// ---- pages ----------------------------------------------------------------

void MainWindow::refreshDriveList() { drives->refresh(); }

void MainWindow::onDevicesChanged() {
    Device *scanned = scan->device();
    if (!running || !scanned || drives->offers(scanned)) return;
    // What was found stays listed: it can still be saved once the device is
    // back (or, read through the descriptor the scan had, at once).
    scan->stop();
    running = false;
    endedState();
    prompts->message(tr("所选分区 %1 已被移除，扫描已停止。\n已找到的文件仍在列表中，可以选中后保存；"
                        "如果保存失败，请重新插入该设备后再保存。")
                         .arg(scanned->getName()));
}

void MainWindow::showPage(int page) {
    if (ui->contentStack->currentIndex() != page) ui->contentStack->setCurrentIndex(page);
    ui->scanBtn->setVisible(page == 1);
    ui->backBtn->setVisible(page == 1 || page == 2);
    ui->exportBtn->setVisible(page == 2);
    ui->nextBtn->setVisible(page == 0);
}

QStringList MainWindow::selectedGroups() {
    if (ui->radioDocument->isChecked()) return SuffixUtils::categoryTypes(SuffixUtils::Documents);
    if (ui->radioImage->isChecked()) return SuffixUtils::categoryTypes(SuffixUtils::Pictures);
    if (ui->radioZip->isChecked()) return SuffixUtils::categoryTypes(SuffixUtils::Archives);
    if (ui->radioMedia->isChecked()) return SuffixUtils::categoryTypes(SuffixUtils::Media);
    return ScanGroups::members(QStringLiteral("all"));
}

void MainWindow::on_refreshBtn_clicked() { refreshDriveList(); }

void MainWindow::on_driveTreeView_doubleClicked(QModelIndex) { on_nextBtn_clicked(); }

void MainWindow::on_nextBtn_clicked() {
    if (drives->chosenIsEmpty()) {
        prompts->message(tr("所选分区或映像是空的（0 字节），没有可扫描的内容。"));
    } else if (drives->chosen()) {
        ui->radioAll->setChecked(true);
        showPage(1);
    } else {
        prompts->message(tr("请先选择要恢复的分区！"));
    }
}

void MainWindow::on_scanBtn_clicked() {
    startRecovery();
    showPage(2);
}

void MainWindow::on_backBtn_clicked() {
    if (ui->contentStack->currentIndex() != 2) {
        showPage(0);
        return;
    }
    if (running) {
        scan->stop();
        running = false;
        endedState();
    }
    DeviceManager::setCurrentDevice(nullptr);
    showPage(1);
}

void MainWindow::on_exportBtn_clicked() { exporter->save(views->checkedRecords()); }

// ---- title bar and dragging ------------------------------------------------

void MainWindow::on_macCloseBtn_clicked() { close(); }
void MainWindow::on_windowsCloseBtn_clicked() { close(); }
void MainWindow::on_macMinBtn_clicked() { showMinimized(); }
void MainWindow::on_windowsMinBtn_clicked() { showMinimized(); }
void MainWindow::on_macMaxBtn_clicked() {}
void MainWindow::on_windowsMaxBtn_clicked() {}

void MainWindow::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragStart = event->localPos().toPoint();
    }
}

void MainWindow::mouseReleaseEvent(QMouseEvent *) { dragging = false; }

void MainWindow::mouseMoveEvent(QMouseEvent *event) {
    if (dragging) move(event->screenPos().toPoint() - dragStart);
}

// ---- the scan ---------------------------------------------------------------

void MainWindow::resetResults() {
    views->clear();
    shownPercent = -1;
    showPercent(0);
    ui->proceedLabel->clear();
}

void MainWindow::startRecovery() {
    if (exporter->busy()) return;  // the export still reads the records shown
    resetResults();
    running = true;
    endPending = false;
    endingCode = 0;
    Device *chosen = drives->chosen();
    if (chosen) {
        // An image file is scanned at the size it has now: one emptied or
        // cut since it was listed must not be read as its old size.
        const QFileInfo image(chosen->getRDevFile());
        if (image.isFile()) chosen->totalSize = image.size();
        diagnostics->aimAt(chosen->getRDevFile());
    }
    // A partition row of an image scans that partition alone.
    DiskPartitions::setScanPartition(drives->chosenPartition());
    scan->start(chosen, selectedGroups(), ui->deepScanCheck->isChecked());
    setControlState(true, false, true, false);
}

void MainWindow::setControlState(bool pauseShown, bool resumeShown, bool stopShown, bool startShown) {
    ui->stopBtn->setVisible(stopShown);
    ui->startBtn->setVisible(startShown);
    ui->pauseBtn->setVisible(pauseShown);
    ui->resumeBtn->setVisible(resumeShown);
}

void MainWindow::endedState() { setControlState(false, false, false, true); }

void MainWindow::on_startBtn_clicked() { startRecovery(); }

void MainWindow::on_pauseBtn_clicked() {
    if (!running) return;
    scan->pause();
    setControlState(false, true, true, false);
}

void MainWindow::on_resumeBtn_clicked() {
    if (!running) return;
    scan->resume();
    setControlState(true, false, true, false);
}

void MainWindow::on_stopBtn_clicked() {
    if (!running) return;
    scan->stop();
    running = false;
    endedState();
}

void MainWindow::showPercent(int percent) {
    // 100% is the end, shown once every find is listed.
    if (running && percent >= 100) percent = 99;
    if (percent == shownPercent) return;
    shownPercent = percent;
    ui->recoveryProgress->setValue(percent);
    ui->progressLabel->setText(QStringLiteral("%1%").arg(percent));
}

void MainWindow::onProceed(quint64 value, quint64 total) {
    // The last cluster run of a volume may reach past the input's end;
    // what is read never does.
    if (total > 0 && value > total) value = total;
    ui->proceedLabel->setText(QStringLiteral("%1/%2").arg(lmrplatform::decimalSize(qint64(value)),
                                                          lmrplatform::decimalSize(qint64(total))));
}

void MainWindow::onScanEnded(int ending, int code) {
    // The choice of partition is the engine's for every run in the process:
    // it must not outlive this one.
    DiskPartitions::setScanPartition(0);
    if (ending == ScanSession::Failed) {
        running = false;
        endedState();
        showFailure(code);
        return;
    }
    endPending = true;
    endingKind = ending;
    showEndIfListed();
}

void MainWindow::listFinds(const QList<FileRecoveredInfo *> &finds) { views->list(finds); }

void MainWindow::listWaitingFinds() {
    QList<FileRecoveredInfo *> finds = scan->takeFinds(listingPace > 0 ? listingPace : kFindsPerTurn);
    // A deleted file whose clusters a live file took holds that file's bytes
    // now: it is not offered for saving.
    for (int i = finds.size(); i-- > 0;)
        if (finds.at(i)->getState() == FileRecoveredInfo::Overwritten) delete finds.takeAt(i);
    views->list(finds);
    showEndIfListed();
}

void MainWindow::showEndIfListed() {
    if (!endPending || scan->waitingFinds() > 0) return;
    endPending = false;
    const bool wasRunning = running;
    running = false;
    if (endingKind == ScanSession::Completed && wasRunning) showPercent(100);
    endedState();
    if (endingKind == ScanSession::Stopped) return;
    // A scan that skipped unreadable sectors, or had nothing to read, says
    // so: an empty result must not pass for "nothing was deleted here".
    QStringList notes;
    if (scan->inputWasEmpty()) notes << tr("所选分区或映像是空的（0 字节），没有可扫描的内容。");
    if (scan->inputShrankTo() >= 0)
        notes << tr("扫描期间输入变小了（只剩%1字节，可能是存储卡被拔出）；超出部分的文件未列出。")
                     .arg(scan->inputShrankTo());
    if (quint64 bad = scan->unreadableSectors())
        notes << tr("有%1个扇区无法读取，已跳过；这些扇区中的文件无法找回，其余文件已列出。").arg(bad);
    if (!notes.isEmpty()) prompts->message(notes.join(QLatin1Char('\n')));
}

void MainWindow::showFailure(int code) {
    Device *d = scan->device();
    const QString path = d ? d->getRDevFile() : QString();
    if (code == CannotOpenVolume) {
        if (VolumeCheck::needsAccessRights(path)) {
            prompts->message(tr("无法读取所选分区 %1。\n读取分区需要管理员权限：请以管理员（root）身份运行本程序，"
                                "或者把当前用户加入 disk 用户组后重新登录，然后再试。")
                                 .arg(path));
        } else {
            prompts->message(tr("无法读取所选分区 %1。\n%2").arg(path, VolumeCheck::lastRunOpenProblem(path)));
        }
    } else if (code == OutOfMemory) {
        prompts->message(tr("内存不足，无法开始扫描。请关闭其他程序后再试。"));
    } else if (code == AccessRefused || code == NoAccessService || code == AccessFailed) {
        QString why;
        if (code == AccessRefused)
            why = tr("没有得到读取该分区的授权。可以再试一次，并在系统弹出的授权窗口中输入密码。");
        else if (code == NoAccessService)
            why = tr("系统的磁盘服务（udisks2）不可用，无法请求读取该分区的授权。");
        else
            why = tr("系统的磁盘服务无法打开该分区：%1").arg(scan->accessDetail());
        prompts->message(tr("无法读取所选分区 %1。\n%2\n也可以用 sudo 以管理员身份运行本程序，"
                            "或者把当前用户加入 disk 用户组（sudo usermod -aG disk $USER）后重新登录，然后再试。")
                             .arg(path, why));
    }
}

// ---- results ----------------------------------------------------------------

RecoveryCategory *MainWindow::category(int index) const { return views->category(index); }

RecoveryCategory *MainWindow::currentCategory() { return views->currentCategory(); }
