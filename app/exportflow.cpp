#include "exportflow.h"

#include "windowprompts.h"

#include "recovery/recoveredinfo.h"
#include "recovery/scansession.h"
#include "recovery/platform/linux_devices.h"
#include "recovery/volumecheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QUrl>

namespace {
// At most this many failed names are listed after an export.
constexpr int kFailuresListed = 10;

}  // namespace

ExportFlow::ExportFlow(QWidget *window_, ScanSession *session_)
    : QObject(window_), window(window_), session(session_) {
    connect(session, &ScanSession::exportProgress, this, &ExportFlow::onProgress);
    connect(session, &ScanSession::fileExported, this, &ExportFlow::onFileExported);
    connect(session, &ScanSession::exportFinished, this, &ExportFlow::onFinished);
}

void ExportFlow::save(const QList<FileRecoveredInfo *> &records) {
    if (dialog) return;
    if (records.isEmpty()) {
        prompts->message(tr("请先选择要保存的文件！"));
        return;
    }
    const QString dir = prompts->chooseFolder(window, tr("选择文件夹"), startFolder());
    if (dir.isNull()) return;
    lastFolder = dir;

    // Writing onto the partition being recovered overwrites the very files
    // still to be found there.
    if (VolumeCheck::exportsOntoScannedVolume(records.first()->getDevFile(), dir) &&
        !prompts->confirm(window, tr("所选文件夹 %1 位于正在恢复的分区上。\n"
                                     "保存到这里会覆盖该分区上尚未恢复的已删除文件，使它们再也无法找回。\n\n"
                                     "建议选择另一个磁盘上的文件夹。仍然要保存到这里吗？")
                                      .arg(QDir::toNativeSeparators(dir))))
        return;

    folder = dir;
    failures.clear();
    renamed.clear();
    dialog = new QProgressDialog(window);
    dialog->setObjectName(QStringLiteral("exportProgress"));
    dialog->setWindowTitle(tr("保存文件"));
    dialog->setCancelButtonText(tr("取消"));
    dialog->setRange(0, records.size());
    dialog->setMinimumDuration(0);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setWindowModality(Qt::WindowModal);
    onProgress(0, records.size(), 0, 0);
    connect(dialog, &QProgressDialog::canceled, session, &ScanSession::cancelExport);
    dialog->show();
    session->exportFiles(records, dir);
}

QString ExportFlow::startFolder() const {
    QStringList candidates{lastFolder, QStandardPaths::writableLocation(QStandardPaths::PicturesLocation),
                           QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)};
    for (const QString &c : candidates)
        if (!c.isEmpty() && QFileInfo(c).isDir()) return c;
    return QDir::homePath();
}

void ExportFlow::onProgress(int filesDone, int files, qint64 bytesDone, qint64 bytes) {
    if (!dialog) return;
    dialog->setMaximum(files);
    dialog->setLabelText(tr("正在保存：%1/%2个文件，%3/%4")
                             .arg(filesDone)
                             .arg(files)
                             .arg(lmrplatform::decimalSize(bytesDone), lmrplatform::decimalSize(bytes)));
    // Last: a modal progress dialog runs the event loop here, where the
    // export may end and the dialog go.
    dialog->setValue(filesDone);
}

void ExportFlow::onFileExported(FileRecoveredInfo *record, bool ok, const QString &text) {
    if (ok) {
        if (!text.isEmpty() && text != record->getName()) renamed << tr("%1 → %2").arg(record->getName(), text);
        return;
    }
    failures << (text.isEmpty() ? record->getName() : tr("%1（%2）").arg(record->getName(), text));
}

void ExportFlow::onFinished(int saved, int failed, bool cancelled) {
    if (dialog) {
        dialog->hide();
        dialog->deleteLater();
        dialog = nullptr;
    }
    const QString where = QDir::toNativeSeparators(folder);
    QString text;
    if (failed > 0) {
        QStringList shown = failures.mid(0, kFailuresListed);
        if (failures.size() > kFailuresListed)
            shown << tr("……以及另外%n个文件", nullptr, failures.size() - kFailuresListed);
        text = tr("已保存%1个文件，共%n个。\n以下文件保存失败：\n%2", nullptr, saved + failed)
                   .arg(saved)
                   .arg(shown.join(QLatin1Char('\n')));
    } else {
        text = tr("已保存%1个文件到%2").arg(saved).arg(where);
    }
    if (!renamed.isEmpty()) {
        QStringList shown = renamed.mid(0, kFailuresListed);
        if (renamed.size() > kFailuresListed)
            shown << tr("……以及另外%n个文件", nullptr, renamed.size() - kFailuresListed);
        text += QLatin1Char('\n') + tr("文件夹中已有同名文件，原有文件保持不变；以下文件另存为新名称：\n%1")
                                         .arg(shown.join(QLatin1Char('\n')));
    }
    if (cancelled) text += QLatin1Char('\n') + tr("保存已取消，其余文件没有保存。");
    prompts->message(text);
    if (saved > 0) prompts->openFolder(QUrl::fromLocalFile(folder));
    emit done();
}
