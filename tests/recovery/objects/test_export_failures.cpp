// A failed export leaves nothing under the record's name: a partly written
// file there would pass for a recovered one.
#include "qt_test_support.h"
#include "support/qt_files.h"

#include "recovery/recoveredinfo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace lmrtest;

TEST(ExportFailures, NothingIsLeftUnderTheNameAndTheReasonIsKept) {
    Bytes bytes = random_bytes(6000, 3);
    TempFile vol(bytes, "vol");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    // The record runs 3000 bytes past the end of its volume: the copy gets
    // 2000 bytes written before the source gives out.
    std::unique_ptr<FileRecoveredInfo> past(
        FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 4000, 5000, "zip")));
    past->readInfo();
    past->setExportPath(dir.path());
    EXPECT_FALSE(past->exportSelf());
    EXPECT_TRUE(past->getExportError().contains("cannot read")) << past->getExportError().toStdString();
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty()) << entriesOf(dir.path()).join(", ").toStdString();

    // The name is taken by a folder, then by an earlier file: both stay as
    // they were, and the find takes the next free name, which the record
    // tells.  A success clears the reason of the last failure.
    std::unique_ptr<FileRecoveredInfo> blocked(
        FileRecoveredInfo::newRecoveredInfo(makeInfo(vol.path(), 1024, 2048, "zip")));
    blocked->readInfo();
    blocked->setExportPath(dir.filePath("missing"));
    EXPECT_FALSE(blocked->exportSelf());
    EXPECT_FALSE(blocked->getExportError().isEmpty());
    EXPECT_TRUE(blocked->getExportedFile().isEmpty());
    blocked->setExportPath(dir.path());
    ASSERT_TRUE(QDir().mkpath(dir.filePath("file1024.zip/inside")));
    {
        QFile stale(dir.filePath("file1024 (1).zip"));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray(9000, 'x'));
    }
    ASSERT_TRUE(blocked->exportSelf()) << blocked->getExportError().toStdString();
    EXPECT_TRUE(blocked->getExportError().isEmpty());
    EXPECT_EQ(blocked->getExportedFile(), dir.filePath("file1024 (2).zip"));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{"file1024 (1).zip", "file1024 (2).zip", "file1024.zip"}));
    EXPECT_TRUE(QFileInfo(dir.filePath("file1024.zip/inside")).isDir());
    EXPECT_EQ(QFileInfo(dir.filePath("file1024 (1).zip")).size(), 9000);
    EXPECT_EQ(read_file(dir.filePath("file1024 (2).zip").toStdString()),
              Bytes(bytes.begin() + 1024, bytes.begin() + 1024 + 2048));
}
