// The scan session: which progress reports pass, the hand-over of finds
// with its limit, finds of a replaced scan that never reach the next one,
// and exports on the worker with a result per file and a cancel that leaves
// only whole files.
#include "qt_test_support.h"

#include "recovery/device.h"
#include "recovery/recoveredinfo.h"
#include "recovery/scansession.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

namespace {

// A record of `length` bytes at `offset` of `path`, named as the scan names it.
FileRecoveredInfo *record(const QString &path, quint64 offset, quint64 length, quint64 scan) {
    FileRecoveredInfo *r =
        FileRecoveredInfo::newRecoveredInfo(lmrtest::makeInfo(path.toStdString(), offset, length, "pdf"));
    r->readName();
    r->setScan(scan);
    return r;
}

// A file of `bytes` counting bytes (offset & 0xff).
QString countingFile(const QTemporaryDir &dir, int bytes) {
    QByteArray data(bytes, '\0');
    for (int i = 0; i < bytes; ++i) data[i] = char(i & 0xff);
    const QString path = dir.filePath(QStringLiteral("volume.img"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
    return path;
}

// What a session reported, signal by signal.
struct Reports {
    QList<QList<QVariant>> ended, progress, results, finished;
    explicit Reports(ScanSession *s) {
        QObject::connect(s, &ScanSession::scanEnded, [this](int e, int c) { ended << QList<QVariant>{e, c}; });
        QObject::connect(s, &ScanSession::exportProgress, [this](int a, int b, qint64 c, qint64 d) {
            progress << QList<QVariant>{a, b, c, d};
        });
        QObject::connect(s, &ScanSession::fileExported, [this](FileRecoveredInfo *, bool ok, const QString &t) {
            results << QList<QVariant>{QVariant(), ok, t};
        });
        QObject::connect(s, &ScanSession::exportFinished, [this](int a, int b, bool c) {
            finished << QList<QVariant>{a, b, c};
        });
    }
};

}  // namespace

TEST(ProgressThrottle, BytesPassAStepPastTheLastAndAtTheTotalPercentagesOnAWholeChange) {
    ProgressThrottle t;
    const quint64 total = 1000000;
    EXPECT_FALSE(t.bytes(104856, total));  // not past the step
    EXPECT_TRUE(t.bytes(104857, total));
    EXPECT_FALSE(t.bytes(209713, total));
    EXPECT_TRUE(t.holding());
    EXPECT_EQ(t.heldValue(), 209713u);
    EXPECT_TRUE(t.bytes(209714, total));
    EXPECT_FALSE(t.bytes(1000, total));    // a lower value is held
    EXPECT_TRUE(t.bytes(total, total));    // the end always passes
    EXPECT_TRUE(t.bytes(total, total));    // ... even when it repeats
    EXPECT_FALSE(t.holding());

    EXPECT_EQ(t.percent(12.3f), 12);
    EXPECT_EQ(t.percent(12.9f), -1);
    EXPECT_EQ(t.percent(13.0f), 13);
    EXPECT_EQ(t.percent(13.99f), -1);
    t.reset();
    EXPECT_EQ(t.percent(13.5f), 13);
}

TEST(ScanSession, FindsWaitUpToTheLimitAndAReplacedScansFindsNeverReachTheNextOne) {
    QTemporaryDir dir;
    const QString path = countingFile(dir, 64 * 1024);
    std::unique_ptr<Device> device(DeviceManager::deviceForPath(path));
    ScanSession session;
    session.setWaitingLimit(4);
    const quint64 first = session.start(device.get(), {QStringLiteral("pdf")}, false);
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !session.scanning(); }, 20000));

    // A validation thread of the first scan hands over more than may wait.
    std::unique_ptr<QThread> feeder(QThread::create([&] {
        for (int i = 0; i < 6; ++i) session.handOver(first, record(path, quint64(i) * 512, 100, first));
    }));
    feeder->start();
    EXPECT_FALSE(feeder->wait(300)) << "the hand-over did not wait for room";
    EXPECT_EQ(session.waitingFinds(), 4);
    QList<FileRecoveredInfo *> taken = session.takeFinds(2);
    ASSERT_EQ(taken.size(), 2);
    EXPECT_EQ(taken.first()->getOffset(), 0);
    EXPECT_EQ(taken.first()->getScan(), first);
    qDeleteAll(taken);
    EXPECT_TRUE(feeder->wait(5000));
    EXPECT_EQ(session.waitingFinds(), 4);

    // A new scan: what the first left waiting goes, and what its threads
    // hand over late is dropped.
    const quint64 second = session.start(device.get(), {QStringLiteral("pdf")}, false);
    EXPECT_NE(second, first);
    EXPECT_EQ(session.currentScan(), second);
    EXPECT_EQ(session.waitingFinds(), 0);
    session.handOver(first, record(path, 0, 100, first));
    EXPECT_EQ(session.waitingFinds(), 0);
    session.handOver(second, record(path, 512, 100, second));
    taken = session.takeFinds(10);
    ASSERT_EQ(taken.size(), 1);
    EXPECT_EQ(taken.first()->getScan(), second);
    qDeleteAll(taken);
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !session.scanning(); }, 20000));
    EXPECT_EQ(session.liveScans(), 0);
}

TEST(ScanSession, AScanEndsOnceAndStopIsReportedAsStopped) {
    QTemporaryDir dir;
    const QString path = countingFile(dir, 64 * 1024);
    std::unique_ptr<Device> device(DeviceManager::deviceForPath(path));
    ScanSession session;
    Reports r(&session);
    auto &ended = r.ended;
    session.start(device.get(), {}, false);
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return ended.count() == 1; }, 20000));
    EXPECT_EQ(ended.first().at(0).toInt(), int(ScanSession::Completed));

    // Stopped before the engine could start: still stopped, and said once.
    session.start(device.get(), {}, false);
    session.stop();
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return ended.count() == 2; }, 20000));
    lmrtest::pumpUntil([] { return false; }, 100);
    EXPECT_EQ(ended.count(), 2);
    EXPECT_EQ(ended.last().at(0).toInt(), int(ScanSession::Stopped));
}

TEST(ScanSession, ExportsRunOnTheWorkerWithAResultPerFileAndACancelLeavesWholeFiles) {
    QTemporaryDir dir, out;
    const QString path = countingFile(dir, 256 * 1024);
    ScanSession session;
    QList<FileRecoveredInfo *> records;
    for (int i = 0; i < 8; ++i) records << record(path, quint64(i) * 16384, 16384, 0);
    // One lies past the end of the volume and cannot be read.
    records << record(path, 255 * 1024, 5000, 0);
    Reports r(&session);
    auto &progress = r.progress;
    auto &results = r.results;
    auto &finished = r.finished;
    ASSERT_TRUE(session.exportFiles(records, out.path()));
    EXPECT_FALSE(session.exportFiles(records, out.path())) << "a second export while one runs";
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return finished.count() == 1; }, 20000));
    EXPECT_FALSE(session.exporting());
    EXPECT_EQ(finished.first().at(0).toInt(), 8);
    EXPECT_EQ(finished.first().at(1).toInt(), 1);
    EXPECT_FALSE(finished.first().at(2).toBool());
    ASSERT_EQ(results.count(), 9);
    EXPECT_FALSE(results.last().at(1).toBool());
    EXPECT_FALSE(results.last().at(2).toString().isEmpty()) << "a failure says why";
    ASSERT_EQ(progress.count(), 9);
    EXPECT_EQ(progress.last().at(0).toInt(), 9);
    EXPECT_EQ(progress.last().at(3).toLongLong(), 8 * 16384 + 5000);

    // Cancelled at once: what is there is whole.
    QTemporaryDir again;
    finished.clear();
    auto &finishedAgain = finished;
    ASSERT_TRUE(session.exportFiles(records.mid(0, 8), again.path()));
    session.cancelExport();
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return finishedAgain.count() == 1; }, 20000));
    const QStringList files = QDir(again.path()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(files.size(), finishedAgain.first().at(0).toInt());
    for (const QString &f : files) EXPECT_EQ(QFileInfo(QDir(again.path()).filePath(f)).size(), 16384) << qPrintable(f);
    qDeleteAll(records);
}

namespace {

// A plain image holding sample files of the test data at the given offsets.
QString imageOf(const QTemporaryDir &dir, const QString &name, const QList<QPair<int, QString>> &files) {
    QByteArray data(1024 * 1024, '\0');
    for (const auto &f : files) {
        QFile sample(QStringLiteral(LUMAREK_TEST_DATA "/") + f.second);
        sample.open(QIODevice::ReadOnly);
        const QByteArray bytes = sample.readAll();
        data.replace(f.first, bytes.size(), bytes);
    }
    const QString path = dir.filePath(name);
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(data);
    return path;
}

using Listed = QList<QPair<qint64, QString>>;  // offset, name

// Takes what `session` hands over until its scan has ended.
void collect(ScanSession &session, Listed *listed, const QString &input) {
    for (FileRecoveredInfo *r : session.takeFinds(1000)) {
        EXPECT_EQ(r->getScan(), session.currentScan());
        EXPECT_EQ(r->getDevFile(), input);
        *listed << qMakePair(r->getOffset(), r->getName());
        delete r;
    }
}

}  // namespace

// Two sessions scanning two images at once, one in deep mode and one not:
// each lists exactly what it lists alone.
TEST(ScanSession, TwoSessionsScanningAtOnceEachListTheirOwnFinds) {
    QTemporaryDir dir;
    const QString first = imageOf(dir, QStringLiteral("first.img"),
                                  {{0, QStringLiteral("image/jfif.jpg")},
                                   {64 * 1024, QStringLiteral("image/rgb.png")},
                                   {256 * 1024, QStringLiteral("compound/doc_lo_text.doc")},
                                   {512 * 1024, QStringLiteral("image/palette.bmp")}});
    const QString second = imageOf(dir, QStringLiteral("second.img"),
                                   {{4096, QStringLiteral("image/gif87a_128.gif")},
                                    {128 * 1024, QStringLiteral("image/progressive.jpg")},
                                    {384 * 1024, QStringLiteral("compound/xls_xlwt.xls")},
                                    {768 * 1024, QStringLiteral("image/v5.bmp")}});
    std::unique_ptr<Device> one(DeviceManager::deviceForPath(first)), two(DeviceManager::deviceForPath(second));
    const QStringList types{QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("gif"),
                            QStringLiteral("bmp"), QStringLiteral("doc"), QStringLiteral("xls")};

    auto alone = [&](Device *device, bool deep) {
        ScanSession session;
        Listed listed;
        session.start(device, types, deep);
        EXPECT_TRUE(lmrtest::pumpUntil(
            [&] {
                collect(session, &listed, device->getRDevFile());
                return !session.scanning();
            },
            20000));
        collect(session, &listed, device->getRDevFile());
        std::sort(listed.begin(), listed.end());
        return listed;
    };
    const Listed firstAlone = alone(one.get(), true), secondAlone = alone(two.get(), false);
    ASSERT_EQ(firstAlone.size(), 4);
    ASSERT_EQ(secondAlone.size(), 4);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ScanSession a, b;
        Listed listedA, listedB;
        a.start(one.get(), types, true);
        b.start(two.get(), types, false);
        ASSERT_TRUE(lmrtest::pumpUntil(
            [&] {
                collect(a, &listedA, first);
                collect(b, &listedB, second);
                return !a.scanning() && !b.scanning();
            },
            20000));
        collect(a, &listedA, first);
        collect(b, &listedB, second);
        std::sort(listedA.begin(), listedA.end());
        std::sort(listedB.begin(), listedB.end());
        EXPECT_EQ(listedA, firstAlone);
        EXPECT_EQ(listedB, secondAlone);
    }

    // A stop reaches the session it is asked of alone.
    ScanSession a, b;
    Reports endedA(&a), endedB(&b);
    Listed listedB;
    a.start(one.get(), types, true);
    b.start(two.get(), types, false);
    a.stop();
    ASSERT_TRUE(lmrtest::pumpUntil(
        [&] {
            collect(b, &listedB, second);
            return endedA.ended.count() == 1 && endedB.ended.count() == 1;
        },
        20000));
    collect(b, &listedB, second);
    std::sort(listedB.begin(), listedB.end());
    EXPECT_EQ(endedA.ended.first().at(0).toInt(), int(ScanSession::Stopped));
    EXPECT_EQ(endedB.ended.first().at(0).toInt(), int(ScanSession::Completed));
    EXPECT_EQ(listedB, secondAlone);
}
