#include "recovery/suffixutils.h"

#include "engine/file_types.h"

namespace {

bool inClass(const QString &suffix, lmr::category c) {
    for (const lmr::file_type &t : lmr::k_file_types)
        if (t.cat == c && suffix == QLatin1String(t.name)) return true;
    return false;
}

struct NamedGroup {
    const char *name;
    uint8_t bits;  // 0: every reported type
};
const NamedGroup kGroups[] = {
    {"images", lmr::cli_images},
    {"documents", lmr::cli_documents},
    {"media", lmr::cli_media},
    {"archives", lmr::cli_archives},
    {"all", 0},
};

}  // namespace

SuffixUtils::SuffixUtils(QObject *parent) : QObject(parent) {}

bool SuffixUtils::isVideoSuffix(QString suffix) { return inClass(suffix, lmr::category::video); }

bool SuffixUtils::isAudioSuffix(QString suffix) { return inClass(suffix, lmr::category::audio); }

bool SuffixUtils::isImageSuffix(QString suffix) { return inClass(suffix, lmr::category::image); }

bool SuffixUtils::isCompressedSuffix(QString suffix) { return inClass(suffix, lmr::category::archive); }

bool SuffixUtils::isDocumentSuffix(QString suffix) { return inClass(suffix, lmr::category::document); }

SuffixUtils::Category SuffixUtils::categoryOf(const QString &suffix) {
    const QString s = suffix.toLower();
    if (isImageSuffix(s)) return Pictures;
    if (isDocumentSuffix(s)) return Documents;
    if (isVideoSuffix(s) || isAudioSuffix(s)) return Media;
    if (isCompressedSuffix(s)) return Archives;
    return Other;
}

QStringList SuffixUtils::categoryTypes(Category category) {
    QStringList out;
    for (const QString &name : ScanGroups::members(QStringLiteral("all")))
        if (categoryOf(name) == category) out << name;
    return out;
}

QStringList ScanGroups::names() {
    QStringList out;
    for (const NamedGroup &g : kGroups) out << QLatin1String(g.name);
    return out;
}

QStringList ScanGroups::members(const QString &group) {
    for (const NamedGroup &g : kGroups)
        if (group == QLatin1String(g.name))
            return QString::fromStdString(lmr::carver_group(g.bits)).split(QLatin1Char(','), Qt::SkipEmptyParts);
    return QStringList();
}

bool ScanGroups::findable(const QString &name) { return lmr::findable(name.toUtf8().constData()); }

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
