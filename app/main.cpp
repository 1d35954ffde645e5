// lumarek-recovery: the desktop program.
//
//   lumarek-recovery [IMAGE...]
//
// Disk image files named on the command line are offered after the system's
// partitions, so that an image can be recovered from without root.
#include "applanguage.h"
#include "mainwindow.h"

#include "recovery/volumecheck.h"

#include <QApplication>
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

    QStringList images;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString path = QFileInfo(args.at(i)).absoluteFilePath();
        const QString problem = VolumeCheck::inputKindProblem(path);
        if (!problem.isEmpty()) {
            fprintf(stderr, "lumarek-recovery: %s\n", qPrintable(problem));
            continue;
        }
        images << path;
    }

    MainWindow window(nullptr, images);
    window.show();
    return app.exec();
}
