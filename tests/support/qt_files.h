// Files and folders for the tests that work through Qt: files of the test
// data, plain volumes made of them, a file written with the rights it is to
// have, and the names a folder holds.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <map>

namespace lmrtest {

// A file of the test data; empty when it is missing.
inline QByteArray testData(const char *name) {
    QFile f(QStringLiteral(LUMAREK_TEST_DATA "/") + QString::fromUtf8(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A plain volume (no file system): zeros, each file at its offset, and
// `tail` zeros after the last.
inline QByteArray volumeOf(const std::map<int, QByteArray> &files, int tail = 65536) {
    QByteArray vol;
    for (const auto &f : files) {
        if (vol.size() < f.first) vol.append(f.first - vol.size(), '\0');
        vol.append(f.second);
    }
    vol.append(tail, '\0');
    return vol;
}

// Writes `bytes` to `path`; false when it cannot be written whole.
inline bool writeBytes(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Writes `bytes` to `path` and gives it `perms`; false when any of it fails.
inline bool writeFile(const QString &path, const QByteArray &bytes, QFile::Permissions perms) {
    return writeBytes(path, bytes) && QFile::setPermissions(path, perms);
}

// Names in `dir` other than . and .., hidden ones too, by name.
inline QStringList entriesOf(const QString &dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Runs a shell command line; its exit status, -1 when it did not end by
// itself within two minutes.
inline int sh(const QString &command) {
    QProcess p;
    p.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    p.waitForFinished(120000);
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace lmrtest
