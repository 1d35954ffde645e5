#include "previewthread.h"

#include "findpicture.h"

#include "recovery/recoveredinfo.h"
#include "recovery/suffixutils.h"

PreviewThread::PreviewThread(PreviewDialog *dialog_, FileRecoveredInfo *info_)
    : QThread(nullptr), dialog(dialog_), info(FindPicture::detachedCopy(info_)) {}

PreviewThread::~PreviewThread() { delete info; }

void PreviewThread::run() {
    QImage picture;
    if (info && SuffixUtils::categoryOf(info->getSuffix()) == SuffixUtils::Pictures)
        picture = FindPicture::read(info);
    emit pictureRead(picture);
}
