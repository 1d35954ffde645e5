#include "recovery/suffixutils.h"

namespace {

bool inList(const QString &suffix, std::initializer_list<const char *> list) {
    for (const char *s : list)
        if (suffix == QLatin1String(s)) return true;
    return false;
}

}  // namespace

SuffixUtils::SuffixUtils(QObject *parent) : QObject(parent) {}

bool SuffixUtils::isVideoSuffix(QString suffix) {
    return inList(suffix, {"mp4", "avi", "mpg", "mov", "3gp", "wmv", "3gpp"});
}

bool SuffixUtils::isAudioSuffix(QString suffix) { return inList(suffix, {"mp3", "wav", "wma", "amr"}); }

bool SuffixUtils::isImageSuffix(QString suffix) { return inList(suffix, {"jpg", "png", "gif", "jpeg", "bmp"}); }

bool SuffixUtils::isCompressedSuffix(QString suffix) { return inList(suffix, {"zip", "gzip", "rar", "gz"}); }

bool SuffixUtils::isDocumentSuffix(QString suffix) {
    return inList(suffix, {"pdf", "txt", "doc", "docx", "xls", "xlsx", "ppt", "pptx"});
}

Utils::Utils(QObject *parent) : QObject(parent) {}

QString Utils::formatSize(qint64 size) {
    if (size <= 0) return QStringLiteral("0B");
    const qint64 kib = qint64(1) << 10, mib = qint64(1) << 20, gib = qint64(1) << 30;
    double value = double(size);
    QString unit;
    if (size >= gib) {
        value = value / double(gib);
        unit = QStringLiteral("%1GB");
    } else if (size >= mib) {
        value = value / double(mib);
        unit = QStringLiteral("%1MB");
    } else if (size >= kib) {
        value = value / double(kib);
        unit = QStringLiteral("%1KB");
    } else {
        unit = QStringLiteral("%1B");
    }
    return unit.arg(QString::number(value, 'f', 2));
}
