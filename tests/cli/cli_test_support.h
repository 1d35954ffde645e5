// Running lumarek-carve and reading what it leaves behind.
#pragma once

#include "support/qt_printing.h"
#include "support/test_support.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

namespace clitest {

// The core application of a test that drives the carver's session code
// in-process, for the life of the object.
struct CoreApp {
    int argc = 1;
    char name[5] = "test";
    char *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
};

struct CarveRun {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out;
    QString err;
};

// The working group's DFXML schema every report is checked against; empty
// where it is not at hand (LUMAREK_DFXML_SCHEMA at configure time).
inline QString dfxmlSchema() {
    const QString path = QStringLiteral(LUMAREK_DFXML_SCHEMA);
    return !path.isEmpty() && QFile::exists(path) ? path : QString();
}

// What xmllint says against `report` when it does not validate; empty when
// it does (or when there is no schema to check it with).
inline QString dfxmlProblem(const QString &report) {
    const QString schema = dfxmlSchema();
    if (schema.isEmpty()) return QString();
    QProcess lint;
    lint.start(QStringLiteral("xmllint"), {QStringLiteral("--noout"), QStringLiteral("--schema"), schema, report});
    if (!lint.waitForFinished(60000)) return QStringLiteral("xmllint did not finish");
    if (lint.exitStatus() == QProcess::NormalExit && lint.exitCode() == 0) return QString();
    return QString::fromUtf8(lint.readAllStandardError()).left(2000);
}

// A report the run wrote (--report FILE in `args`) must be valid DFXML.
// Runs refused before the scan (status 1 or 2) write none.
inline void expectValidReport(const QStringList &args, int exitCode) {
    const int at = args.indexOf(QStringLiteral("--report"));
    if (at < 0 || at + 1 >= args.size() || exitCode == 1 || exitCode == 2) return;
    const QString report = args.at(at + 1);
    if (!QFile::exists(report)) return;
    const QString problem = dfxmlProblem(report);
    EXPECT_TRUE(problem.isEmpty()) << report.toStdString() << " is not valid DFXML:\n" << problem.toStdString();
}

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
    expectValidReport(args, r.exitCode);
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

// A plain volume of 128 KiB (no file system): the sample pictures of
// kPlaced at their offsets between random bytes.  Empty when a sample is
// missing.
inline lmrtest::Bytes placedVolume() {
    lmrtest::Bytes vol = lmrtest::random_bytes(128 * 1024, 7);
    for (const Placed &p : kPlaced) {
        const lmrtest::Bytes s = lmrtest::read_file(lmrtest::data_path(std::string("recovery/") + p.sample));
        if (s.empty()) return {};
        std::copy(s.begin(), s.end(), vol.begin() + long(p.offset));
    }
    return vol;
}

}  // namespace clitest
