#include "applanguage.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

namespace AppLanguage {

bool isChinese(const QLocale &locale) {
    const QStringList languages = locale.uiLanguages();
    const QLocale first = languages.isEmpty() ? locale : QLocale(languages.first());
    return first.language() == QLocale::Chinese;
}

bool install(const QLocale &locale) {
    static QTranslator *installed = nullptr;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    if (isChinese(locale)) return true;
    auto *english = new QTranslator();
    if (!english->load(QStringLiteral(":/translations/lumarek-recovery_en.qm"))) {
        delete english;
        return false;
    }
    QCoreApplication::installTranslator(english);
    installed = english;
    return true;
}

}  // namespace AppLanguage
