#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "lmtablewidget.h"
#include "previewdialog.h"
#include "recoverycategory.h"
#include "recoverythread.h"
#include "windowprompts.h"

#include "recovery/device.h"
#include "recovery/devicelist.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"
#include "recovery/volumecheck.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMetaType>
#include <QMouseEvent>
#include <QMutexLocker>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTableWidgetItem>
#include <QUrl>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

Q_DECLARE_METATYPE(RecoveredInfo *)

namespace {

// The row chosen on the first page (-1: none) and its device.  The current
// device of a scan is borrowed from the window's DeviceList, which keeps it
// while the window lives, even after the device has gone.
int selectedDriveRow = -1;
Device *chosenDrive = nullptr;

// Forwarded byte reports over the whole life of the process.
int proceedTraceCount = 0;

// A byte report is forwarded once it is this far past the last one.
constexpr qint64 kProceedStep = 104856;

const char *const kChecked = ":/icons/resource/icon_checked.png";
const char *const kUnchecked = ":/icons/resource/icon_unchecked.png";

// The file groups of the radio buttons.
const QString kImageGroup = QStringLiteral("jpg,png,gif");
const QString kDocumentGroup = QStringLiteral("docx,pptx,xlsx,doc,ppt,xls,pdf");
const QString kProgramGroup = QStringLiteral("apk,exe");
const QString kArchiveGroup = QStringLiteral("zip,rar,gzip");
const QString kVideoGroup = QStringLiteral("mp4,avi,mov,3gp");
const QString kAudioGroup = QStringLiteral("mp3,amr,wav");
const QString kMediaGroup = QStringLiteral("%1,%2").arg(kVideoGroup, kAudioGroup);
const QString kAllGroup =
    QStringLiteral("%1,%2,%3,%4,%5").arg(kImageGroup, kDocumentGroup, kMediaGroup, kProgramGroup, kArchiveGroup);

// At most this many failed names are listed after an export.
constexpr int kFailuresListed = 10;

// Finds are listed in turns of this many milliseconds; between turns the
// window paints and answers.
constexpr qint64 kListingTurnMs = 10;
// The validation thread waits while this many finds are handed over and not
// listed.
constexpr int kArrivedMax = 512;

}  // namespace

MainWindow::MainWindow(QWidget *parent, const QStringList &imageFiles_)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      categories(new QList<RecoveryCategory *>()),
      imageFiles(imageFiles_),
      prompts(WindowPrompts::standard()) {
    ui->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    setMouseTracking(true);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/resource/icon.ico")));
    checkedPixmap = QPixmap(QString::fromLatin1(kChecked));
    uncheckedPixmap = QPixmap(QString::fromLatin1(kUnchecked));

    struct Kind {
        const char *name;
        const char *icon;
        LMTableWidget *table;
    };
    const Kind kinds[] = {
        {QT_TR_NOOP("图片"), ":/icons/resource/icon_category_image.png", ui->imageResultTable},
        {QT_TR_NOOP("文档"), ":/icons/resource/icon_category_document.png", ui->documentResultTable},
        {QT_TR_NOOP("音视频"), ":/icons/resource/icon_category_video.png", ui->mediaResultTable},
        {QT_TR_NOOP("压缩包"), ":/icons/resource/icon_category_zip.png", ui->zipResultTable},
        {QT_TR_NOOP("其他"), ":/icons/resource/icon_category_other.png", ui->otherResultTable},
    };
    for (const Kind &k : kinds) {
        auto *c = new RecoveryCategory();
        c->setName(tr(k.name));
        c->setIconPath(QString::fromLatin1(k.icon));
        c->setTable(k.table);
        categories->append(c);
    }
    categories->at(2)->setPreviewIcon(QStringLiteral(":/icons/resource/icon_preview_play.png"));

    initUi();
    // After initUi(): the tables get their icon size there.
    thumbLoader = new LoadThumbThread(ui->imageResultTable->iconSize(), this);
    connect(thumbLoader, &LoadThumbThread::thumbsReady, this, &MainWindow::onThumbsReady, Qt::QueuedConnection);
}

MainWindow::~MainWindow() {
    closing.store(true);
    {
        // A validation thread waiting for the list to take its find drops
        // it and goes on.
        QMutexLocker hold(&arrivedLock);
        arrivedRoom.wakeAll();
    }
    // Nothing may report into the window from here on: stop every scan and
    // let its threads end before the records and tables go.
    delete thumbLoader;
    thumbLoader = nullptr;
    for (const QPointer<RecoveryThread> &t : scans) {
        if (!t) continue;
        t->stop(false);
    }
    for (const QPointer<RecoveryThread> &t : scans) {
        if (!t) continue;
        t->wait();
        delete t.data();
    }
    scans.clear();
    recoveryThread = nullptr;
    FileValidationThread::waitForAll(60000);
    // Finds already on their way here are released by their slot.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    {
        QMutexLocker hold(&arrivedLock);
        qDeleteAll(arrived);
        arrived.clear();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    DeviceManager::setCurrentDevice(nullptr);

    delete ui;
    qDeleteAll(*categories);
    categories->clear();
    delete categories;
    delete categoryModel;
    delete drives;
    drives = nullptr;
    selectedDriveRow = -1;
    chosenDrive = nullptr;
}

void MainWindow::initUi() {
    ui->macMinBtn->hide();
    ui->macCloseBtn->hide();
    ui->macMaxBtn->hide();
    showPage(0);

    ui->driveTreeView->setAttribute(Qt::WA_MacShowFocusRect, false);
    ui->driveTreeView->setColumnWidth(0, 280);
    ui->driveTreeView->setColumnWidth(1, 380);
    refreshDriveList();

    setupCategoryTree();
    setupResultTables();

    ui->pauseBtn->hide();
    qRegisterMetaType<uint64_t>("uint64_t");
    qRegisterMetaType<QVector<int>>("QVector<int>");
    qRegisterMetaType<RecoveredInfo *>("RecoveredInfo*");

    connect(this, SIGNAL(recoveryProgressSignal(int)), this, SLOT(onRecoveryProgressUpdated(int)));
    connect(this, SIGNAL(recoveryProceedSignal(quint64, quint64)), this,
            SLOT(onRecoveryProceedUpdated(quint64, quint64)));
    connect(this, SIGNAL(recoverySuccessSignal(RecoveredInfo *)), this, SLOT(onRecoverySuccessed(RecoveredInfo *)));
    connect(this, SIGNAL(recoveryFinishSignal()), this, SLOT(onRecoveryFinished()));
    connect(this, SIGNAL(recoveryFailSignal()), this, SLOT(onRecoveryFailed()));
}

void MainWindow::setupCategoryTree() {
    categoryModel = new QStandardItemModel(ui->categoryTree);
    for (RecoveryCategory *c : *categories)
        categoryModel->appendRow(new QStandardItem(QIcon(QPixmap(c->getIconPath())), c->getName()));
    categoryModel->setHorizontalHeaderLabels({tr("文件分类")});
    ui->categoryTree->setModel(categoryModel);
    ui->categoryTree->setIndentation(5);
    ui->categoryTree->setCurrentIndex(categoryModel->index(0, 0));
    fitCategoryTree();
}

void MainWindow::fitCategoryTree() {
    // As wide as a name with a two-digit count needs beside its icon, and no
    // narrower than the form has it: English names are longer than the
    // Chinese ones.
    QTreeView *tree = ui->categoryTree;
    tree->ensurePolished();
    int widest = 0;
    for (RecoveryCategory *c : *categories)
        widest = qMax(widest, tree->fontMetrics().horizontalAdvance(QStringLiteral("%1(99)").arg(c->getName())));
    const int icon = 16 + 6, margins = 2 * 3;
    const int extra = tree->indentation() + icon + widest + margins + 2 * tree->frameWidth() - tree->width();
    if (extra <= 0) return;
    // The results and the scan controls beside the list give up the width.
    tree->resize(tree->width() + extra, tree->height());
    for (QWidget *w : {static_cast<QWidget *>(ui->resultStack), static_cast<QWidget *>(ui->controlPanel)})
        w->setGeometry(w->geometry().adjusted(extra, 0, 0, 0));
    for (RecoveryCategory *c : *categories) c->getTable()->resize(c->getTable()->width() - extra, c->getTable()->height());
    ui->recoveryProgress->resize(ui->recoveryProgress->width() - extra, ui->recoveryProgress->height());
    for (QWidget *w : {static_cast<QWidget *>(ui->progressLabel), static_cast<QWidget *>(ui->proceedLabel),
                       static_cast<QWidget *>(ui->pauseBtn), static_cast<QWidget *>(ui->resumeBtn),
                       static_cast<QWidget *>(ui->stopBtn), static_cast<QWidget *>(ui->startBtn)})
        w->move(w->x() - extra, w->y());
}

void MainWindow::setupResultTables() {
    for (RecoveryCategory *c : *categories) {
        LMTableWidget *t = c->getTable();
        t->setColumnCount(5);
        t->setSelectionBehavior(QAbstractItemView::SelectRows);
        t->setSelectionMode(QAbstractItemView::MultiSelection);
        t->horizontalHeader()->setDefaultSectionSize(150);
        t->setHorizontalHeaderLabels({tr("选中"), tr("文件名"), tr("文件类型"), tr("文件大小"), tr("预览")});
        t->horizontalHeader()->setStretchLastSection(true);
        t->verticalHeader()->setDefaultSectionSize(50);
        t->verticalHeader()->hide();
        t->horizontalHeader()->setFixedHeight(30);
        t->setIconSize(QSize(25, 25));
        t->setColumnWidth(0, 40);
        t->setColumnWidth(1, 260);
        t->setColumnWidth(2, 80);
        t->setColumnWidth(3, 120);
        // The check mark shows the row's selection, which is what an export
        // takes, however the selection changed: a click, a drag over rows,
        // select-all or the space bar.
        connect(t->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this, t](const QItemSelection &selected, const QItemSelection &deselected) {
                    for (const QItemSelection &changed : {selected, deselected}) {
                        for (const QItemSelectionRange &range : changed) {
                            for (int row = range.top(); row <= range.bottom(); ++row) {
                                QTableWidgetItem *item0 = t->item(row, 0);
                                if (item0)
                                    item0->setData(Qt::DecorationRole,
                                                   item0->isSelected() ? checkedPixmap : uncheckedPixmap);
                            }
                        }
                    }
                });
    }
}

void MainWindow::setPrompts(WindowPrompts *p) { prompts = p ? p : WindowPrompts::standard(); }

int MainWindow::liveScans() const {
    int n = 0;
    for (const QPointer<RecoveryThread> &t : scans)
        if (t) ++n;
    return n;
}

int MainWindow::thumbnailsPending() const { return thumbsAwaited; }

int MainWindow::findsPending() {
    QMutexLocker hold(&arrivedLock);
    return arrived.size();
}

// ---- drive page ------------------------------------------------------------

void MainWindow::refreshDriveList() {
    if (!drives) {
        drives = new DeviceList(imageFiles);
        connect(drives, &DeviceList::changed, this, &MainWindow::onDevicesChanged);
    } else {
        drives->refresh();
    }
    chosenDrive = nullptr;
    showDrives();
}

void MainWindow::showDrives() {
    selectedDriveRow = drives->rowOf(chosenDrive);
    if (selectedDriveRow < 0) chosenDrive = nullptr;

    auto *model = new QStandardItemModel(ui->driveTreeView);
    model->setHorizontalHeaderLabels({tr("分区名称"), tr("分区大小")});
    const QIcon partition(QPixmap(QStringLiteral(":/icons/resource/icon_partition.png")));
    for (int i = 0; i < drives->devices().size(); ++i) {
        Device *d = drives->at(i);
        QString name = d->getName();
        if (d->removable) name += QStringLiteral(" · ") + tr("可移动");
        auto *item = new QStandardItem(partition, name);
        item->setToolTip(d->getDevFile());
        model->setItem(i, 0, item);
        model->setItem(i, 1, new QStandardItem(Utils::formatSize(d->totalSize)));
    }
    QAbstractItemModel *old = ui->driveTreeView->model();
    ui->driveTreeView->setModel(model);
    // Names say what a device is and run long: the name column takes what
    // they need, leaving the size its room.
    const int room = ui->driveTreeView->viewport()->width() - 140;
    ui->driveTreeView->resizeColumnToContents(0);
    const int nameWidth = qMax(280, qMin(ui->driveTreeView->columnWidth(0) + 16, room));
    ui->driveTreeView->setColumnWidth(0, nameWidth);
    ui->driveTreeView->setColumnWidth(1, qMax(140, qMin(380, ui->driveTreeView->viewport()->width() - nameWidth)));
    if (selectedDriveRow >= 0) ui->driveTreeView->setCurrentIndex(model->index(selectedDriveRow, 0));
    if (old && old->parent() == ui->driveTreeView) old->deleteLater();
}

void MainWindow::onDevicesChanged() {
    showDrives();
    Device *scanned = DeviceManager::getCurrentDevice();
    if (!recoveryThread || !scanned || drives->contains(scanned)) return;
    // What was found stays listed: it can still be saved once the device is
    // back (or, read through the descriptor the scan had, at once).
    stopScan(false);
    recoveryThread = nullptr;
    endedState();
    prompts->message(tr("所选分区 %1 已被移除，扫描已停止。\n已找到的文件仍在列表中，可以选中后保存；"
                        "如果保存失败，请重新插入该设备后再保存。")
                         .arg(scanned->getName()));
}

void MainWindow::showPage(int page) {
    if (ui->contentStack->currentIndex() != page) ui->contentStack->setCurrentIndex(page);
    switch (page) {
    case 0:
        ui->scanBtn->hide();
        ui->backBtn->hide();
        ui->exportBtn->hide();
        ui->nextBtn->show();
        break;
    case 1:
        ui->scanBtn->show();
        ui->backBtn->show();
        ui->exportBtn->hide();
        ui->nextBtn->hide();
        break;
    case 2:
        ui->scanBtn->hide();
        ui->backBtn->show();
        ui->exportBtn->show();
        ui->nextBtn->hide();
        break;
    default:
        break;
    }
}

QStringList MainWindow::selectedGroups() {
    if (ui->radioDocument->isChecked()) return {kDocumentGroup};
    if (ui->radioImage->isChecked()) return {kImageGroup};
    if (ui->radioZip->isChecked()) return {kArchiveGroup};
    if (ui->radioMedia->isChecked()) return {kMediaGroup};
    return {kAllGroup};
}

void MainWindow::on_refreshBtn_clicked() { refreshDriveList(); }

void MainWindow::on_driveTreeView_clicked(QModelIndex index) {
    selectedDriveRow = index.row();
    chosenDrive = drives->at(selectedDriveRow);
}

void MainWindow::on_driveTreeView_doubleClicked(QModelIndex index) {
    on_driveTreeView_clicked(index);
    on_nextBtn_clicked();
}

void MainWindow::on_nextBtn_clicked() {
    if (selectedDriveRow >= 0) {
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
    if (recoveryThread) stopScan(true);
    recoveryThread = nullptr;
    DeviceManager::setCurrentDevice(nullptr);
    showPage(1);
}

// ---- title bar and dragging ------------------------------------------------

void MainWindow::quitNow() {
    close();
    // The program ends here, scan or no scan: the scan only reads, and every
    // export has finished (exports run on this thread).
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

void MainWindow::on_macCloseBtn_clicked() { quitNow(); }
void MainWindow::on_windowsCloseBtn_clicked() { quitNow(); }
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
    foundCount = 0;
    lastProceed = 0;
    heldProceed = 0;
    heldTotal = 0;
    shownPercent.store(ui->recoveryProgress->value());
    failureCode.store(0);
    DeviceManager::setCurrentDevice(drives ? drives->at(selectedDriveRow) : nullptr);

    // Thumbnails still being made belong to the rows about to go.
    ++generation;
    thumbLoader->clear();
    thumbsAwaited = 0;
    for (int i = 0; i < categories->size(); ++i) {
        RecoveryCategory *c = categories->at(i);
        c->getTable()->setRowCount(0);
        c->clear();
        categoryModel->item(i)->setText(c->getName());
    }
    ui->successLabel->setText(tr("已扫描到%n个文件", nullptr, 0));
}

void MainWindow::startRecovery() {
    resetResults();
    // Scans that ended have deleted themselves.
    for (int i = scans.size() - 1; i >= 0; --i)
        if (!scans.at(i)) scans.removeAt(i);
    recoveryThread = new RecoveryThread(this, selectedGroups());
    scans.append(recoveryThread);
    // Deep mode as the file-kind page's check box says, for this scan.
    EngineControl::setDeepScan(ui->deepScanCheck->isChecked());
    recoveryThread->start(QThread::InheritPriority);
    setControlState(true, false, true, false);
}

void MainWindow::setControlState(bool pauseShown, bool resumeShown, bool stopShown, bool startShown) {
    ui->stopBtn->setVisible(stopShown);
    ui->startBtn->setVisible(startShown);
    ui->pauseBtn->setVisible(pauseShown);
    ui->resumeBtn->setVisible(resumeShown);
}

void MainWindow::endedState() { setControlState(false, false, false, true); }

void MainWindow::stopScan(bool notify) {
    RecoveryThread *t = recoveryThread;
    if (t) t->stop(notify);
}

void MainWindow::on_startBtn_clicked() { startRecovery(); }

void MainWindow::on_pauseBtn_clicked() {
    if (!recoveryThread) return;
    recoveryThread->pause();
    setControlState(false, true, true, false);
}

void MainWindow::on_resumeBtn_clicked() {
    if (!recoveryThread) return;
    recoveryThread->resume();
    setControlState(true, false, true, false);
}

void MainWindow::on_stopBtn_clicked() {
    if (!recoveryThread) return;
    stopScan(true);
    recoveryThread = nullptr;
    endedState();
}

bool MainWindow::fromStoppedScan() {
    RecoveryThread *t = RecoveryThread::current();
    return t && t->isCancelled();
}

void MainWindow::onRecovered(FileRecoveredInfo *info) {
    if (closing.load() || !info || info->getLen() == 0) {
        delete info;
        return;
    }
    // One queued call per find would have the event loop list, in one go,
    // every find that came while it was busy: a card of documents gives
    // thousands a second, and the window would not answer for as long.
    QMutexLocker hold(&arrivedLock);
    const bool guiThread = QThread::currentThread() == thread();  // which cannot wait for itself
    while (arrived.size() >= kArrivedMax && !guiThread && !closing.load()) arrivedRoom.wait(&arrivedLock);
    if (closing.load()) {
        delete info;
        return;
    }
    arrived.append(info);
    if (listingPosted) return;
    listingPosted = true;
    QMetaObject::invokeMethod(this, [this] { listArrivedFinds(); }, Qt::QueuedConnection);
}

void MainWindow::onProgress(float percent) {
    if (fromStoppedScan()) return;
    const int value = int(percent);
    if (shownPercent.exchange(value) == value) return;
    emit recoveryProgressSignal(value);
}

void MainWindow::onFinished() {
    // A stopped scan has said so already, from the stop.
    if (fromStoppedScan()) return;
    // The scan's last report may have been held back by the throttle (the
    // last free region can end short of the volume's end): show where the
    // scan really ended.
    if (RecoveryThread::current() && heldProceed != lastProceed) forwardProceed(heldProceed, heldTotal);
    emit recoveryFinishSignal();
}

void MainWindow::onFailed(int code) {
    if (fromStoppedScan()) return;
    failureCode.store(code);
    emit recoveryFailSignal();
}

void MainWindow::onProceed(quint64 value, quint64 total) {
    if (fromStoppedScan()) {
        // The stop may have come before the engine started this run, which
        // clears the stop request: ask again.
        EngineControl::requestStop();
        return;
    }
    heldProceed = value;
    heldTotal = total;
    const qint64 diff = qint64(value) - qint64(lastProceed);
    if (!(diff > kProceedStep || value == total)) return;
    forwardProceed(value, total);
}

void MainWindow::forwardProceed(quint64 value, quint64 total) {
    ++proceedTraceCount;
    printf("count: %d\n", proceedTraceCount);
    fflush(stdout);
    emit recoveryProceedSignal(value, total);
    lastProceed = value;
}

void MainWindow::onRecoveryProgressUpdated(int percent) {
    ui->recoveryProgress->setValue(percent);
    ui->progressLabel->setText(QStringLiteral("%1%").arg(percent));
}

void MainWindow::onRecoveryProceedUpdated(quint64 value, quint64 total) {
    ui->proceedLabel->setText(
        QStringLiteral("%1/%2").arg(Utils::formatSize(qint64(value)), Utils::formatSize(qint64(total))));
}

void MainWindow::onRecoveryFinished() {
    recoveryThread = nullptr;
    endedState();
}

void MainWindow::onRecoveryFailed() {
    recoveryThread = nullptr;
    endedState();
    showFailure(failureCode.exchange(0));
}

void MainWindow::showFailure(int code) {
    if (code == CannotOpenVolume) {
        Device *d = DeviceManager::getCurrentDevice();
        const QString path = d ? d->getRDevFile() : QString();
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
        Device *d = DeviceManager::getCurrentDevice();
        const QString path = d ? d->getRDevFile() : QString();
        QString why;
        if (code == AccessRefused)
            why = tr("没有得到读取该分区的授权。可以再试一次，并在系统弹出的授权窗口中输入密码。");
        else if (code == NoAccessService)
            why = tr("系统的磁盘服务（udisks2）不可用，无法请求读取该分区的授权。");
        else
            why = tr("系统的磁盘服务无法打开该分区：%1").arg(RecoveryThread::accessDetail());
        prompts->message(tr("无法读取所选分区 %1。\n%2\n也可以用 sudo 以管理员身份运行本程序，"
                            "或者把当前用户加入 disk 用户组（sudo usermod -aG disk $USER）后重新登录，然后再试。")
                             .arg(path, why));
    }
}

// ---- results ----------------------------------------------------------------

RecoveryCategory *MainWindow::category(int index) const {
    return index >= 0 && index < categories->size() ? categories->at(index) : nullptr;
}

RecoveryCategory *MainWindow::currentCategory() { return category(ui->resultStack->currentIndex()); }

void MainWindow::onRecoverySuccessed(RecoveredInfo *base) {
    auto *info = dynamic_cast<FileRecoveredInfo *>(base);
    if (closing.load() || !info) {
        delete base;
        return;
    }
    listFind(info);
    showCounts();
}

void MainWindow::listArrivedFinds() {
    QElapsedTimer turn;
    turn.start();
    int listed = 0;
    for (;;) {
        FileRecoveredInfo *info = nullptr;
        {
            QMutexLocker hold(&arrivedLock);
            if (arrived.isEmpty() || turn.elapsed() >= kListingTurnMs) {
                arrivedRoom.wakeAll();
                if (arrived.isEmpty())
                    listingPosted = false;
                else  // behind the paint and input events that came meanwhile
                    QMetaObject::invokeMethod(this, [this] { listArrivedFinds(); }, Qt::QueuedConnection);
                break;
            }
            info = arrived.takeFirst();
            if (arrived.size() == kArrivedMax - 1) arrivedRoom.wakeAll();
        }
        if (closing.load()) {
            delete info;
            continue;
        }
        listFind(info);
        ++listed;
    }
    if (listed) showCounts();
}

void MainWindow::listFind(FileRecoveredInfo *info) {
    const int k = categoryIndexForSuffix(info->getSuffix());
    RecoveryCategory *c = categories->at(k);
    c->getInfos()->append(info);
    LMTableWidget *table = c->getTable();
    const int r = table->rowCount();
    table->insertRow(r);

    auto *check = new QTableWidgetItem();
    check->setData(Qt::DecorationRole, uncheckedPixmap);
    table->setItem(r, 0, check);
    table->setItem(r, 1, new QTableWidgetItem(info->getName()));
    auto *type = new QTableWidgetItem(info->getSuffix());
    type->setTextAlignment(Qt::AlignCenter);
    table->setItem(r, 2, type);
    auto *size = new QTableWidgetItem(Utils::formatSize(info->getLen()));
    size->setTextAlignment(Qt::AlignCenter);
    table->setItem(r, 3, size);
    // The preview picture is the cell's decoration, centred by the table: a
    // label widget per row does not scale to the thousands of rows a memory
    // card gives.
    auto *preview = new QTableWidgetItem();
    preview->setData(Qt::DecorationRole, QPixmap(c->getPreviewIcon()));
    preview->setFlags(preview->flags() & ~Qt::ItemIsEditable);
    table->setItem(r, 4, preview);

    if (k == 0 && info->hasThumb()) {
        ThumbJob job;
        job.generation = generation;
        job.category = k;
        job.row = r;
        job.image = info->readyThumbImage();
        if (!job.image.isNull()) {
            ++thumbsAwaited;
            thumbLoader->add(job);
            // The row needs nothing but the icon the worker makes from the
            // job's copy.  The record would hold its 100 px thumbnail for as
            // long as the results are shown, some 40 KB a picture; handed to
            // the pixmap cache, which is bounded, the record lets it go.
            info->getThumb();
        }
    }

    ++foundCount;
}

void MainWindow::showCounts() {
    for (int k = 0; k < categories->size(); ++k) {
        RecoveryCategory *c = categories->at(k);
        const int rows = c->getTable()->rowCount();
        const QString text = rows ? QStringLiteral("%1(%2)").arg(c->getName()).arg(rows) : c->getName();
        if (categoryModel->item(k)->text() != text) categoryModel->item(k)->setText(text);
    }
    ui->successLabel->setText(tr("已扫描到%n个文件", nullptr, foundCount));
}

void MainWindow::onThumbsReady(const QVector<ThumbJob> &done) {
    for (const ThumbJob &job : done) {
        if (job.generation != generation) continue;
        --thumbsAwaited;
        RecoveryCategory *c = category(job.category);
        if (!c || job.row >= c->getTable()->rowCount()) continue;
        QTableWidgetItem *item = c->getTable()->item(job.row, 1);
        if (item) item->setData(Qt::DecorationRole, QIcon(QPixmap::fromImage(job.image)));
    }
}

void MainWindow::on_categoryTree_clicked(QModelIndex index) { ui->resultStack->setCurrentIndex(index.row()); }

void MainWindow::onResultTableClicked(QModelIndex index, int categoryIndex) {
    RecoveryCategory *c = category(categoryIndex);
    if (!c || !index.isValid()) return;
    LMTableWidget *table = c->getTable();
    QTableWidgetItem *item0 = table->item(index.row(), 0);
    if (!item0) return;
    if (index.column() == 4 && index.row() < c->getInfos()->size()) {
        auto *dialog = new PreviewDialog(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setModal(true);
        dialog->show();
        dialog->loadImage(c->getInfos()->at(index.row()));
        // The click toggled the row; a preview leaves the check mark as it was.
        item0->setSelected(!item0->isSelected());
        const QItemSelectionModel::SelectionFlags s =
            item0->isSelected() ? QItemSelectionModel::Select : QItemSelectionModel::Deselect;
        for (int col = 0; col < 5; ++col)
            table->selectionModel()->select(col == index.column() ? index : index.sibling(index.row(), col), s);
    }
    item0->setData(Qt::DecorationRole, item0->isSelected() ? checkedPixmap : uncheckedPixmap);
}

void MainWindow::on_imageResultTable_clicked(QModelIndex index) { onResultTableClicked(index, 0); }
void MainWindow::on_documentResultTable_clicked(QModelIndex index) { onResultTableClicked(index, 1); }
void MainWindow::on_mediaResultTable_clicked(QModelIndex index) { onResultTableClicked(index, 2); }
void MainWindow::on_zipResultTable_clicked(QModelIndex index) { onResultTableClicked(index, 3); }
void MainWindow::on_otherResultTable_clicked(QModelIndex index) { onResultTableClicked(index, 4); }

namespace {
QModelIndex previewCell(const QModelIndex &index) {
    return index.column() == 4 ? index : index.sibling(index.row(), 4);
}
}  // namespace

void MainWindow::on_imageResultTable_doubleClicked(QModelIndex index) { onResultTableClicked(previewCell(index), 0); }
void MainWindow::on_documentResultTable_doubleClicked(QModelIndex index) { onResultTableClicked(previewCell(index), 1); }
void MainWindow::on_mediaResultTable_doubleClicked(QModelIndex index) { onResultTableClicked(previewCell(index), 2); }
void MainWindow::on_zipResultTable_doubleClicked(QModelIndex index) { onResultTableClicked(previewCell(index), 3); }
void MainWindow::on_otherResultTable_doubleClicked(QModelIndex index) { onResultTableClicked(previewCell(index), 4); }

// ---- export -----------------------------------------------------------------

void MainWindow::on_exportBtn_clicked() { exportChecked(); }

void MainWindow::exportChecked() {
    RecoveryCategory *c = currentCategory();
    if (!c) return;
    LMTableWidget *table = c->getTable();
    if (table->selectedItems().isEmpty()) {
        prompts->message(tr("请先选择要保存的文件！"));
        return;
    }
    const QString start = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString dir = prompts->chooseFolder(this, tr("选择文件夹"), start);
    if (dir.isNull()) return;

    QList<FileRecoveredInfo *> chosen;
    for (QTableWidgetItem *item : table->selectedItems()) {
        if (item->column() != 0) continue;
        const int r = item->row();
        if (r >= 0 && r < c->getInfos()->size()) chosen.append(c->getInfos()->at(r));
    }
    if (chosen.isEmpty()) return;

    // Writing onto the partition being recovered overwrites the very files
    // still to be found there.
    if (VolumeCheck::exportsOntoScannedVolume(chosen.first()->getDevFile(), dir) &&
        !prompts->confirm(this, tr("所选文件夹 %1 位于正在恢复的分区上。\n"
                                   "保存到这里会覆盖该分区上尚未恢复的已删除文件，使它们再也无法找回。\n\n"
                                   "建议选择另一个磁盘上的文件夹。仍然要保存到这里吗？")
                                    .arg(QDir::toNativeSeparators(dir))))
        return;

    QStringList failed;
    QStringList renamed;  // saved beside a file of the same name, under a new one
    for (FileRecoveredInfo *record : chosen) {
        record->setExportPath(dir);
        if (!record->exportSelf()) {
            const QString why = record->getExportError();
            failed << (why.isEmpty() ? record->getName() : tr("%1（%2）").arg(record->getName(), why));
        } else {
            const QString written = QFileInfo(record->getExportedFile()).fileName();
            if (written != record->getName()) renamed << tr("%1 → %2").arg(record->getName(), written);
        }
    }
    QString renamedNote;
    if (!renamed.isEmpty()) {
        QStringList shown = renamed.mid(0, kFailuresListed);
        if (renamed.size() > kFailuresListed)
            shown << tr("……以及另外%n个文件", nullptr, renamed.size() - kFailuresListed);
        renamedNote = QLatin1Char('\n') + tr("文件夹中已有同名文件，原有文件保持不变；以下文件另存为新名称：\n%1")
                                              .arg(shown.join(QLatin1Char('\n')));
    }
    const int saved = chosen.size() - failed.size();
    if (failed.isEmpty()) {
        prompts->message(tr("保存成功！") + renamedNote);
    } else {
        QStringList shown = failed.mid(0, kFailuresListed);
        if (failed.size() > kFailuresListed) shown << tr("……以及另外%n个文件", nullptr, failed.size() - kFailuresListed);
        prompts->message(tr("已保存%1个文件，共%n个。\n以下文件保存失败：\n%2", nullptr, chosen.size())
                             .arg(saved)
                             .arg(shown.join(QLatin1Char('\n'))) +
                         renamedNote);
    }
    if (saved > 0) prompts->openFolder(QUrl::fromLocalFile(dir));
}
