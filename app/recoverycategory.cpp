#include "recoverycategory.h"

#include "recovery/suffixutils.h"

#include "recovery/recoveredinfo.h"

#include <QStringList>

RecoveryCategory::RecoveryCategory(QObject *parent)
    : QObject(parent),
      previewIcon(QStringLiteral(":/icons/resource/icon_preview_default.png")),
      infos(new QList<FileRecoveredInfo *>()) {}

RecoveryCategory::~RecoveryCategory() {
    clear();
    delete infos;
}

void RecoveryCategory::clear() {
    qDeleteAll(*infos);
    infos->clear();
}

void RecoveryCategory::setName(const QString &name_) { name = name_; }
void RecoveryCategory::setIconPath(const QString &path) { iconPath = path; }
void RecoveryCategory::setPreviewIcon(const QString &path) { previewIcon = path; }
void RecoveryCategory::setTable(LMTableWidget *table_) { table = table_; }
QString RecoveryCategory::getName() const { return name; }
QString RecoveryCategory::getIconPath() const { return iconPath; }
QString RecoveryCategory::getPreviewIcon() const { return previewIcon; }
LMTableWidget *RecoveryCategory::getTable() const { return table; }
QList<FileRecoveredInfo *> *RecoveryCategory::getInfos() const { return infos; }

int categoryIndexForSuffix(const QString &suffix) { return int(SuffixUtils::categoryOf(suffix)); }
