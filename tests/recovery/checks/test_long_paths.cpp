// An input whose path is longer than the find record's path field (Linux
// paths run to 4,096 bytes): the scan runs, the records name the whole path,
// and a find exports and previews from it.
#include "qt_test_support.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "recovery/filevalidationthread.h"
#include "recovery/recoveredinfo.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lmrtest;

namespace {

struct Keeper : RecoveryCallback {
    QMutex lock;
    QList<FileRecoveredInfo *> records;
    std::vector<int> failures;
    ~Keeper() { qDeleteAll(records); }
    void onRecovered(FileRecoveredInfo *info) override {
        QMutexLocker l(&lock);
        records << info;
    }
    void onProgress(float) override {}
    void onFinished() override {}
    void onFailed(int code) override {
        QMutexLocker l(&lock);
        failures.push_back(code);
    }
    void onProceed(quint64, quint64) override {}
};

}  // namespace

TEST(LongPaths, AnInputPathOfThreeHundredBytesIsScannedAndItsFindsExport) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString folder = dir.path();
    for (char c : {'a', 'b', 'c'}) folder += "/" + QString(90, QLatin1Char(c));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString input = folder + "/card.img";
    ASSERT_GT(QFile::encodeName(input).size(), LMR_PATH_MAX);

    const Bytes picture = read_file(data_path("recovery/jpg_jfif_baseline_01.jpg"));
    ASSERT_FALSE(picture.empty());
    Bytes volume(64 * 1024, 0);
    std::copy(picture.begin(), picture.end(), volume.begin() + 4096);
    {
        QFile f(input);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(reinterpret_cast<const char *>(volume.data()), qint64(volume.size())),
                  qint64(volume.size()));
    }

    Device device;
    device.setDevFile(input);
    device.totalSize = qint64(volume.size());
    Keeper keeper;
    EngineControl::setWholeInput(true);
    {
        FileRecovery recovery;
        recovery.setRecoveryCallback(&keeper);
        DeviceManager::setCurrentDevice(&device);
        recovery.startGroup({"jpg"});
        recovery.finishValidation(10000);
        DeviceManager::setCurrentDevice(nullptr);
    }
    EngineControl::setWholeInput(false);
    EXPECT_TRUE(keeper.failures.empty());
    ASSERT_EQ(keeper.records.size(), 1);
    FileRecoveredInfo *record = keeper.records.first();
    EXPECT_EQ(record->getDevFile(), input);
    EXPECT_EQ(record->getOffset(), 4096);

    const Bytes read = [&] {
        const QByteArray data = record->readData();
        return Bytes(data.begin(), data.end());
    }();
    EXPECT_EQ(read, picture);

    const QString out = dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    record->setExportPath(out);
    ASSERT_TRUE(record->exportSelf()) << record->getExportError().toStdString();
    const QStringList files = QDir(out).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << files.join(", ").toStdString();
    EXPECT_EQ(read_file(QFile::encodeName(out + "/" + files.first()).toStdString()), picture);
    EXPECT_TRUE(FileValidationThread::waitForAll(10000));
}
