// lumarek-recovery: the desktop program.
//
//   lumarek-recovery [--log FILE] [IMAGE...]
//
// Disk image files named on the command line are offered after the system's
// partitions, so that an image can be recovered from without root; the
// first is chosen.  The engine's diagnostic lines go to FILE, else to
// ~/.cache/lumarek/lumarek-recovery.log.
#include "applanguage.h"
#include "diagnosticlog.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumarek-recovery"));
    QApplication::setApplicationVersion(QStringLiteral(LUMAREK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("lumarek-recovery"));
    // Chinese for a Chinese locale, English for every other.
    if (!AppLanguage::install(QLocale::system()))
        fprintf(stderr, "lumarek-recovery: the English translation is missing; the window shows its Chinese texts\n");

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Recover deleted files from a partition, a card or a disk image."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption logOpt(QStringLiteral("log"),
                              QStringLiteral("Write the engine's diagnostic lines to FILE (default: %1).")
                                  .arg(DiagnosticLog::defaultPath()),
                              QStringLiteral("FILE"));
    parser.addOption(logOpt);
    parser.addPositionalArgument(QStringLiteral("IMAGE"), QStringLiteral("Disk image files to offer."),
                                 QStringLiteral("[IMAGE...]"));
    parser.process(app);

    // Paths the window cannot scan are said in the window, not left out.
    QStringList images;
    for (const QString &arg : parser.positionalArguments()) images << QFileInfo(arg).absoluteFilePath();

    MainWindow window(nullptr, images);
    if (parser.isSet(logOpt)) window.setLogFile(parser.value(logOpt));
    window.show();
    return app.exec();
}
