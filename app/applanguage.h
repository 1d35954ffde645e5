// The language of the window.  Its texts are written in Chinese, and that is
// what a Chinese locale shows; every other locale gets the English
// translation compiled into the program.
#pragma once

class QLocale;

namespace AppLanguage {

// Whether `locale` puts Chinese first among its user-interface languages
// (zh, zh_CN, zh_TW, ...; for the system locale LANGUAGE counts before LANG).
bool isChinese(const QLocale &locale);

// Installs the translation for `locale` on the application, replacing the one
// this function installed before; a Chinese locale gets Qt's own Chinese
// translation (its buttons and dialogs) where it is installed.  Call it before
// the window is built.  False when the English translation could not be
// loaded (the window then shows its Chinese texts).
bool install(const QLocale &locale);

// Qt's own translation was installed by the last install().
bool qtTranslated();

}  // namespace AppLanguage
