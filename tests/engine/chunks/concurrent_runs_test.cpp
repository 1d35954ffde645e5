// Two runs at once, on two threads, each with a record of its own: every
// piece of a run's state (search table, block size, layout of the volume,
// indirect blocks, window, progress, outcome) is the record's, so each run
// finds exactly what it finds alone, and the C interface's published values
// are left as they were.
#include "chunk_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <tuple>

using namespace chunktest;

namespace {

struct Find {
    uint64_t offset, length;
    std::string suffix;
    Ranges runs;
    bool operator<(const Find &o) const {
        return std::tie(offset, length, suffix, runs) < std::tie(o.offset, o.length, o.suffix, o.runs);
    }
    bool operator==(const Find &o) const {
        return std::tie(offset, length, suffix, runs) == std::tie(o.offset, o.length, o.suffix, o.runs);
    }
};

struct Outcome {
    std::vector<Find> finds;
    int outcome = 0;
    uint32_t block_size = 0;
    uint64_t proceeds = 0;
};

void on_find(void *ctx, r_info *info) {
    static_cast<Outcome *>(ctx)->finds.push_back(
        {info->offset, info->length, info->suffix, {{info->offset, info->offset + info->length}}});
}

void on_runs(void *ctx, r_info *info, const r_run *runs, int32_t count) {
    Find f{info->offset, info->length, info->suffix, {}};
    for (int32_t i = 0; i < count; ++i) f.runs.push_back({runs[i].offset, runs[i].offset + runs[i].length});
    static_cast<Outcome *>(ctx)->finds.push_back(f);
}

void on_proceed(void *ctx, unsigned long long, unsigned long long) { ++static_cast<Outcome *>(ctx)->proceeds; }

struct Job {
    std::string image;
    const char *types;
    bool deep;
};

Outcome scan(const Job &job) {
    Outcome out;
    RecordedRun r(&out, on_find, on_proceed);
    r.run.recovered_runs = on_runs;
    r.run.deep = job.deep;
    r.start(job.image, job.types);
    out.outcome = r.run.outcome;
    out.block_size = r.run.block_size;
    std::sort(out.finds.begin(), out.finds.end());
    return out;
}

std::string picture(const char *name) { return lmrtest::data_path(std::string("image/") + name); }

}  // namespace

TEST(ConcurrentRuns, TwoRunsAtOnceEachFindExactlyWhatTheyFindAlone) {
    if (!have_tool("mkfs.vfat") || !have_tool("mcopy") || !have_tool("mke2fs") || !have_tool("debugfs"))
        GTEST_SKIP() << "dosfstools, mtools or e2fsprogs missing (scripts/setup installs them)";
    lmrtest::TempDir dir("concurrent");
    ASSERT_FALSE(dir.path().empty());
    const std::string doc = lmrtest::data_path("compound/doc_lo_text.doc");

    // An ext2 volume of 1 KiB blocks whose larger deleted pictures reach
    // their later blocks through indirect blocks (a deep scan follows
    // them), and a FAT32 volume of 512-byte clusters scanned with the built-in
    // rules for other types: different block sizes, layouts, tables, modes.
    const std::string ext2 = dir.path() + "/ext2.img", fat = dir.path() + "/fat32.img";
    int status = 0;
    run("'" + fixture_script("make_busy_volume.sh") + "' -t ext2 -b 1024 -s 16384 '" + ext2 + "' +" +
            picture("rgb_287k.png") + " +" + picture("v5.bmp") + " +" + picture("gif89a_animated_pil.gif") + " +" +
            doc + " +" + picture("jfif_baseline.jpg") +
            " -rgb_287k.png -gif89a_animated_pil.gif -doc_lo_text.doc -jfif_baseline.jpg",
        &status);
    ASSERT_EQ(status, 0);
    run("'" + fixture_script("make_busy_volume.sh") + "' -t fat32 -b 512 -s 40960 '" + fat + "' +" +
            picture("progressive.jpg") + " +" + picture("palette.bmp") + " +" + doc + " +" + picture("rgb.png") +
            " +" + picture("gif87a_128.gif") + " -progressive.jpg -rgb.png -doc_lo_text.doc -gif87a_128.gif",
        &status);
    ASSERT_EQ(status, 0);
    const Job jobs[2] = {{ext2, "jpg,png,gif,bmp,doc", true}, {fat, "gif,doc,png,jpg", false}};

    DiagCapture quiet;
    const Outcome alone[2] = {scan(jobs[0]), scan(jobs[1])};
    // What the runs are about: the ext2 picture past its 12th block comes
    // back as several runs, and each volume steps by its own block size.
    EXPECT_EQ(alone[0].block_size, 1024u);
    EXPECT_EQ(alone[1].block_size, 512u);
    EXPECT_TRUE(std::any_of(alone[0].finds.begin(), alone[0].finds.end(),
                            [](const Find &f) { return f.suffix == "png" && f.runs.size() > 1; }));
    EXPECT_TRUE(std::any_of(alone[1].finds.begin(), alone[1].finds.end(),
                            [](const Find &f) { return f.suffix == "doc"; }));

    const uint32_t block_before = _block_size;
    const int outcome_before = get_last_run_outcome();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Outcome together[2];
        std::thread first([&] { together[0] = scan(jobs[0]); });
        std::thread second([&] { together[1] = scan(jobs[1]); });
        first.join();
        second.join();
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(jobs[i].image);
            EXPECT_EQ(together[i].outcome, LMR_RUN_SCANNED);
            EXPECT_EQ(together[i].block_size, alone[i].block_size);
            EXPECT_EQ(together[i].proceeds, alone[i].proceeds);
            EXPECT_TRUE(together[i].finds == alone[i].finds)
                << together[i].finds.size() << " finds together, " << alone[i].finds.size() << " alone";
        }
    }
    // Runs on records of their own publish nothing of theirs.
    EXPECT_EQ(_block_size, block_before);
    EXPECT_EQ(get_last_run_outcome(), outcome_before);
}
