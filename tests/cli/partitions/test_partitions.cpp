// lumarek-carve on a whole disk with an MBR: --list-partitions, a scan of
// every partition (free clusters of the FAT one, the unformatted one and
// the space between them whole), --partition N, --whole, and the report's
// partition of each find.
#include "cli_test_support.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QMap>
#include <QTemporaryDir>
#include <QXmlStreamReader>

using namespace clitest;

namespace {

constexpr size_t kSector = 512;
constexpr size_t kFatStart = 256 * kSector;   // partition 1: the FAT12 volume (512 sectors)
constexpr size_t kRawStart = 1024 * kSector;  // partition 2: unformatted (512 sectors)
constexpr size_t kDataStart = 35 * kSector;   // of the FAT12 volume: 2 KiB clusters from here
constexpr size_t kLivePng = kFatStart + kDataStart;                 // cluster 2, in use
constexpr size_t kDeletedPng = kFatStart + kDataStart + 18 * 2048;  // cluster 20, free
constexpr size_t kGapJpg = 800 * kSector;                           // between the partitions
constexpr size_t kRawGif = kRawStart + 3 * kSector;

void put(lmrtest::Bytes &d, size_t at, const lmrtest::Bytes &b) {
    EXPECT_FALSE(b.empty());
    std::copy(b.begin(), b.end(), d.begin() + long(at));
}

void entry(lmrtest::Bytes &d, int slot, uint8_t type, uint32_t start, uint32_t count) {
    unsigned char *e = d.data() + 446 + 16 * slot;
    e[4] = type;
    for (int i = 0; i < 4; ++i) {
        e[8 + i] = uint8_t(start >> (8 * i));
        e[12 + i] = uint8_t(count >> (8 * i));
    }
}

class Disk : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        lmrtest::Bytes d(2048 * kSector, 0);
        d[510] = 0x55;
        d[511] = 0xAA;
        entry(d, 0, 0x01, kFatStart / kSector, 512);
        entry(d, 1, 0x83, kRawStart / kSector, 512);
        lmrtest::Bytes fat = lmrtest::read_file(std::string(LUMAREK_SOURCE_DIR) + "/fuzz/seeds/fat1216/tiny-fat12.img");
        ASSERT_GE(fat.size(), kDataStart);
        fat.resize(512 * kSector, 0);
        for (size_t i = 3; i < 15; ++i) fat[kSector + i] = 0xFF;  // clusters 2 to 9 in use
        put(d, kFatStart, fat);
        const lmrtest::Bytes png = lmrtest::read_file(lmrtest::data_path("image/png_edge_10240.png"));
        ASSERT_EQ(png.size(), 10240u);
        put(d, kLivePng, png);
        put(d, kDeletedPng, png);
        put(d, kGapJpg, lmrtest::read_file(lmrtest::data_path("recovery/jpg_jfif_baseline_01.jpg")));
        put(d, kRawGif, lmrtest::read_file(lmrtest::data_path("recovery/gif87a_2colour.gif")));
        path = dir.filePath(QStringLiteral("card.img"));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char *>(d.data()), qint64(d.size()));
    }
    QList<quint64> offsets(const QStringList &args) {
        CarveRun r = carve(args + QStringList{path});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        QList<quint64> out;
        for (const Find &f : findLines(r.out)) out.append(f.offset);
        std::sort(out.begin(), out.end());
        return out;
    }
    QTemporaryDir dir;
    QString path;
};

}  // namespace

TEST_F(Disk, ListsItsPartitions) {
    CarveRun r = carve({QStringLiteral("--list-partitions"), path});
    EXPECT_EQ(r.exitCode, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("MBR"));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("1\t131072\t"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("\t0x01\t\tFAT12"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral("\t0x83\t\t"))) << lines[2].toStdString();

    CarveRun bad = carve({QStringLiteral("--partition"), QStringLiteral("3"), path});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_TRUE(bad.err.contains(QStringLiteral("no partition 3"))) << bad.err.toStdString();
}

TEST_F(Disk, ScansEachPartitionByItsFileSystemWithOffsetsOfTheDisk) {
    // The live picture of the FAT volume is not found; the deleted one, the
    // one between the partitions and the one in the unformatted partition are.
    EXPECT_EQ(offsets({}), (QList<quint64>{kDeletedPng, kGapJpg, kRawGif}));
    EXPECT_EQ(offsets({QStringLiteral("--partition"), QStringLiteral("1")}), (QList<quint64>{kDeletedPng}));
    EXPECT_EQ(offsets({QStringLiteral("--partition"), QStringLiteral("2")}), (QList<quint64>{kRawGif}));
    EXPECT_EQ(offsets({QStringLiteral("--whole")}), (QList<quint64>{kLivePng, kDeletedPng, kGapJpg, kRawGif}));
}

namespace {

// What a report says of the partitions: the table's entries (number, start,
// length) and, by the offset of its first byte, each find's partition and
// that partition's start (0, 0 for a find outside every partition).
struct ReportedPartitions {
    QString scheme;
    QList<QList<quint64>> table;
    QMap<quint64, QPair<int, quint64>> finds;
};

ReportedPartitions partitionsOf(const QString &report) {
    QFile f(report);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&f);
    ReportedPartitions r;
    bool inPartition = false, inFile = false, firstRun = true;
    quint64 start = 0, length = 0, offset = 0;
    QPair<int, quint64> where;
    while (!xml.atEnd()) {
        xml.readNext();
        const QStringRef n = xml.name();
        if (xml.isStartElement()) {
            if (n == QLatin1String("pstype_str")) r.scheme = xml.readElementText();
            else if (n == QLatin1String("partitionobject")) inPartition = true;
            else if (n == QLatin1String("fileobject")) inFile = true, firstRun = true, where = {0, 0};
            else if (inPartition && n == QLatin1String("byte_run")) {
                start = xml.attributes().value("img_offset").toULongLong();
                length = xml.attributes().value("len").toULongLong();
            } else if (inPartition && n == QLatin1String("partition_index")) {
                r.table.append({xml.readElementText().toULongLong(), start, length});
            } else if (inFile && n == QLatin1String("byte_run") && firstRun) {
                offset = xml.attributes().value("img_offset").toULongLong();
                firstRun = false;
            } else if (inFile && n == QLatin1String("partition")) {
                where.first = xml.readElementText().toInt();
            } else if (inFile && n == QLatin1String("partition_start")) {
                where.second = xml.readElementText().toULongLong();
            }
        } else if (xml.isEndElement()) {
            if (n == QLatin1String("partitionobject")) inPartition = false;
            if (n == QLatin1String("fileobject")) {
                r.finds.insert(offset, where);
                inFile = false;
            }
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return r;
}

}  // namespace

TEST_F(Disk, TheReportNamesThePartitionOfEachFind) {
    // Every find of the whole disk, the live picture too: each names the
    // partition holding its first byte, and the one between them none.
    const QString report = dir.filePath(QStringLiteral("card.xml"));
    EXPECT_EQ(offsets({QStringLiteral("--whole"), QStringLiteral("--report"), report}),
              (QList<quint64>{kLivePng, kDeletedPng, kGapJpg, kRawGif}));
    ReportedPartitions r = partitionsOf(report);
    EXPECT_EQ(r.scheme, QStringLiteral("MBR"));
    EXPECT_EQ(r.table, (QList<QList<quint64>>{{1, kFatStart, 512 * kSector}, {2, kRawStart, 512 * kSector}}));
    using At = QPair<int, quint64>;
    EXPECT_EQ(r.finds.value(kLivePng), At(1, kFatStart));
    EXPECT_EQ(r.finds.value(kDeletedPng), At(1, kFatStart));
    EXPECT_EQ(r.finds.value(kGapJpg), At(0, 0));
    EXPECT_EQ(r.finds.value(kRawGif), At(2, kRawStart));
    EXPECT_EQ(r.finds.size(), 4);

    // One partition scanned: its finds still name it.
    EXPECT_EQ(offsets({QStringLiteral("--partition"), QStringLiteral("2"), QStringLiteral("--report"), report}),
              (QList<quint64>{kRawGif}));
    r = partitionsOf(report);
    EXPECT_EQ(r.finds.value(kRawGif), At(2, kRawStart));

    // An input without a table: no partition anywhere in the report.
    const QString plain = dir.filePath(QStringLiteral("plain.img"));
    {
        QFile in(path), out(plain);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        QByteArray d = in.readAll();
        d[510] = 0;  // no boot signature: no table
        out.write(d);
    }
    CarveRun run = carve({QStringLiteral("--whole"), QStringLiteral("-t"), QStringLiteral("gif"), QStringLiteral("--report"), report, plain});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    r = partitionsOf(report);
    EXPECT_TRUE(r.scheme.isEmpty());
    EXPECT_TRUE(r.table.isEmpty());
    EXPECT_EQ(r.finds.value(kRawGif), At(0, 0));
}
