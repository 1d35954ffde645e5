// Deep scan of free space read as one stream: files written around live
// files and ext2/ext3 files past their 12th block come back whole, reported
// with the byte runs they occupy.  The volumes are made by the real tools
// (mkfs.vfat + mtools, mke2fs + debugfs), which say where each file's bytes
// lie; the crafted ext2 layouts place a file's blocks and indirect blocks by
// hand in an empty volume where the file system itself would have left them.
#include "chunk_helpers.h"
#include "crafted_volumes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace chunktest;

namespace {

struct Find {
    std::string suffix;
    Ranges runs;  // half-open byte ranges, in file order
    uint64_t length = 0;
};

void on_find(void *ctx, r_info *info) {
    static_cast<std::vector<Find> *>(ctx)->push_back(
        {info->suffix, {{info->offset, info->offset + info->length}}, info->length});
}

void on_runs(void *ctx, r_info *info, const r_run *runs, int32_t count) {
    Find f{info->suffix, {}, info->length};
    for (int32_t i = 0; i < count; ++i) f.runs.push_back({runs[i].offset, runs[i].offset + runs[i].length});
    static_cast<std::vector<Find> *>(ctx)->push_back(f);
}

// A scan of the free space of `image`, deep or not, every find with its runs.
std::vector<Find> scan(const std::string &image, bool deep, const char *types = "jpg,png,gif,bmp,mp3,3gp,mp4") {
    std::vector<Find> finds;
    RecordedRun r(&finds, on_find);
    r.run.recovered_runs = on_runs;
    r.run.deep = deep;
    DiagCapture quiet;
    r.start(image, types);
    return finds;
}

std::vector<r_run> as_runs(const Ranges &r) {
    std::vector<r_run> out;
    for (auto &x : r) out.push_back({x.first, x.second - x.first});
    return out;
}

// The find whose runs are exactly `runs`, or null.
const Find *find_with_runs(const std::vector<Find> &finds, const Ranges &runs) {
    for (auto &f : finds)
        if (f.runs == runs) return &f;
    return nullptr;
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/lmr-fragments-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path_.empty()) run("rm -rf '" + path_ + "'");
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Every deleted file of `placed` named in `whole` is found as exactly its
// runs, and reads and exports as the original, byte for byte.
void expect_whole(const std::string &image, const std::vector<Find> &finds, const std::vector<Placed> &placed,
                  const std::vector<std::string> &whole, const std::string &dir) {
    for (const std::string &name : whole) {
        const Placed *p = nullptr;
        for (auto &x : placed)
            if (x.name == name) p = &x;
        ASSERT_NE(p, nullptr) << name;
        ASSERT_TRUE(p->deleted) << name;
        const Ranges expected = normalize(p->ranges);
        // normalize sorts; the file's order is the listing's, joined.
        Ranges in_order;
        for (auto &r : p->ranges) {
            if (!in_order.empty() && in_order.back().second == r.first)
                in_order.back().second = r.second;
            else
                in_order.push_back(r);
        }
        (void)expected;
        const Find *f = find_with_runs(finds, in_order);
        if (!f) {
            ADD_FAILURE() << name << " (" << in_order.size() << " runs) not found as its runs";
            continue;
        }
        EXPECT_EQ(f->length, p->size) << name;
        const Bytes original = lmrtest::read_file(lmrtest::data_path(name.find(".mp3") != std::string::npos ||
                                                                             name.find(".3gp") != std::string::npos
                                                                         ? "media/" + name
                                                                         : "image/" + name));
        const std::vector<r_run> runs = as_runs(f->runs);
        Bytes read(original.size());
        EXPECT_EQ(general_file_read_runs(image.c_str(), runs.data(), int32_t(runs.size()), 0, int32_t(read.size()),
                                         read.data()),
                  int(original.size()))
            << name;
        EXPECT_TRUE(read == original) << name << " reads differently";
        const std::string out = dir + "/found-" + name;
        ASSERT_EQ(general_file_export_runs(image.c_str(), runs.data(), int32_t(runs.size()), out.c_str()), 0) << name;
        EXPECT_TRUE(lmrtest::read_file(out) == original) << name << " exports differently";
    }
}

std::string media(const char *name) { return lmrtest::data_path(std::string("media/") + name); }
std::string picture(const char *name) { return lmrtest::data_path(std::string("image/") + name); }

}  // namespace

// On a card in use, a file written after others were deleted fills their
// holes and runs on past the files still there: its bytes lie in several
// free runs.  Read as one stream, the free space gives it back whole, as
// its runs; the built-in rules, which end every find at its run's end, do
// not, and deep mode off stays as it was.
TEST(FragmentedFinds, FilesWrittenAroundLiveFilesComeBackWholeAsTheirRuns) {
    if (!have_tool("mkfs.vfat") || !have_tool("mcopy") || !have_tool("mke2fs") || !have_tool("debugfs"))
        GTEST_SKIP() << "dosfstools, mtools or e2fsprogs missing (scripts/setup installs them)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    struct Case {
        const char *type;
        const char *unit;
    };
    for (const Case c : {Case{"fat32", "512"}, Case{"ext2", "1024"}}) {
        SCOPED_TRACE(c.type);
        const std::string image = dir.path() + "/" + c.type + ".img";
        // Small files, every other one deleted; then larger ones fill the
        // holes around the live ones, and two of them are deleted in turn.
        std::string steps;
        for (const char *f : {"v5.bmp", "jfif.jpg", "gif87a_128.gif", "progressive.jpg", "palette.bmp", "no_app0.jpg",
                              "height_2000.bmp", "exif_first_thumb.jpg", "png_small.png", "jfif_exif_thumb.jpg",
                              "gif89a_comment.gif"})
            steps += " +" + picture(f);
        steps += " -jfif.jpg -progressive.jpg -no_app0.jpg -exif_first_thumb.jpg -jfif_exif_thumb.jpg";
        steps += " ^ +" + picture("rgb.png") + " ^ +" + picture("gif89a_animated_pil.gif") + " ^ +" + media("h263.3gp");
        steps += " -rgb.png -gif89a_animated_pil.gif";
        int status = 0;
        const std::vector<Placed> placed = parse_listing(
            run("'" + fixture_script("make_busy_volume.sh") + "' -t " + c.type + " -b " + c.unit + " -s 40960 '" +
                    image + "'" + steps,
                &status));
        ASSERT_EQ(status, 0);
        ASSERT_EQ(placed.size(), 14u);
        // The layout is what the test is about: the two deleted files lie
        // in more than one piece.
        for (auto &p : placed) {
            if (p.name == "rgb.png" || p.name == "gif89a_animated_pil.gif") {
                EXPECT_GT(p.ranges.size(), 1u) << p.name << " was written in one piece";
            }
        }

        const std::vector<Find> deep = scan(image, true);
        expect_whole(image, deep, placed, {"rgb.png", "gif89a_animated_pil.gif"}, dir.path());
        // No find reaches into a live file.
        for (auto &f : deep) {
            for (auto &r : f.runs) {
                for (auto &p : placed) {
                    if (p.deleted) continue;
                    for (auto &l : p.ranges)
                        EXPECT_FALSE(r.first < l.second && l.first < r.second)
                            << f.suffix << " find at " << r.first << " overlaps live " << p.name;
                }
            }
        }

        // Deep mode off: no find of several runs, and the fragmented
        // picture does not come back whole.
        const std::vector<Find> builtin = scan(image, false);
        for (auto &f : builtin) EXPECT_EQ(f.runs.size(), 1u);
        for (auto &p : placed) {
            if (p.name == "rgb.png") {
                EXPECT_EQ(find_with_runs(builtin, p.ranges), nullptr);
            }
        }
    }
}

// ext2/ext3 write an indirect block after a file's 12th data block and, for
// larger files, a double indirect block and its indirect blocks: a copy of
// the range holds them among the data.  A deep scan leaves them out, at 1
// KiB blocks (the double range starts at 268 KiB) and at 4 KiB.
TEST(FragmentedFinds, IndirectBlocksAreLeftOutOfExt2AndExt3Files) {
    if (!have_tool("mke2fs") || !have_tool("debugfs")) GTEST_SKIP() << "e2fsprogs missing (scripts/setup installs it)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const char *files[] = {"rgb_287k.png", "gif89a_animated_pil.gif", "rgb.png", "jfif_baseline.jpg",
                           "v5.bmp"};
    for (const char *type : {"ext2", "ext3"}) {
        for (const char *bs : {"1024", "4096"}) {
            SCOPED_TRACE(std::string(type) + " " + bs);
            const std::string image = dir.path() + "/" + type + "-" + bs + ".img";
            std::string steps;
            for (const char *f : files) steps += std::string(" +") + picture(f);
            steps += " -rgb_287k.png -gif89a_animated_pil.gif -rgb.png -jfif_baseline.jpg";
            int status = 0;
            const std::vector<Placed> placed = parse_listing(
                run("'" + fixture_script("make_busy_volume.sh") + "' -t " + type + " -b " + bs + " -s 16384 '" +
                        image + "'" + steps,
                    &status));
            ASSERT_EQ(status, 0);
            ASSERT_EQ(placed.size(), 5u);
            std::vector<std::string> deleted = {"rgb_287k.png", "gif89a_animated_pil.gif", "rgb.png",
                                                "jfif_baseline.jpg"};
            const std::vector<Find> deep = scan(image, true);
            expect_whole(image, deep, placed, deleted, dir.path());
            // Without deep mode the range is copied whole, indirect blocks
            // and all: the larger files do not come back.
            if (std::string(bs) == "1024") {
                const std::vector<Find> builtin = scan(image, false);
                for (auto &p : placed) {
                    if (p.name == "rgb_287k.png") {
                        EXPECT_EQ(find_with_runs(builtin, p.ranges), nullptr);
                    }
                }
            }
        }
    }
}

namespace {

// An empty ext2 or ext3 volume of 1 KiB blocks (16 MiB) into which a
// deleted file is placed by hand (blocks from 2500 to 8000 are free; the
// journal of ext3 lies before them).
class CraftedExt2 {
public:
    explicit CraftedExt2(const std::string &dir, const char *type = "ext2") : image_(dir + "/crafted.img") {
        int status = 0;
        run(std::string("mke2fs -q -F -t ") + type + " -b 1024 '" + image_ + "' 16384k >/dev/null 2>&1", &status);
        ok_ = status == 0;
        fd_ = open(image_.c_str(), O_RDWR);
        ok_ = ok_ && fd_ >= 0;
    }
    ~CraftedExt2() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    const std::string &image() const { return image_; }

    void put_block(uint64_t block, const unsigned char *bytes, size_t n) {
        Bytes b(1024, 0);
        memcpy(b.data(), bytes, n < 1024 ? n : 1024);
        ASSERT_EQ(pwrite(fd_, b.data(), 1024, off_t(block * 1024)), 1024);
    }
    void put_pointers(uint64_t block, const std::vector<uint32_t> &numbers) {
        Bytes b(1024, 0);
        for (size_t i = 0; i < numbers.size() && i < 256; ++i) put32(b, 4 * i, numbers[i]);
        put_block(block, b.data(), b.size());
    }
    // Junk that is no indirect block: numbers far beyond the volume.
    void put_junk(uint64_t from, uint64_t count) {
        Bytes b(1024);
        for (uint64_t k = 0; k < count; ++k) {
            for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(0xA5 ^ (i * 7) ^ k);
            put_block(from + k, b.data(), b.size());
        }
    }
    // Puts file blocks [first, first + count) of `data` at `at`.
    void put_data(const Bytes &data, uint64_t first, uint64_t count, uint64_t at) {
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t from = (first + k) * 1024;
            if (from >= data.size()) return;
            put_block(at + k, data.data() + from, std::min<size_t>(1024, data.size() - from));
        }
    }

private:
    std::string image_;
    int fd_ = -1;
    bool ok_ = false;
};

std::vector<uint32_t> numbers(uint32_t from, uint32_t count) {
    std::vector<uint32_t> n;
    for (uint32_t i = 0; i < count; ++i) n.push_back(from + i);
    return n;
}

}  // namespace

// A file system that allocates the indirect blocks apart from the data (as
// the kernel's block-mapped allocator does) leaves them anywhere in the
// free space, before or after the data; a file system that clears them on
// delete leaves zeros where they stood.  The 287 KiB picture has 281 blocks
// of 1 KiB: 12 direct, 256 through the single indirect block, 13 through
// the double indirect one.
TEST(FragmentedFinds, IndirectBlocksAreFollowedWhereverTheyLieAndClearedOnesSkipped) {
    if (!have_tool("mke2fs")) GTEST_SKIP() << "e2fsprogs missing (scripts/setup installs it)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const Bytes png = lmrtest::read_file(picture("rgb_287k.png"));
    ASSERT_EQ(png.size(), 286587u);
    const uint64_t last = (png.size() - 1) / 1024;  // 279: the last file block
    const uint64_t tail = png.size() - last * 1024;

    struct Layout {
        const char *name;
        uint32_t ind, dind, ind2;  // where the indirect blocks stand
        bool cleared;
    };
    // Clearing them was the old ext3 driver's way: that layout is on ext3.
    for (const Layout l : {Layout{"after the data, in the next group", 12000, 12001, 12002, false},
                           Layout{"before the data", 2500, 2502, 2501, false},
                           Layout{"cleared, where they were written", 0, 0, 0, true}}) {
        SCOPED_TRACE(l.name);
        CraftedExt2 v(dir.path(), l.cleared ? "ext3" : "ext2");
        ASSERT_TRUE(v.ok());
        Ranges expected;
        if (!l.cleared) {
            // Blocks 0-15 at 3000, as they were written together; other
            // files' junk after them; the rest at 4000.  The indirect
            // blocks were allocated on their own.
            v.put_data(png, 0, 16, 3000);
            v.put_junk(3016, 984);
            v.put_data(png, 16, last + 1 - 16, 4000);
            std::vector<uint32_t> single = numbers(3012, 4), rest = numbers(4000, 252);
            single.insert(single.end(), rest.begin(), rest.end());
            v.put_pointers(l.ind, single);
            v.put_pointers(l.dind, {l.ind2});
            v.put_pointers(l.ind2, numbers(4252, uint32_t(last + 1 - 268)));
            expected = {{3000 * 1024, 3016 * 1024}, {4000 * 1024, 4000 * 1024 + (last - 16) * 1024 + tail}};
        } else {
            // 12 blocks, a zero block, 256 blocks, two zero blocks, the rest.
            Bytes zero(1024, 0);
            v.put_data(png, 0, 12, 3000);
            v.put_block(3012, zero.data(), zero.size());
            v.put_data(png, 12, 256, 3013);
            v.put_block(3269, zero.data(), zero.size());
            v.put_block(3270, zero.data(), zero.size());
            v.put_data(png, 268, last + 1 - 268, 3271);
            expected = {{3000 * 1024, 3012 * 1024},
                        {3013 * 1024, 3269 * 1024},
                        {3271 * 1024, 3271 * 1024 + (last - 268) * 1024 + tail}};
        }
        const std::vector<Find> deep = scan(v.image(), true, "png");
        const Find *f = find_with_runs(deep, expected);
        ASSERT_NE(f, nullptr) << deep.size() << " finds";
        const std::vector<r_run> runs = as_runs(f->runs);
        Bytes read(png.size());
        EXPECT_EQ(general_file_read_runs(v.image().c_str(), runs.data(), int32_t(runs.size()), 0,
                                         int32_t(read.size()), read.data()),
                  int(png.size()));
        EXPECT_TRUE(read == png);
    }
}

// Indirect blocks are hostile bytes too: ones that point at themselves, at
// each other in a ring, or at blocks in use end the file there; the scan
// ends and reports no find that reaches outside the free space.
TEST(FragmentedFinds, HostileIndirectBlocksEndTheFileAndTheScanEnds) {
    if (!have_tool("mke2fs")) GTEST_SKIP() << "e2fsprogs missing (scripts/setup installs it)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const Bytes png = lmrtest::read_file(picture("rgb_287k.png"));
    CraftedExt2 v(dir.path());
    ASSERT_TRUE(v.ok());
    v.put_data(png, 0, 12, 1000);
    // The single indirect block right after the direct ones names itself,
    // then blocks of the inode table (in use), then the direct blocks again.
    std::vector<uint32_t> ring = {1012, 1013, 1000, 1001, 5, 6};
    v.put_pointers(1012, ring);
    v.put_pointers(1013, {1012, 1013});
    const std::vector<Find> deep = scan(v.image(), true, "png");
    // Whatever is reported lies in free blocks and has a bounded number of runs.
    for (auto &f : deep) {
        EXPECT_LE(f.runs.size(), size_t(LMR_MAX_RUNS));
        for (auto &r : f.runs) EXPECT_GE(r.first, 1000u * 1024) << "find reaches block " << r.first / 1024;
    }
}

namespace {

// Raw AAC of `frames` ADTS frames of `len` bytes each (MPEG-4, no CRC,
// 44.1 kHz, stereo): every frame starts like the file.
Bytes adts_stream(int frames, uint32_t len) {
    Bytes out;
    for (int i = 0; i < frames; ++i) {
        const uint8_t h[7] = {0xFF, 0xF1, 0x50, uint8_t(0x80 | (len >> 11)), uint8_t(len >> 3),
                              uint8_t((len & 7) << 5 | 0x1F), 0xFC};
        out.insert(out.end(), h, h + 7);
        Bytes body = lmrtest::random_bytes(len - 7, uint32_t(i));
        out.insert(out.end(), body.begin(), body.end());
    }
    return out;
}

}  // namespace

// A find's own blocks are not tried again as the start of another file,
// though they start like one: raw AAC, whose frames all look like its
// first, found once in the free space of a FAT32 volume, not once more from
// each cluster that a frame starts.
TEST(FragmentedFinds, AFindsOwnBlocksAreNotFoundAgain) {
    Fat32 v(200);
    v.img[13] = 1;  // 512-byte clusters: every other frame starts one
    v.img.resize(size_t(v.data_start() + 200 * 512));
    put32(v.img, 32, uint32_t(v.img.size() / 512));
    v.used(2, 4);  // a live file first; the rest is free
    const Bytes aac = adts_stream(150, 256);
    const uint64_t at = v.data_start() + 2 * 512;
    std::copy(aac.begin(), aac.end(), v.img.begin() + long(at));
    lmrtest::TempFile image(v.img);
    const std::vector<Find> finds = scan(image.path(), true, "aac");
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_EQ(finds[0].suffix, "aac");
    EXPECT_EQ(finds[0].length, aac.size());
    EXPECT_EQ(finds[0].runs.front().first, at);
}
