// lumarek-carve scans deep by default; --no-deep keeps to the built-in rules.
#include "cli_test_support.h"
#include "support/qt_files.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace clitest;

TEST(CarveDeep, DeepByDefaultAndTheBuiltInRulesWithNoDeep) {
    // A LibreOffice document keeps its member sizes in data descriptors:
    // the built-in rules cannot walk it, a deep scan ends it at its end
    // record.  A repacked copy with sizes in its headers is found either way.
    const QByteArray streamed = lmrtest::testData("archive/docx_lo_text.docx");
    const QByteArray sized = lmrtest::testData("archive/xlsx_lo_repacked_ct_first.xlsx");
    ASSERT_FALSE(streamed.isEmpty());
    ASSERT_FALSE(sized.isEmpty());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray vol = lmrtest::volumeOf({{4096, streamed}, {65536, sized}});
    QString volume = dir.filePath("volume.img");
    ASSERT_TRUE(lmrtest::writeBytes(volume, vol));

    QString out = dir.filePath("deep");
    CarveRun deep = carve({"-t", "documents", "-o", out, volume});
    ASSERT_EQ(deep.exitCode, 0) << deep.err.toStdString();
    QList<Find> finds = findLines(deep.out);
    ASSERT_EQ(finds.size(), 2) << deep.out.toStdString();
    EXPECT_EQ(finds[0].offset, 4096u);
    EXPECT_EQ(finds[0].length, quint64(streamed.size()));
    EXPECT_EQ(finds[0].suffix, "docx");
    EXPECT_EQ(sha256File(out + "/" + finds[0].name),
              QCryptographicHash::hash(vol.mid(4096, int(streamed.size())), QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(finds[1].offset, 65536u);
    EXPECT_EQ(finds[1].suffix, "xlsx");

    CarveRun plain = carve({"--no-deep", "-t", "documents", volume});
    ASSERT_EQ(plain.exitCode, 0) << plain.err.toStdString();
    finds = findLines(plain.out);
    ASSERT_EQ(finds.size(), 1) << plain.out.toStdString();
    EXPECT_EQ(finds[0].offset, 65536u);
    EXPECT_EQ(finds[0].length, quint64(sized.size()));

    CarveRun help = carve({"--help"});
    EXPECT_TRUE(help.out.contains("--no-deep")) << help.out.toStdString();
}
