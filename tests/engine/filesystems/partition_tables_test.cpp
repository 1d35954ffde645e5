// Whole disks with MBR and GPT partition tables: each partition read by its
// file system, the rest scanned whole, offsets those of the disk; damaged
// and hostile tables.
#include "fs_helpers.h"

#include <cstring>

using namespace fstest;

namespace {

bool have_disk_tools() {
    return have_tool("sfdisk") && have_tool("sgdisk") && have_tool("mkfs.vfat") && have_tool("mcopy") &&
           have_tool("mkfs.exfat") && have_tool("mkntfs") && have_tool("ntfscp");
}

struct DiskPart {
    int number;
    uint64_t start, size;
    std::string image;  // "raw" for the unformatted partition
};

// A FAT16 volume with files (two deleted), an NTFS volume with files and an
// empty exFAT volume, none mounted; then the disk around them.
class Disk {
public:
    explicit Disk(const std::string &scheme) {
        for (size_t size : {30000, 90000, 12000, 150000}) folder_.add(size);
        bool skipped = false;
        ok_ = build_volume(folder_, "fat16", "", {1, 3}, folder_.path("fat16.img"), &skipped) &&
              build_volume(folder_, "ntfs", "-n", {}, folder_.path("ntfs.img"), &skipped) &&
              build_volume(folder_, "exfat", "-n", {}, folder_.path("exfat.img"), &skipped);
        if (!ok_) return;
        image_ = folder_.path(scheme + ".img");
        int status = 0;
        std::string out = run("'" + fixture_script("make_disk.sh") + "' " + scheme + " '" + image_ + "' '" +
                                  folder_.path("fat16.img") + "' '" + folder_.path("ntfs.img") + "' '" +
                                  folder_.path("exfat.img") + "'",
                              &status);
        std::istringstream in(out);
        DiskPart p;
        while (in >> p.number >> p.start >> p.size >> p.image) parts_.push_back(p);
        ok_ = status == 0 && parts_.size() == 4;
    }
    bool ok() const { return ok_; }
    const std::string &image() const { return image_; }
    const std::vector<DiskPart> &parts() const { return parts_; }
    const Folder &folder() const { return folder_; }

    // What the disk's list should be: the standalone volumes' free
    // clusters moved to their partitions, the rest of the disk whole.
    Ranges expected() const {
        Ranges r;
        uint64_t cursor = 0;
        for (auto &p : parts_) {
            r.push_back({cursor, p.start});
            cursor = p.start + p.size;
            if (p.image == "raw") {
                r.push_back({p.start, p.start + p.size});
                continue;
            }
            chunk_list *l = p.image.find("fat16") != std::string::npos ? get_fat1216_chunk_list(p.image.c_str())
                            : p.image.find("ntfs") != std::string::npos ? get_ntfs_chunk_list(p.image.c_str())
                                                                         : get_exfat_chunk_list(p.image.c_str());
            for (auto &x : to_ranges(l)) r.push_back({x.first + p.start, std::min(x.second + p.start, cursor)});
            free_chunk_list(l);
        }
        r.push_back({cursor, file_size(image_)});
        return normalize(r);
    }

private:
    Folder folder_;
    std::string image_;
    std::vector<DiskPart> parts_;
    bool ok_ = false;
};

void corrupt(const std::string &path, uint64_t at, const Bytes &bytes) {
    FILE *f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fseeko(f, off_t(at), SEEK_SET);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

}  // namespace

class PartitionedDisks : public ::testing::TestWithParam<const char *> {};

TEST_P(PartitionedDisks, EachPartitionIsReadByItsFileSystem) {
    if (!have_disk_tools()) GTEST_SKIP() << "sfdisk, gdisk, dosfstools, exfatprogs or ntfs-3g missing";
    Disk disk(GetParam());
    ASSERT_TRUE(disk.ok());
    _block_size = 0;
    List l(get_partitioned_chunk_list(disk.image().c_str()));
    ASSERT_NE(l.l, nullptr);
    // A partition read whole makes the scan go by sectors.
    EXPECT_EQ(_block_size, 512u);
    Ranges ours = l.ranges();
    for (size_t i = 1; i < ours.size(); ++i) EXPECT_LE(ours[i - 1].second, ours[i].first);
    EXPECT_EQ(normalize(ours), disk.expected());

    // The deleted files of the FAT16 partition lie in the disk's free space,
    // the live ones outside it.
    const Bytes bytes = lmrtest::read_file(disk.image());
    const Ranges fat16 = {{disk.parts()[0].start, disk.parts()[0].start + disk.parts()[0].size}};
    for (size_t i = 0; i < disk.folder().files().size(); ++i) {
        // The files are in the NTFS partition too: look in the FAT16 one.
        Bytes part(bytes.begin() + long(fat16[0].first), bytes.begin() + long(fat16[0].second));
        Range where = locate(part, disk.folder().files()[i].content);
        ASSERT_LT(where.first, where.second) << "f" << i;
        where = {where.first + fat16[0].first, where.second + fat16[0].first};
        if (i == 1 || i == 3)
            EXPECT_TRUE(contains(normalize(ours), where)) << "deleted f" << i;
        else
            EXPECT_FALSE(overlaps(ours, where)) << "live f" << i;
    }

    lmr_partition_info info[8];
    char scheme[8];
    ASSERT_EQ(list_partitions(disk.image().c_str(), info, 8, scheme), 4);
    EXPECT_STREQ(scheme, std::string(GetParam()) == "mbr" ? "MBR" : "GPT");
    const char *systems[] = {"FAT16", "NTFS", "exFAT", ""};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(info[i].number, disk.parts()[i].number);
        EXPECT_EQ(info[i].start, disk.parts()[i].start);
        EXPECT_EQ(info[i].size, disk.parts()[i].size);
        EXPECT_STREQ(info[i].file_system, systems[i]);
    }
    if (std::string(GetParam()) == "gpt") {
        EXPECT_STREQ(info[0].label, "VOL1");
        EXPECT_STREQ(info[3].label, "RAW");
        EXPECT_STREQ(info[0].type, "Basic data");
    } else {
        EXPECT_STREQ(info[0].type, "0x06");
        EXPECT_EQ(info[1].number, 5);  // logical partitions
    }

    // One partition alone: its free clusters only.
    scan_partition = disk.parts()[0].number;
    List one(get_partitioned_chunk_list(disk.image().c_str()));
    scan_partition = 0;
    EXPECT_EQ(_block_size, 2048u);
    for (auto &r : one.ranges()) {
        EXPECT_GE(r.first, disk.parts()[0].start);
        EXPECT_LE(r.second, disk.parts()[0].start + disk.parts()[0].size);
    }
    EXPECT_FALSE(one.ranges().empty());

    // The run chooses the table over the volume readers.
    recovery_state state{};
    init_state(&state, disk.image().c_str());
    const int32_t kept_skip = skip_exist, kept_formated = is_formated;
    skip_exist = 1;
    is_formated = 0;
    List chosen(get_free_chunk_list(&state));
    free(state.InputFile);
    skip_exist = kept_skip;
    is_formated = kept_formated;
    EXPECT_EQ(chosen.ranges(), ours);
}

INSTANTIATE_TEST_SUITE_P(Schemes, PartitionedDisks, ::testing::Values("mbr", "gpt"));

TEST(GptDisks, DamagedPrimaryFallsBackToTheBackupAndBothDamagedMeansNoTable) {
    if (!have_disk_tools()) GTEST_SKIP() << "sfdisk, gdisk, dosfstools, exfatprogs or ntfs-3g missing";
    Disk disk("gpt");
    ASSERT_TRUE(disk.ok());
    List before(get_partitioned_chunk_list(disk.image().c_str()));
    ASSERT_NE(before.l, nullptr);

    corrupt(disk.image(), 512 + 40, {0xFF, 0xFF});  // primary header: CRC no longer holds
    {
        DiagCapture diag;
        List after(get_partitioned_chunk_list(disk.image().c_str()));
        EXPECT_EQ(after.ranges(), before.ranges());
        EXPECT_NE(diag.text().find("backup"), std::string::npos) << diag.text();
    }
    // The primary entry array damaged instead (header repaired by the
    // backup's entries not being touched): the backup is used as well.
    const uint64_t last = file_size(disk.image()) - 512;
    corrupt(disk.image(), last + 40, {0xFF, 0xFF});
    DiagCapture diag;
    _block_size = 0;
    EXPECT_EQ(get_partitioned_chunk_list(disk.image().c_str()), nullptr);
    EXPECT_EQ(_block_size, 0u);
    EXPECT_NE(diag.text().find("scanned as one volume"), std::string::npos) << diag.text();
}

// An ext volume made by mke2fs and debugfs, with files deleted, in the
// second partition of a disk behind a FAT16 one: its free blocks are read
// at the partition's offset, block for block as dumpe2fs and blkls see
// them.
class ExtPartitions : public ::testing::TestWithParam<std::tuple<const char *, const char *>> {};

TEST_P(ExtPartitions, FreeBlocksAreReadAtThePartitionsOffset) {
    if (!have_disk_tools() || !have_tool("mke2fs") || !have_tool("debugfs") || !have_tool("dumpe2fs") ||
        !have_tool("blkls"))
        GTEST_SKIP() << "sfdisk, gdisk, dosfstools, e2fsprogs or sleuthkit missing";
    const std::string scheme = std::get<0>(GetParam()), type = std::get<1>(GetParam());
    Folder folder;
    for (size_t size : {30000, 90000, 12000, 150000, 7000, 64000}) folder.add(size);
    bool skipped = false;
    ASSERT_TRUE(build_volume(folder, "fat16", "-n", {}, folder.path("fat16.img"), &skipped));
    std::string cmd = "'" + fixture_script("make_ext_volume.sh") + "' -t " + type + " -s 8192 -d f1.bin -d f4.bin '" +
                      folder.path("ext.img") + "'";
    for (auto &f : folder.files()) cmd += " '" + f.path + "'";
    int status = 0;
    const std::vector<Placed> placed = parse_listing(run(cmd, &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(placed.size(), folder.files().size());
    const std::string disk = folder.path(scheme + ".img");
    std::istringstream table(run("'" + fixture_script("make_disk.sh") + "' " + scheme + " '" + disk + "' '" +
                                     folder.path("fat16.img") + "' '" + folder.path("ext.img") + "'",
                                 &status));
    ASSERT_EQ(status, 0);
    std::vector<DiskPart> parts;
    DiskPart p;
    while (table >> p.number >> p.start >> p.size >> p.image) parts.push_back(p);
    ASSERT_EQ(parts.size(), 3u);
    const DiskPart &ext = parts[1];

    const Ext2Groups groups = dumpe2fs_groups(folder.path("ext.img"));
    ASSERT_GT(groups.block_size, 0u);
    Ranges expected;
    for (auto &r : unite(groups.free, groups.uninit_groups))
        expected.push_back({ext.start + r.first, ext.start + std::min(r.second, file_size(folder.path("ext.img")))});
    expected = normalize(expected);

    scan_partition = ext.number;
    _block_size = 0;
    List one(get_partitioned_chunk_list(disk.c_str()));
    scan_partition = 0;
    EXPECT_EQ(_block_size, groups.block_size);
    EXPECT_EQ(one.ranges(), expected);
    // The Sleuth Kit reads the volume inside the disk on its own.
    std::istringstream blkls(run("blkls -l -A -o " + std::to_string(ext.start / 512) + " '" + disk + "' 2>/dev/null"));
    Ranges theirs;
    std::string line;
    while (std::getline(blkls, line)) {
        const auto bar = line.find('|');
        if (bar == std::string::npos || line.substr(bar + 1) != "f" || line[0] < '0' || line[0] > '9') continue;
        const uint64_t block = std::stoull(line.substr(0, bar));
        theirs.push_back({ext.start + block * groups.block_size, ext.start + (block + 1) * groups.block_size});
    }
    EXPECT_EQ(one.ranges(), unite(normalize(theirs), expected));
    for (auto &f : placed)
        for (auto &r : f.ranges) {
            const Range on_disk{ext.start + r.first, ext.start + r.second};
            if (f.deleted)
                EXPECT_TRUE(contains(expected, on_disk)) << f.name;
            else
                EXPECT_FALSE(overlaps(expected, on_disk)) << f.name;
        }

    // The whole disk: the ext partition's free blocks among the rest.
    List all(get_partitioned_chunk_list(disk.c_str()));
    Ranges in_ext;
    for (auto &r : all.ranges()) {
        const uint64_t a = std::max(r.first, ext.start), b = std::min(r.second, ext.start + ext.size);
        if (a < b) in_ext.push_back({a, b});
    }
    EXPECT_EQ(normalize(in_ext), expected);
    lmr_partition_info info[4];
    ASSERT_EQ(list_partitions(disk.c_str(), info, 4, nullptr), 3);
    EXPECT_STREQ(info[1].file_system, type.c_str());
}

INSTANTIATE_TEST_SUITE_P(Schemes, ExtPartitions,
                         ::testing::Combine(::testing::Values("mbr", "gpt"), ::testing::Values("ext2", "ext4")));

// Tables crafted byte by byte: no tools needed.
namespace {

Bytes mbr_disk(uint64_t sectors) {
    Bytes d(sectors * 512, 0);
    d[510] = 0x55;
    d[511] = 0xAA;
    return d;
}
void mbr_entry(Bytes &d, uint64_t sector, int slot, uint8_t type, uint32_t start, uint32_t count) {
    const size_t e = sector * 512 + 446 + 16 * size_t(slot);
    d[e + 4] = type;
    put32(d, e + 8, start);
    put32(d, e + 12, count);
    d[sector * 512 + 510] = 0x55;
    d[sector * 512 + 511] = 0xAA;
}
Ranges list_of(const Bytes &d, std::string *diag_text = nullptr) {
    lmrtest::TempFile f(d);
    DiagCapture diag;
    List l(get_partitioned_chunk_list(f.path().c_str()));
    if (diag_text) *diag_text = diag.text();
    return l.ranges();
}

}  // namespace

TEST(HostileTables, LogicalPartitionChainsThatLoopOrLeaveEndInBoundedTime) {
    Bytes d = mbr_disk(400);
    mbr_entry(d, 0, 0, 0x83, 8, 32);
    mbr_entry(d, 0, 1, 0x05, 100, 300);
    // EBR at 100: logical at 100+4, next EBR at 100+50; that one points back.
    mbr_entry(d, 100, 0, 0x83, 4, 20);
    mbr_entry(d, 100, 1, 0x05, 50, 100);
    mbr_entry(d, 150, 0, 0x83, 4, 20);
    mbr_entry(d, 150, 1, 0x05, 50, 100);  // itself
    std::string text;
    Ranges r = list_of(d, &text);
    EXPECT_NE(text.find("loops"), std::string::npos) << text;
    // Everything is scanned: two logical partitions and the primary read
    // whole (no file system), the rest as gaps.
    EXPECT_EQ(normalize(r), Ranges({{0, 400 * 512}}));
    lmrtest::TempFile f(d);
    lmr_partition_info info[8];
    ASSERT_EQ(list_partitions(f.path().c_str(), info, 8, nullptr), 3);
    EXPECT_EQ(info[1].number, 5);
    EXPECT_EQ(info[2].number, 6);
    EXPECT_EQ(info[2].start, (150 + 4) * 512u);

    // A next record that lies outside the extended partition is not read.
    mbr_entry(d, 150, 1, 0x05, 5000, 100);
    list_of(d, &text);
    EXPECT_NE(text.find("outside"), std::string::npos) << text;
}

TEST(HostileTables, EntriesPastTheInputOrOverlappingAreCutOrLeftOut) {
    Bytes d = mbr_disk(200);
    mbr_entry(d, 0, 0, 0x83, 10, 100);
    mbr_entry(d, 0, 1, 0x83, 50, 100);        // overlaps the first: cut at 110
    mbr_entry(d, 0, 2, 0x83, 180, 0xFFFFFF);  // runs past the end: cut at 200
    mbr_entry(d, 0, 3, 0x83, 0xFFFFFF00, 10); // starts past the end: left out
    std::string text;
    Ranges r = list_of(d, &text);
    EXPECT_EQ(normalize(r), Ranges({{0, 200 * 512}}));
    for (auto &x : r) EXPECT_LE(x.second, 200 * 512u);
    EXPECT_NE(text.find("overlaps"), std::string::npos) << text;
    EXPECT_NE(text.find("past the end of the input; cut"), std::string::npos) << text;
    EXPECT_NE(text.find("starts past the end"), std::string::npos) << text;
    lmrtest::TempFile f(d);
    lmr_partition_info info[8];
    ASSERT_EQ(list_partitions(f.path().c_str(), info, 8, nullptr), 3);
    EXPECT_EQ(info[1].start, 110 * 512u);
    EXPECT_EQ(info[1].size, 40 * 512u);
    EXPECT_EQ(info[2].size, 20 * 512u);
}

TEST(HostileTables, BootCodeAndVolumeBootSectorsAreNoTable) {
    // Status bytes other than 0 and 0x80: boot code, not a table.
    Bytes d = mbr_disk(64);
    mbr_entry(d, 0, 0, 0x83, 8, 32);
    d[446] = 0x31;
    EXPECT_TRUE(list_of(d).empty());
    // A FAT boot sector whose bytes at the table's place look like entries.
    d[446] = 0;
    d[0] = 0xEB, d[1] = 0x3C, d[2] = 0x90;
    put16(d, 11, 512);
    d[13] = 1;
    put16(d, 14, 1);
    d[16] = 2;
    put16(d, 17, 16);
    put16(d, 19, 64);
    d[21] = 0xF8;
    put16(d, 22, 1);
    EXPECT_TRUE(list_of(d).empty());
    // A protective MBR without any sound GPT header.
    Bytes g = mbr_disk(64);
    mbr_entry(g, 0, 0, 0xEE, 1, 63);
    std::string text;
    EXPECT_TRUE(list_of(g, &text).empty());
    EXPECT_NE(text.find("GPT header and backup damaged"), std::string::npos) << text;
}
