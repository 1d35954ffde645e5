// Finds of several byte runs reported by the engine during a scan: the
// controller's runs callback turns them into records that read the
// assembled file; finds it cannot take are not reported.
#include "qt_test_support.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"

#include <QMutex>
#include <QMutexLocker>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace lmrtest;

namespace {

const int kJpgKey = 0;

// Where the test's probe reports its finds: at `at` it reports each list of
// runs through the engine's runs callback, and `single` through the
// callback of finds in one range.
struct ProbePlan {
    uint64_t at = 0;
    std::vector<std::vector<r_run>> runLists;
    r_run single{0, 0};
};
ProbePlan g_plan;

uint64_t runsProbe(recovery_state *state, search_spec_entry *entry, const unsigned char *, int32_t, uint64_t offset,
                   uint64_t, int32_t *found) {
    *found = 0;
    if (offset != g_plan.at) return 0;
    for (const std::vector<r_run> &list : g_plan.runLists) {
        std::vector<r_run> scratch = list;
        find_file_runs(state, entry, scratch.data(), int32_t(scratch.size()));
        // The runs are the engine's only during the call.
        std::fill(scratch.begin(), scratch.end(), r_run{0, 0});
    }
    if (g_plan.single.length) find_file(state, entry, g_plan.single.length, g_plan.single.offset);
    return 0;
}

struct Keeper : RecoveryCallback {
    QMutex lock;
    std::vector<std::unique_ptr<FileRecoveredInfo>> records;
    void onRecovered(FileRecoveredInfo *info) override {
        QMutexLocker l(&lock);
        records.emplace_back(info);
    }
    void onProgress(float) override {}
    void onFinished() override {}
    void onFailed(int) override {}
    void onProceed(quint64, quint64) override {}
};

class RunsCallback : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = register_probe(kJpgKey, runsProbe);
        EngineControl::setWholeInput(true);  // a plain image file: no file system
    }
    void TearDown() override {
        register_probe(kJpgKey, saved_);
        DeviceManager::setCurrentDevice(nullptr);
        EngineControl::setWholeInput(false);
        set_callbacks(nullptr, nullptr, nullptr, nullptr);
        set_runs_callback(nullptr);
        g_plan = ProbePlan();
        EXPECT_TRUE(pumpUntil([] { return FileValidationThread::liveCount() == 0; }));
    }
    probe_fn saved_ = nullptr;
};

}  // namespace

TEST_F(RunsCallback, AFindInPiecesBecomesARecordOfTheAssembledFile) {
    // The JPEG sample in three pieces, the second first in the volume, and
    // whole once more after them; junk without 0xFF bytes around.
    const Bytes jpeg = read_file(data_path("recovery/jpg_jfif_baseline_01.jpg"));
    ASSERT_EQ(jpeg.size(), 38898u);
    Bytes v(128 * 1024);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (unsigned char)((i * 37 + 11) & 0x7f);
    const std::vector<r_run> runs = {{20480, 10000}, {4096, 15000}, {45056, 13898}};
    size_t from = 0;
    for (const r_run &r : runs) {
        std::copy(jpeg.begin() + long(from), jpeg.begin() + long(from + r.length), v.begin() + long(r.offset));
        from += r.length;
    }
    std::copy(jpeg.begin(), jpeg.end(), v.begin() + 65536);
    TempFile vol(v, "runs");
    Device device;
    device.setDevFile(QString::fromStdString(vol.path()));
    device.totalSize = qint64(v.size());

    std::vector<r_run> tooMany(LMR_MAX_RUNS + 1, r_run{0, 1});
    tooMany.front() = r_run{20480, 1};
    g_plan.at = 20480;
    g_plan.runLists = {
        runs,
        {{20480, uint64_t(INT64_MAX)}, {4096, 2}},  // no file is that long
        tooMany,
    };
    g_plan.single = r_run{65536, jpeg.size()};

    Keeper keeper;
    {
        FileRecovery rec;
        rec.setRecoveryCallback(&keeper);
        DeviceManager::setCurrentDevice(&device);
        rec.startGroup({QStringLiteral("jpg")});
        ASSERT_TRUE(rec.finishValidation(10000));
    }
    ASSERT_EQ(keeper.records.size(), 2u);  // in the order reported
    const QByteArray expected(reinterpret_cast<const char *>(jpeg.data()), int(jpeg.size()));
    QImage reference;
    reference.loadFromData(expected);
    const QImage thumb = reference.scaled(100, 100, Qt::KeepAspectRatio, Qt::FastTransformation);

    FileRecoveredInfo *pieces = keeper.records[0].get();
    EXPECT_TRUE(pieces->isFragmented());
    const QVector<r_run> got = pieces->getRuns();
    ASSERT_EQ(got.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].offset, runs[size_t(i)].offset) << i;
        EXPECT_EQ(got[i].length, runs[size_t(i)].length) << i;
    }
    EXPECT_EQ(pieces->getOffset(), 20480);
    EXPECT_EQ(pieces->getLen(), qint64(jpeg.size()));
    EXPECT_EQ(pieces->getName(), QStringLiteral("IMG_120480.jpg"));
    EXPECT_EQ(pieces->readData(), expected);
    EXPECT_EQ(pieces->getThumbImage(), thumb);

    FileRecoveredInfo *whole = keeper.records[1].get();
    EXPECT_FALSE(whole->isFragmented());
    EXPECT_EQ(whole->getName(), QStringLiteral("IMG_165536.jpg"));
    EXPECT_EQ(whole->readData(), expected);
    EXPECT_EQ(whole->getThumbImage(), thumb);
}
