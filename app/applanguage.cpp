#include "applanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace AppLanguage {

namespace {

// The translators this module installed, removed again on the next install.
QTranslator *installedOwn = nullptr;
QTranslator *installedQt = nullptr;

void remove(QTranslator *&t) {
    if (!t) return;
    QCoreApplication::removeTranslator(t);
    delete t;
    t = nullptr;
}

QLocale firstLanguage(const QLocale &locale) {
    const QStringList languages = locale.uiLanguages();
    return languages.isEmpty() ? locale : QLocale(languages.first());
}

}  // namespace

bool isChinese(const QLocale &locale) { return firstLanguage(locale).language() == QLocale::Chinese; }

bool install(const QLocale &locale) {
    remove(installedOwn);
    remove(installedQt);
    if (isChinese(locale)) {
        // Qt's own buttons and dialogs (OK, Cancel, the folder dialog) in
        // Chinese too, from Qt's packaged translations; without them they
        // stay English and the window's own texts are still Chinese.
        auto *qt = new QTranslator();
        if (qt->load(firstLanguage(locale), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
            QCoreApplication::installTranslator(qt);
            installedQt = qt;
        } else {
            delete qt;
        }
        return true;
    }
    auto *english = new QTranslator();
    if (!english->load(QStringLiteral(":/translations/lumarek-recovery_en.qm"))) {
        delete english;
        return false;
    }
    QCoreApplication::installTranslator(english);
    installedOwn = english;
    return true;
}

bool qtTranslated() { return installedQt != nullptr; }

}  // namespace AppLanguage
