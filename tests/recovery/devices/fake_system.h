// A sysfs and proc tree of the test's own, with block devices as the
// kernel shows them, and a dev folder for their device files.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class FakeSystem {
public:
    FakeSystem() { EXPECT_TRUE(dir.isValid()); }
    QString sys() const { return dir.filePath("sys"); }
    QString proc() const { return dir.filePath("proc"); }
    QString dev() const { return dir.filePath("dev"); }

    void write(const QString &rel, const QByteArray &content) {
        QString path = dir.filePath(rel);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    // A block device as the kernel shows it: its folder under devices/,
    // a link in class/block and one in dev/block.
    void block(const QString &devPath, const QString &numbers, qint64 sectors, bool partition) {
        QString real = "sys/devices/" + devPath;
        write(real + "/size", QByteArray::number(sectors) + "\n");
        write(real + "/dev", numbers.toLatin1() + "\n");
        if (partition) write(real + "/partition", "1\n");
        QString name = QFileInfo(devPath).fileName();
        QDir().mkpath(dir.filePath("sys/class/block"));
        QDir().mkpath(dir.filePath("sys/dev/block"));
        QFile::link(dir.filePath(real), dir.filePath("sys/class/block/" + name));
        QFile::link(dir.filePath(real), dir.filePath("sys/dev/block/" + numbers));
    }

    QTemporaryDir dir;
};

}  // namespace
