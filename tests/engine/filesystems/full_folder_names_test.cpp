// A card folder of hundreds of photos, two of every three deleted, written
// by the real tools: the folder's clusters lie among its files', so its
// chain (FAT, exFAT) crosses the FAT far and wide, and the files' records
// (NTFS) fill more MFT than the walk reads at a time.  Every deleted photo
// comes back under its name with its bytes; no live one does.
#include "fs_helpers.h"

#include <map>

using namespace fstest;

namespace {

constexpr int kPhotos = 300;  // with the volume's own records, more than the 256 the NTFS walk reads at a time

std::string photo_name(int i) { return "Holiday at the lake " + std::to_string(1000 + i) + ".jpg"; }

// Writes `script` to a file of the folder and runs it with bash; its
// output when it fails.
bool run_script(const Folder &folder, const std::string &script, std::string *out) {
    const std::string file = folder.path("write.sh");
    FILE *sh = fopen(file.c_str(), "w");
    if (!sh) return false;
    fputs(script.c_str(), sh);
    fclose(sh);
    int status = 0;
    *out = run("bash '" + file + "' 2>&1", &status);
    return status == 0;
}

class FullFolderNames : public ::testing::TestWithParam<const char *> {};

TEST_P(FullFolderNames, EveryDeletedPhotoComesBackUnderItsName) {
    const std::string type = GetParam();
    if (type == "fat32" && (!have_tool("mkfs.vfat") || !have_tool("mcopy")))
        GTEST_SKIP() << "dosfstools or mtools missing";
    if (type != "fat32" && !have_tool(type == "exfat" ? "mkfs.exfat" : "mkntfs")) GTEST_SKIP() << type << " tools missing";
    Folder folder;
    for (int i = 0; i < kPhotos; ++i) folder.add(1500 + size_t(i % 7) * 300);
    const auto &f = folder.files();
    const std::string img = folder.path("card.img"), stage = folder.path("stage"), mnt = folder.path("mnt");
    // The photos under their names (hard links), dated alike.
    std::string script = "set -e; mkdir '" + stage + "'; cd '" + stage + "'; ";
    for (int i = 0; i < kPhotos; ++i) script += "ln '" + f[size_t(i)].path + "' '" + photo_name(i) + "'; ";
    script += "TZ=UTC touch -m -d '2024-06-12 14:30:16' *; ";
    std::string deleted;
    for (int i = 0; i < kPhotos; ++i)
        if (i % 3) deleted += " '" + photo_name(i) + "'";

    const std::string detach = "for l in $(losetup -j '" + img +
                               "' | cut -d: -f1); do for t in $(seq 50); do losetup -d $l 2>/dev/null && break; "
                               "sleep 0.1; done; done";
    if (type == "fat32") {
        // 512-byte clusters: a FAT of 320 KiB.  A live 9 MiB file written
        // after the folder was made puts the folder's later clusters past
        // the first 64 KiB of the FAT, which the walk reads at a time.
        std::string rm;
        for (int i = 0; i < kPhotos; ++i)
            if (i % 3) rm += " '::DCIM/100PHOTO/" + photo_name(i) + "'";
        script += "export MTOOLS_SKIP_CHECK=1; truncate -s 40M '" + img + "'; mkfs.vfat -F 32 -s 1 '" + img +
                  "' >/dev/null; mmd -i '" + img + "' ::DCIM ::DCIM/100PHOTO; truncate -s 9M ../filler; mcopy -i '" + img +
                  "' ../filler ::DCIM/; mcopy -m -i '" + img + "' * ::DCIM/100PHOTO/; mdel -i '" + img + "'" + rm;
    } else {
        const std::string format = type == "exfat" ? "mkfs.exfat '" + img + "'" : "mkntfs -F -Q -q '" + img + "'";
        const std::string mount = type == "exfat"
                                      ? "mount -t exfat -o loop '" + img + "' '" + mnt + "' 2>/dev/null || "
                                        "mount.exfat-fuse $(losetup -f --show '" + img + "') '" + mnt + "'"
                                      : "ntfs-3g '" + img + "' '" + mnt + "'";
        script += "truncate -s 16M '" + img + "'; " + format + " >/dev/null; mkdir '" + mnt + "'; " + mount +
                  "; mkdir -p '" + mnt + "/DCIM/100PHOTO'; cp -p * '" + mnt + "/DCIM/100PHOTO/'; cd '" + mnt +
                  "/DCIM/100PHOTO'; rm" + deleted + "; cd /; sync; umount '" + mnt + "'; " + detach;
    }
    std::string out;
    if (!run_script(folder, script, &out)) {
        run("cd /; umount '" + mnt + "' 2>/dev/null; " + detach);
        if (type == "fat32") FAIL() << out;
        GTEST_SKIP() << "no " << type << " writer can be mounted here: " << out;
    }

    lmr_named_find *finds = nullptr;
    const int n = list_named_finds(img.c_str(), &finds);
    std::map<std::string, const lmr_named_find *> by_path;
    for (int i = 0; i < n; ++i) by_path[finds[i].path] = &finds[i];
    int expected = 0;
    for (int i = 0; i < kPhotos; ++i) {
        auto it = by_path.find("DCIM/100PHOTO/" + photo_name(i));
        if (i % 3 == 0) {
            EXPECT_EQ(it, by_path.end()) << photo_name(i) << " is live";
            continue;
        }
        ++expected;
        ASSERT_NE(it, by_path.end()) << photo_name(i);
        const lmr_named_find &x = *it->second;
        EXPECT_EQ(x.state, LMR_NAMED_INTACT) << x.path;
        EXPECT_EQ(x.modified, 1718202616) << x.path;
        Bytes bytes(x.size);
        ASSERT_EQ(x.size, f[size_t(i)].content.size()) << x.path;
        EXPECT_EQ(general_file_read_runs(img.c_str(), x.runs, x.run_count, 0, int32_t(x.size), bytes.data()),
                  int32_t(x.size));
        EXPECT_TRUE(bytes == f[size_t(i)].content) << x.path;
    }
    EXPECT_EQ(n, expected);
    free_named_finds(finds);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, FullFolderNames, ::testing::Values("fat32", "exfat", "ntfs"));

}  // namespace
