// Deleted files with their names, from volumes written by the real tools:
// each comes back with its folder, name, size, time and bytes; a deleted
// folder's files under it; one whose clusters a later file took is marked
// overwritten; hostile names stay inside the output folder.
#include "fs_helpers.h"

#include <cstring>
#include <map>
#include <set>

using namespace fstest;

namespace {

struct Named {
    std::string path;
    uint64_t size;
    int64_t modified;
    int32_t state;
    Bytes bytes;  // read through its runs
    std::string fs;
    bool runs_known;
};

std::map<std::string, Named> named_finds(const std::string &image) {
    std::map<std::string, Named> out;
    lmr_named_find *finds = nullptr;
    const int n = list_named_finds(image.c_str(), &finds);
    EXPECT_GE(n, 0);
    for (int i = 0; i < n; ++i) {
        const lmr_named_find &f = finds[i];
        Named x{f.path, f.size, f.modified, f.state, Bytes(f.size), f.file_system, f.runs_known != 0};
        EXPECT_EQ(general_file_read_runs(image.c_str(), f.runs, f.run_count, 0, int32_t(f.size), x.bytes.data()),
                  int(f.size));
        uint64_t sum = 0;
        for (int32_t r = 0; r < f.run_count; ++r) sum += f.runs[r].length;
        EXPECT_EQ(sum, f.size) << f.path;
        out[x.path] = x;
    }
    free_named_finds(finds);
    return out;
}

// Each expected path is a named find of file `files[i]`, whole, with the
// time every test file was given, on file system `fs`.
template <class Files>
void expect_intact(const std::map<std::string, Named> &found, const std::map<std::string, size_t> &expected,
                   const Files &files, const std::string &fs) {
    for (auto &[path, i] : expected) {
        auto it = found.find(path);
        ASSERT_NE(it, found.end()) << path;
        EXPECT_EQ(it->second.size, files[i].content.size()) << path;
        EXPECT_EQ(it->second.state, LMR_NAMED_INTACT) << path;
        EXPECT_TRUE(it->second.bytes == files[i].content) << path;
        EXPECT_EQ(it->second.modified, 1718202616) << path;
        EXPECT_EQ(it->second.fs, fs);
        // FAT's runs are taken in a row; the others' are the file system's
        // (these exFAT files were written contiguous).
        EXPECT_EQ(it->second.runs_known, fs.rfind("FAT", 0) != 0) << path;
    }
}

// Every part of a path can be created inside the output folder as it is.
void expect_safe(const std::string &path) {
    EXPECT_FALSE(path.empty());
    EXPECT_NE(path[0], '/') << path;
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        EXPECT_FALSE(part.empty()) << path;
        EXPECT_NE(part, ".") << path;
        EXPECT_NE(part, "..") << path;
        for (unsigned char c : part) EXPECT_GE(c, 0x20) << path;
    }
}

void patch(const std::string &image, const Bytes &from, const Bytes &to) {
    Bytes b = lmrtest::read_file(image);
    auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
    ASSERT_NE(at, b.end());
    std::copy(to.begin(), to.end(), at);
    FILE *f = fopen(image.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fseeko(f, off_t(at - b.begin()), SEEK_SET);
    fwrite(to.data(), 1, to.size(), f);
    fclose(f);
}

// UTF-16LE of an ASCII text, ended by a NUL unit when `ended`.
Bytes utf16(const std::string &ascii, bool ended = false) {
    Bytes b;
    for (char c : ascii) b.insert(b.end(), {uint8_t(c), 0});
    if (ended) b.insert(b.end(), {0, 0});
    return b;
}

}  // namespace

class FatNames : public ::testing::TestWithParam<const char *> {};

TEST_P(FatNames, DeletedFilesComeBackUnderTheirFoldersWithTheirNames) {
    if (!have_tool("mkfs.vfat") || !have_tool("mcopy") || !have_tool("mdeltree"))
        GTEST_SKIP() << "dosfstools or mtools missing";
    Folder folder;
    for (size_t size : {70000, 3000, 41000, 9000, 15000, 20000, 30000, 200}) folder.add(size);
    const std::string img = folder.path("card.img"), bits = GetParam();
    const auto &f = folder.files();
    // 2024-06-12 14:30:16 UTC on every source file; mcopy -m keeps it.
    for (auto &x : f) run("TZ=UTC touch -m -d '2024-06-12 14:30:16' '" + x.path + "'");
    auto m = [&](const std::string &args) {
        int status = 0;
        std::string out = run("TZ=UTC MTOOLS_SKIP_CHECK=1 " + args + " 2>&1", &status);
        ASSERT_EQ(status, 0) << args << ": " << out;
    };
    m("truncate -s " + std::string(bits == "32" ? "40M" : "8M") + " '" + img + "' && mkfs.vfat -F " + bits +
      " -s 1 '" + img + "' >/dev/null");
    m("mmd -i '" + img + "' ::DCIM ::DCIM/100CAMERA ::Docs ::Old");
    m("mcopy -m -i '" + img + "' '" + f[0].path + "' ::DCIM/100CAMERA/IMG_20240612_143015.jpg");
    m("mcopy -m -i '" + img + "' '" + f[1].path + "' ::DCIM/100CAMERA/LIVE.JPG");
    m("mcopy -m -i '" + img + "' '" + f[2].path + "' '::Docs/Report for the board, final.pdf'");
    m("mcopy -m -i '" + img + "' '" + f[3].path + "' ::Old/Apple.bin");
    m("mcopy -m -i '" + img + "' '" + f[4].path + "' ::Old/B.TXT");
    m("mcopy -m -i '" + img + "' '" + f[5].path + "' ::Zz");
    m("mcopy -m -i '" + img + "' '" + f[6].path + "' ::Qq.bin");
    m("mdel -i '" + img + "' ::DCIM/100CAMERA/IMG_20240612_143015.jpg '::Docs/Report for the board, final.pdf' ::Zz "
      "::Qq.bin");
    m("mdeltree -i '" + img + "' ::Old");

    auto found = named_finds(img);
    const std::string fs = bits == "32" ? "FAT32" : "FAT16";
    const std::map<std::string, size_t> expected = {{"DCIM/100CAMERA/IMG_20240612_143015.jpg", 0},
                                                    {"Docs/Report for the board, final.pdf", 2},
                                                    {"Old/Apple.bin", 3},
                                                    {"Old/_.TXT", 4},  // no long name: its first letter is lost
                                                    {"Zz", 5},
                                                    {"Qq.bin", 6}};
    expect_intact(found, expected, f, fs);
    EXPECT_EQ(found.size(), expected.size());  // the live files are not named finds

    // Hostile long names: ".." and a control character with a slash.
    patch(img, utf16("Zz", true), utf16("..", true));
    patch(img, utf16("Qq.bi"), Bytes{1, 0, '/', 0, '.', 0, '.', 0, '/', 0});  // the first five characters of its entry
    for (auto &[path, x] : named_finds(img)) expect_safe(path);

    // A file written after the deletes takes freed clusters: whatever
    // named find lost its bytes is marked so, never reported intact.
    folder.add(150000);
    m("mcopy -m -i '" + img + "' '" + folder.files().back().path + "' ::NEW.BIN");
    int overwritten = 0;
    for (auto &[path, x] : named_finds(img)) {
        auto it = expected.find(path);
        if (it == expected.end()) continue;
        if (x.state == LMR_NAMED_OVERWRITTEN) {
            ++overwritten;
        } else {
            EXPECT_TRUE(x.bytes == f[it->second].content) << path << " reported intact with other bytes";
        }
    }
    if (bits == "16") {
        EXPECT_GT(overwritten, 0);  // mtools fills FAT16 from the first free cluster
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FatNames, ::testing::Values("16", "32"));

// A camera writes 8.3 names without long names, so a deleted photo's
// entry keeps "?MG_0001.JPG": the letter comes back where the folder's
// other names of that series (live, or deleted with a long name) all
// start with it, and stays '_' where none or several do.
TEST(FatNames, ALostFirstLetterComesBackFromTheFoldersOtherNamesOfItsSeries) {
    if (!have_tool("mkfs.vfat") || !have_tool("mcopy") || !have_tool("mdeltree"))
        GTEST_SKIP() << "dosfstools or mtools missing";
    Folder folder;
    const std::vector<std::pair<std::string, bool>> files = {  // (path, deleted)
        {"DCIM/100CANON/IMG_0001.JPG", true},  {"DCIM/100CANON/IMG_0002.JPG", false},
        {"DCIM/100CANON/IMG_0003.JPG", true},  {"DCIM/100CANON/MVI_0004.MOV", false},
        {"DCIM/100CANON/MVI_0005.MOV", true},  {"DCIM/100CANON/DSC_0006.JPG", true},  // no other DSC_
        {"DCIM/101CANON/AMG_0010.JPG", false}, {"DCIM/101CANON/IMG_0011.JPG", false},
        {"DCIM/101CANON/IMG_0012.JPG", true},  // two letters fit
        {"DCIM/101CANON/Clip1.mp4", true},     {"DCIM/101CANON/CLIP2.MP4", true},  // the long name tells
        {"DCIM/102CANON/IMG_0020.JPG", true},  // the whole folder is deleted
    };
    for (size_t i = 0; i < files.size(); ++i) folder.add(3000 + 1000 * i);
    const std::string img = folder.path("camera.img");
    std::string script = "export MTOOLS_SKIP_CHECK=1; set -e; truncate -s 40M '" + img + "'; mkfs.vfat -F 32 -s 1 '" +
                         img + "' >/dev/null; mmd -i '" + img + "' ::DCIM ::DCIM/100CANON ::DCIM/101CANON ::DCIM/102CANON; ";
    for (size_t i = 0; i < files.size(); ++i)
        script += "mcopy -i '" + img + "' '" + folder.files()[i].path + "' '::" + files[i].first + "'; ";
    for (auto &[path, deleted] : files)
        if (deleted && path.rfind("DCIM/102CANON/", 0) != 0) script += "mdel -i '" + img + "' '::" + path + "'; ";
    script += "mdeltree -i '" + img + "' ::DCIM/102CANON";
    int status = 0;
    const std::string out = run("bash -c \"" + script + "\" 2>&1", &status);
    ASSERT_EQ(status, 0) << out;

    DiagCapture diag;
    const auto found = named_finds(img);
    std::map<std::string, std::string> expected = {  // as written -> as named
        {"DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG"},
        {"DCIM/100CANON/IMG_0003.JPG", "DCIM/100CANON/IMG_0003.JPG"},
        {"DCIM/100CANON/MVI_0005.MOV", "DCIM/100CANON/MVI_0005.MOV"},
        {"DCIM/100CANON/DSC_0006.JPG", "DCIM/100CANON/_SC_0006.JPG"},
        {"DCIM/101CANON/IMG_0012.JPG", "DCIM/101CANON/_MG_0012.JPG"},
        {"DCIM/101CANON/Clip1.mp4", "DCIM/101CANON/Clip1.mp4"},
        {"DCIM/101CANON/CLIP2.MP4", "DCIM/101CANON/CLIP2.MP4"},
        // The deleted folder's letter comes from its live neighbours; nothing
        // tells its file's.
        {"DCIM/102CANON/IMG_0020.JPG", "DCIM/102CANON/_MG_0020.JPG"},
    };
    EXPECT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i].second) continue;
        const std::string &want = expected.at(files[i].first);
        auto it = found.find(want);
        ASSERT_NE(it, found.end()) << want;
        EXPECT_EQ(it->second.state, LMR_NAMED_INTACT) << want;
        EXPECT_TRUE(it->second.bytes == folder.files()[i].content) << want;
    }
    // Where the letter stays '_', the log says so, folder by folder.
    for (const char *where : {"DCIM/100CANON", "DCIM/101CANON", "DCIM/102CANON"})
        EXPECT_NE(diag.text().find(std::string("1 deleted short names in ") + where), std::string::npos) << diag.text();
}

// A deleted folder's chain is cleared: past its first cluster, the next
// cluster in a row is taken only while it reads as folder entries, never
// as another file's bytes (which would name files that never were).
TEST(FatNames, ADeletedFolderDoesNotReadAFilesBytesAsItsEntries) {
    if (!have_tool("mkfs.vfat") || !have_tool("mcopy") || !have_tool("mdeltree"))
        GTEST_SKIP() << "dosfstools or mtools missing";
    Folder folder;
    std::string script = "export MTOOLS_SKIP_CHECK=1; set -e; cd '" + folder.dir() +
                         "'; truncate -s 8M trip.img; mkfs.vfat -F 16 -s 1 trip.img >/dev/null; mmd -i trip.img ::Trip; ";
    // Three entries a file: the folder's first 512-byte cluster is full
    // after five, the rest go to a cluster after their bytes.
    std::set<std::string> written;
    for (int i = 0; i < 12; ++i) {
        folder.add(3000 + 512 * i);
        const std::string name = "Trip/Day " + std::to_string(i) + " photo.bin";
        written.insert(name);
        script += "mcopy -i trip.img f" + std::to_string(i) + ".bin '::" + name + "'; ";
    }
    // The first file, right after the folder's first cluster, holds small
    // numbers, as many binary formats do: read as entries, they would make
    // files of sizes and clusters that fit the volume.
    {
        FILE *f = fopen(folder.files()[0].path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (uint16_t v = 1; v <= 1500; ++v) fwrite(&v, 2, 1, f);
        fclose(f);
    }
    script += "mdeltree -i trip.img ::Trip";
    int status = 0;
    const std::string out = run("bash -c \"" + script + "\" 2>&1", &status);
    ASSERT_EQ(status, 0) << out;
    const auto found = named_finds(folder.path("trip.img"));
    EXPECT_FALSE(found.empty());
    for (auto &[path, x] : found) {
        EXPECT_TRUE(written.count(path)) << path << ": no such file was written";
        if (written.count(path)) {
            EXPECT_EQ(x.state, LMR_NAMED_INTACT) << path;
        }
    }
}

// exFAT and NTFS written through a mount (the kernel's driver or FUSE):
// files in nested folders deleted, a folder deleted with its files.
class MountedNames : public ::testing::TestWithParam<const char *> {};

TEST_P(MountedNames, DeletedFilesComeBackUnderTheirFoldersWithTheirNames) {
    const std::string type = GetParam();
    if (!have_tool(type == "exfat" ? "mkfs.exfat" : "mkntfs")) GTEST_SKIP() << type << " tools missing";
    Folder folder;
    for (size_t size : {70000, 3000, 41000, 9000, 15000, 700}) folder.add(size);
    const auto &f = folder.files();
    for (auto &x : f) run("TZ=UTC touch -m -d '2024-06-12 14:30:16' '" + x.path + "'");
    const std::string img = folder.path("card.img"), mnt = folder.path("mnt");
    const std::string format = type == "exfat" ? "mkfs.exfat '" + img + "'" : "mkntfs -F -Q -q '" + img + "'";
    const std::string mount = type == "exfat"
                                  ? "mount -t exfat -o loop '" + img + "' '" + mnt + "' 2>/dev/null || "
                                    "mount.exfat-fuse $(losetup -f --show '" + img + "') '" + mnt + "'"
                                  : "ntfs-3g '" + img + "' '" + mnt + "'";
    // A FUSE writer may still hold its loop device for a moment after the
    // unmount: the detach is tried until it is let go.
    const std::string detach = "for l in $(losetup -j '" + img +
                               "' | cut -d: -f1); do for t in $(seq 50); do losetup -d $l 2>/dev/null && break; "
                               "sleep 0.1; done; done";
    const std::string script =
        "set -e; truncate -s 16M '" + img + "'; " + format + " >/dev/null; mkdir '" + mnt + "'; " + mount +
        "; cd '" + mnt + "'; mkdir -p DCIM/100CAMERA Docs Old; cp -p '" + f[0].path +
        "' DCIM/100CAMERA/IMG_20240612_143015.jpg; cp -p '" + f[1].path + "' DCIM/100CAMERA/LIVE.JPG; cp -p '" +
        f[2].path + "' 'Docs/Report for the board, final.pdf'; cp -p '" + f[3].path + "' Old/Apple.bin; cp -p '" +
        f[4].path + "' Old/B.TXT; cp -p '" + f[5].path + "' small.txt; sync; "
        "rm DCIM/100CAMERA/IMG_20240612_143015.jpg 'Docs/Report for the board, final.pdf' small.txt; "
        "rm -r Old; cd /; sync; umount '" + mnt + "'; " + detach;
    const std::string file = folder.path("write.sh");
    FILE *sh = fopen(file.c_str(), "w");
    ASSERT_NE(sh, nullptr);
    fputs(script.c_str(), sh);
    fclose(sh);
    int status = 0;
    std::string out = run("bash '" + file + "' 2>&1", &status);
    if (status != 0) {
        run("cd /; umount '" + mnt + "' 2>/dev/null; " + detach);
        GTEST_SKIP() << "no " << type << " writer can be mounted here: " << out;
    }

    auto found = named_finds(img);
    const std::map<std::string, size_t> expected = {{"DCIM/100CAMERA/IMG_20240612_143015.jpg", 0},
                                                    {"Docs/Report for the board, final.pdf", 2},
                                                    {"Old/Apple.bin", 3},
                                                    {"Old/B.TXT", 4},
                                                    {"small.txt", 5}};
    expect_intact(found, expected, f, type == "exfat" ? "exFAT" : "NTFS");
    for (auto &[path, x] : found) EXPECT_TRUE(expected.count(path)) << path << ": not a deleted file";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, MountedNames, ::testing::Values("exfat", "ntfs"));

// Hostile directories: a folder whose entry points back at its parent, and
// a deleted file whose size runs past the volume.
TEST(HostileNames, FolderLoopsEndAndSizesPastTheVolumeAreLeftOut) {
    if (!have_tool("mkfs.vfat") || !have_tool("mcopy")) GTEST_SKIP() << "dosfstools or mtools missing";
    Folder folder;
    for (size_t size : {5000, 7000}) folder.add(size);
    const std::string img = folder.path("loop.img");
    int status = 0;
    run("cd '" + folder.dir() + "' && export MTOOLS_SKIP_CHECK=1 && truncate -s 8M loop.img && "
        "mkfs.vfat -F 16 -s 1 loop.img >/dev/null && mmd -i loop.img ::Outer ::Outer/Inner && "
        "mcopy -i loop.img f0.bin ::Outer/Gone.bin && mcopy -i loop.img f1.bin ::Outer/Huge.bin && "
        "mdel -i loop.img ::Outer/Gone.bin ::Outer/Huge.bin",
        &status);
    ASSERT_EQ(status, 0);
    Bytes b = lmrtest::read_file(img);
    auto entry = [&](const char *name11) {
        const Bytes name(reinterpret_cast<const uint8_t *>(name11), reinterpret_cast<const uint8_t *>(name11) + 11);
        auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
        EXPECT_NE(at, b.end()) << name11;
        return size_t(at - b.begin());
    };
    const size_t outer = entry("OUTER      "), inner = entry("INNER      ");
    // Inner's first cluster becomes Outer's: walking Inner walks Outer again.
    b[inner + 26] = b[outer + 26];
    b[inner + 27] = b[outer + 27];
    // Huge.bin's short entry follows its long name: its size goes past the volume.
    const size_t huge = entry("\xE5UGE    BIN");
    put32(b, huge + 28, 0xFFFFFF00u);
    FILE *f = fopen(img.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(b.data(), 1, b.size(), f);
    fclose(f);

    DiagCapture diag;
    auto found = named_finds(img);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->first, "Outer/Gone.bin");
    EXPECT_TRUE(found.begin()->second.bytes == folder.files()[0].content);
    EXPECT_NE(diag.text().find("past the last cluster"), std::string::npos) << diag.text();
}
