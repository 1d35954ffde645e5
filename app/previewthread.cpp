#include "previewthread.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

#include <cstring>

namespace {

FileRecoveredInfo *copyOf(FileRecoveredInfo *info) {
    if (!info) return nullptr;
    auto *place = new r_info{};
    place->offset = quint64(info->getOffset());
    place->length = quint64(info->getLen());
    const QByteArray path = info->getDevFile().toUtf8();
    std::strncpy(place->path, path.constData(), sizeof place->path - 1);
    const QByteArray suffix = info->getSuffix().toUtf8();
    std::strncpy(place->suffix, suffix.constData(), sizeof place->suffix - 1);
    // A find in several pieces is read by its runs.
    FileRecoveredInfo *copy = FileRecoveredInfo::newRecoveredInfo(place, info->getRuns());
    copy->setDevFile(info->getDevFile());  // a path too long for the record's field
    return copy;
}

}  // namespace

PreviewThread::PreviewThread(PreviewDialog *dialog_, FileRecoveredInfo *info_)
    : QThread(nullptr), dialog(dialog_), info(copyOf(info_)) {}

PreviewThread::~PreviewThread() { delete info; }

void PreviewThread::run() {
    QImage picture;
    if (info && SuffixUtils::categoryOf(info->getSuffix()) == SuffixUtils::Pictures) {
        if (auto *image = dynamic_cast<ImageFileRecoveredInfo *>(info)) picture = image->readPicture();
    }
    emit pictureRead(picture);
}
