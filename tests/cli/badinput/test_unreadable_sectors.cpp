// The summary of lumarek-carve tells how many sectors could not be read.
// Failing sectors can only be made inside the engine (its positional-read
// seam), so this drives the program's session code in-process, the way
// main() does.
#include "cli/carve_session.h"
#include "cli/cli_test_support.h"

#include "recovery/device.h"
#include "recovery/filerecovery.h"
#include "support/test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Sectors [badFirst, badFirst + kBadCount) fail with EIO.
const uint64_t kBadCount = 3;
uint64_t badFirst = 150;

int64_t failingPread(int fd, void *buf, uint64_t count, uint64_t offset) {
    if (offset < (badFirst + kBadCount) * 512 && offset + count > badFirst * 512) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buf, count, off_t(offset));
}

struct Scan {
    QList<CarvedFile> files;
    quint64 unreadable = 0;
    std::string summary;
};

Scan scanWholeVolume(const QString &path, qint64 size, const QString &out = QString()) {
    Device device;
    device.setDevFile(path);
    device.totalSize = size;
    EngineControl::setWholeInput(true);
    lmrtest::DiagCapture quiet;
    CarveSession session(out, false);
    session.run(&device, QStringList{QStringLiteral("jpg")}, false);
    DeviceManager::setCurrentDevice(nullptr);
    EngineControl::setWholeInput(false);
    Scan s;
    s.files = session.files();
    s.unreadable = session.scan().unreadableSectors();
    s.summary = lmrtest::stdoutOf([&] { session.printSummary(false, s.unreadable); });
    return s;
}

}  // namespace

TEST(UnreadableSectors, TheSummaryCountsThemAndTheFindsBesideThemStay) {
    clitest::CoreApp app;

    // The jpg at 512 (sectors 1 to 76), random bytes around it.
    lmrtest::Bytes vol = lmrtest::random_bytes(128 * 1024, 11);
    lmrtest::Bytes jpg = lmrtest::read_file(lmrtest::data_path("recovery/jpg_jfif_baseline_01.jpg"));
    ASSERT_FALSE(jpg.empty());
    std::copy(jpg.begin(), jpg.end(), vol.begin() + 512);
    lmrtest::TempFile image(vol, "sectors");

    input_pread_fn previous = set_input_pread(failingPread);
    Scan bad = scanWholeVolume(QString::fromStdString(image.path()), qint64(vol.size()));
    set_input_pread(previous);
    EXPECT_EQ(bad.unreadable, kBadCount);
    EXPECT_NE(bad.summary.find("unreadable sectors: 3 (read as zeros)"), std::string::npos) << bad.summary;
    ASSERT_EQ(bad.files.size(), 1);
    EXPECT_EQ(bad.files[0].offset, 512u);

    // A clean read says nothing about sectors.
    Scan clean = scanWholeVolume(QString::fromStdString(image.path()), qint64(vol.size()));
    EXPECT_EQ(clean.unreadable, 0u);
    EXPECT_EQ(clean.summary.find("unreadable"), std::string::npos) << clean.summary;
    EXPECT_NE(clean.summary.find("total"), std::string::npos) << clean.summary;
    EXPECT_EQ(clean.files.size(), 1);

    // Bad sectors right after the jpg's last one: its own bytes are all
    // readable, so it is exported whole.
    badFirst = (512 + jpg.size() + 511) / 512;
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    previous = set_input_pread(failingPread);
    Scan beside = scanWholeVolume(QString::fromStdString(image.path()), qint64(vol.size()), out.path());
    set_input_pread(previous);
    badFirst = 150;
    EXPECT_EQ(beside.unreadable, kBadCount);
    ASSERT_EQ(beside.files.size(), 1);
    EXPECT_TRUE(beside.files[0].exported);
    EXPECT_TRUE(lmrtest::read_file((out.path() + "/" + beside.files[0].name).toStdString()) == jpg);
}
