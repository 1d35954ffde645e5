// Running lumarek-carve and reading what it leaves behind.
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace clitest {

struct CarveRun {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

inline CarveRun carve(const QStringList &args, int msecs = 120000) {
    QProcess p;
    p.start(QStringLiteral(LUMAREK_CARVE), args);
    CarveRun r;
    if (!p.waitForFinished(msecs)) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitCode();
    r.status = p.exitStatus();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

inline QByteArray sha256File(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray();
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

// The find lines of standard output: offset, length, suffix, name.
struct Find {
    quint64 offset;
    quint64 length;
    QString suffix;
    QString name;
};

inline QList<Find> findLines(const QString &out) {
    QList<Find> finds;
    for (const QString &line : out.split(QLatin1Char('\n'))) {
        QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() != 4) continue;
        finds.append({f[0].toULongLong(), f[1].toULongLong(), f[2], f[3]});
    }
    return finds;
}

// The sample pictures the carver's tests place in a plain volume, at
// sector offsets: jpg 38898 bytes, gif 3200, png 10240.
struct Placed {
    const char *sample;
    size_t offset;
};
inline const Placed kPlaced[] = {
    {"jpg_jfif_baseline_01.jpg", 512},
    {"gif87a_2colour.gif", 65536},
    {"png_edge_10240.png", 90112},
};

}  // namespace clitest
