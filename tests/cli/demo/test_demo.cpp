// The README's demo: every sample it deletes from its FAT32 volume comes back.
#include "cli_test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace clitest;

TEST(Demo, EveryDeletedSampleComesBack) {
    for (const char *tool : {"mkfs.vfat", "mcopy", "mdel"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty() &&
            QStandardPaths::findExecutable(tool, {"/sbin", "/usr/sbin"}).isEmpty())
            GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString work = dir.filePath("work"), out = dir.filePath("recovered");
    QProcess demo;
    demo.setProcessChannelMode(QProcess::MergedChannels);
    demo.start(QStringLiteral(LUMAREK_SOURCE_DIR "/scripts/demo"),
               {"--carver", QStringLiteral(LUMAREK_CARVE), "--workdir", work, "--output", out});
    ASSERT_TRUE(demo.waitForFinished(600000));
    QString log = QString::fromUtf8(demo.readAll());
    EXPECT_EQ(demo.exitCode(), 0) << log.toStdString();

    // What the demo deleted, by its own account.
    QFile list(work + "/deleted.txt");
    ASSERT_TRUE(list.open(QIODevice::ReadOnly));
    QStringList deleted = QString::fromUtf8(list.readAll()).split('\n', Qt::SkipEmptyParts);
    const QString samples = QStringLiteral(LUMAREK_SOURCE_DIR "/scripts/demo-samples/deleted");
    EXPECT_EQ(deleted.size(), QDir(samples).entryList(QDir::Files).size());
    ASSERT_FALSE(deleted.isEmpty());

    // Everything exported, by content.
    QList<QByteArray> recovered;
    QStringList recoveredPaths;
    for (QDirIterator it(out, QDir::Files); it.hasNext();) {
        QString p = it.next();
        recovered << sha256File(p);
        recoveredPaths << p;
    }
    for (const QString &name : deleted) {
        QString sample = samples + "/" + name;
        if (recovered.contains(sha256File(sample))) continue;
        // Whole, with bytes after the original end (estimated lengths).
        QFile s(sample);
        ASSERT_TRUE(s.open(QIODevice::ReadOnly));
        QByteArray want = s.readAll();
        bool whole = false;
        for (const QString &p : recoveredPaths) {
            QFile r(p);
            if (QFileInfo(p).suffix() == QFileInfo(name).suffix() && r.open(QIODevice::ReadOnly) &&
                r.size() > want.size() && r.read(want.size()) == want) {
                whole = true;
                break;
            }
        }
        EXPECT_TRUE(whole) << name.toStdString() << " was not recovered\n" << log.toStdString();
    }
}
