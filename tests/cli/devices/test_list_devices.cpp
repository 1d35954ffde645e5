// lumarek-carve --list-devices names devices as udisks2 describes them (a
// stand-in service on a private bus, the program's system bus here).
#include "cli_test_support.h"
#include "support/mock_udisks.h"

#include <gtest/gtest.h>

using namespace clitest;

TEST(ListDevices, DevicesAreNamedByModelLabelTypeAndSize) {
    CoreApp app;
    lmrtest::PrivateBus &bus = lmrtest::PrivateBus::system();
    if (!bus.ok()) GTEST_SKIP() << "dbus-daemon missing (scripts/setup installs it)";
    lmrtest::MockUDisks udisks(bus);
    ASSERT_TRUE(udisks.ok());
    udisks.addDrive("card", {"SanDisk", "Ultra", true, "usb"});
    lmrtest::MockUDisks::Block card;
    card.device = "/dev/lmrtest-sdz1";
    card.size = 31914983424ull;
    card.label = "CAMERA";
    card.type = "vfat";
    card.version = "FAT32";
    card.drive = "card";
    udisks.addBlock("lmrtest_sdz1", card);
    lmrtest::MockUDisks::Block disk;
    disk.device = "/dev/lmrtest-sda";
    disk.size = 500107862016ull;
    udisks.addBlock("lmrtest_sda", disk);

    const CarveRun r = carve({"--list-devices"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "/dev/lmrtest-sda\t465.76GB\tlmrtest-sda · 500.1 GB\n"
                     "/dev/lmrtest-sdz1\t29.72GB\tSanDisk Ultra · CAMERA (FAT32) · 31.9 GB · removable\n");
}
