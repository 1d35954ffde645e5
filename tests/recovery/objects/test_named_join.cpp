// A carved find and a deleted file its file system still names, starting at
// the same byte but disagreeing on the bytes: the file system's are kept
// where its clusters are known to be the file's, the carve's where it
// found the file in pieces whose runs the file system lost, or where the
// named clusters were taken since.
#include "qt_test_support.h"
#include "support/qt_files.h"

#include "recovery/namedfinds.h"
#include "recovery/recoveredinfo.h"

#include <QDir>
#include <QMap>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using namespace lmrtest;

namespace {

QByteArray content(int size, int seed) {
    QByteArray b(size, 0);
    for (int i = 0; i < size; ++i) b[i] = char((i * 7919 + seed * 131) >> 3);
    return b;
}

struct Card {
    QTemporaryDir dir;
    QString image;
    QMap<QString, QByteArray> files;  // name -> bytes

    // Writes the files, then deletes those of `deleted`.
    bool write(const QString &fs, const QStringList &deleted) {
        image = dir.filePath(QStringLiteral("card.img"));
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QFile f(dir.filePath(it.key()));
            if (!f.open(QIODevice::WriteOnly) || f.write(it.value()) != it.value().size()) return false;
        }
        const QString d = QStringLiteral("cd '%1' && ").arg(dir.path());
        if (fs == QLatin1String("fat16")) {
            QString s = d + "export MTOOLS_SKIP_CHECK=1 && truncate -s 8M card.img && "
                            "mkfs.vfat -F 16 -s 1 card.img >/dev/null";
            for (const QString &n : files.keys()) s += " && mcopy -i card.img " + n + " ::" + n;
            for (const QString &n : deleted) s += " && mdel -i card.img ::" + n;
            return sh(s) == 0;
        }
        QString s = d + "truncate -s 16M card.img && mkntfs -F -Q -q card.img >/dev/null && mkdir mnt && "
                        "ntfs-3g card.img mnt && { ";
        for (const QString &n : files.keys()) s += "cp " + n + " mnt/ && ";
        s += "sync && rm";
        for (const QString &n : deleted) s += " mnt/" + n;
        s += " && sync; r=$?; umount mnt; exit $r; }";
        return sh(s) == 0;
    }
};

struct NamedRecord {
    QString path;
    QVector<r_run> runs;
    FileRecoveredInfo::State state;
};

// The card's named finds as records, by their path.
QMap<QString, NamedRecord> namedOf(const QString &image) {
    NamedFinds all;
    all.load(image);
    QMap<QString, NamedRecord> out;
    for (FileRecoveredInfo *r : all.takeRest(image)) {
        out.insert(r->getOriginalPath(), {r->getOriginalPath(), r->getRuns(), r->getState()});
        delete r;
    }
    return out;
}

// A carve of `image` in `runs`, as the validation thread hands it over.
std::unique_ptr<FileRecoveredInfo> carved(const QString &image, const QVector<r_run> &runs) {
    quint64 total = 0;
    for (const r_run &r : runs) total += r.length;
    std::unique_ptr<FileRecoveredInfo> r(FileRecoveredInfo::newRecoveredInfo(
        makeInfo(image.toStdString(), runs.first().offset, total, "bin"), runs));
    r->readName();
    return r;
}

// Joins a carve over `runs` with a fresh walk of the card.
std::unique_ptr<FileRecoveredInfo> joined(const QString &image, const QVector<r_run> &runs) {
    NamedFinds names;
    names.load(image);
    auto r = carved(image, runs);
    EXPECT_TRUE(names.annotate(r.get()));
    return r;
}

}  // namespace

TEST(NamedJoin, AnIntactFatFileKeepsItsOwnSizeUnlessTheCarveFoundItInPieces) {
    if (sh(QStringLiteral("command -v mkfs.vfat && command -v mcopy >/dev/null")) != 0)
        GTEST_SKIP() << "dosfstools or mtools missing";
    Card card;
    card.files = {{QStringLiteral("Keep.bin"), content(20000, 1)},
                  {QStringLiteral("Taken.bin"), content(20000, 2)},
                  {QStringLiteral("Live.bin"), content(5000, 3)}};
    ASSERT_TRUE(card.write(QStringLiteral("fat16"), {QStringLiteral("Keep.bin"), QStringLiteral("Taken.bin")}));

    // Taken.bin's eleventh cluster (of 512 bytes) is given to a live file:
    // its first cluster stays free.
    {
        QFile f(card.image);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        const QByteArray boot = f.read(512);
        auto le16 = [&](int at) { return quint64(uchar(boot[at])) | quint64(uchar(boot[at + 1])) << 8; };
        const quint64 fatAt = le16(14) * 512, dataAt = (le16(14) + 2 * le16(22)) * 512 + le16(17) * 32;
        const auto named = namedOf(card.image);
        ASSERT_TRUE(named.contains(QStringLiteral("Taken.bin")));
        const quint64 cluster = (named[QStringLiteral("Taken.bin")].runs.first().offset - dataAt) / 512 + 2 + 10;
        ASSERT_TRUE(f.seek(qint64(fatAt + cluster * 2)));
        ASSERT_EQ(f.write(QByteArray("\xFF\xFF", 2)), 2);
    }
    const auto named = namedOf(card.image);
    ASSERT_EQ(named.size(), 2);
    const NamedRecord keep = named[QStringLiteral("Keep.bin")], taken = named[QStringLiteral("Taken.bin")];
    ASSERT_EQ(keep.state, FileRecoveredInfo::Named);
    ASSERT_EQ(taken.state, FileRecoveredInfo::Overwritten);
    const quint64 start = keep.runs.first().offset;

    // The probe took the start for the file but judged its end otherwise
    // (a cut-short or an over-long carve): the file system's size holds.
    for (quint64 carvedLength : {8192ull, 60000ull}) {
        auto r = joined(card.image, {{start, carvedLength}});
        EXPECT_EQ(r->getLen(), 20000) << carvedLength;
        EXPECT_FALSE(r->isFragmented());
        EXPECT_EQ(r->getState(), FileRecoveredInfo::Named);
        EXPECT_EQ(r->getOriginalPath(), QStringLiteral("Keep.bin"));
        EXPECT_EQ(r->readData(), card.files[QStringLiteral("Keep.bin")]) << carvedLength;
    }
    // FAT lost the chain; the carve found the file in two pieces: its
    // pieces are kept.
    const QVector<r_run> pieces = {{start, 10240}, {start + 30720, 9760}};
    auto split = joined(card.image, pieces);
    EXPECT_TRUE(split->isFragmented());
    EXPECT_EQ(split->getLen(), 20000);
    EXPECT_EQ(split->getRuns().size(), 2);
    EXPECT_EQ(split->getRuns().last().offset, pieces.last().offset);
    EXPECT_EQ(split->getOriginalPath(), QStringLiteral("Keep.bin"));

    // Some of its clusters belong to a live file now: what the carve found
    // from its free first cluster is kept, whatever its length.
    const quint64 takenStart = taken.runs.first().offset;
    for (quint64 carvedLength : {5120ull, 20000ull}) {
        auto r = joined(card.image, {{takenStart, carvedLength}});
        EXPECT_EQ(r->getLen(), qint64(carvedLength));
        EXPECT_EQ(r->getOriginalPath(), QStringLiteral("Taken.bin"));
    }
}

TEST(NamedJoin, AnNtfsFileKeepsItsRunsOverACarveInOtherPieces) {
    if (sh(QStringLiteral("command -v mkntfs && command -v ntfs-3g >/dev/null")) != 0) GTEST_SKIP() << "ntfs-3g missing";
    Card card;
    card.files = {{QStringLiteral("kept.bin"), content(70000, 4)}, {QStringLiteral("Live.bin"), content(9000, 5)}};
    if (!card.write(QStringLiteral("ntfs"), {QStringLiteral("kept.bin")}))
        GTEST_SKIP() << "no NTFS volume can be mounted here";
    const auto named = namedOf(card.image);
    ASSERT_TRUE(named.contains(QStringLiteral("kept.bin")));
    const NamedRecord kept = named[QStringLiteral("kept.bin")];
    ASSERT_EQ(kept.state, FileRecoveredInfo::Named);
    const quint64 start = kept.runs.first().offset;
    // Its runs are the file system's own: they win over a carve in pieces
    // and over one of another length.
    for (const QVector<r_run> &carve : {QVector<r_run>{{start, 4096}, {start + 65536, 65904}},
                                        QVector<r_run>{{start, 100000}}}) {
        auto r = joined(card.image, carve);
        EXPECT_EQ(r->getLen(), 70000);
        EXPECT_EQ(r->readData(), card.files[QStringLiteral("kept.bin")]);
        EXPECT_EQ(r->getOriginalPath(), QStringLiteral("kept.bin"));
    }
}
