// The scan driver on synthetic images, with test probes registered for
// types that have no probe of their own ("exe": header MZ) and, where the
// test needs it, in place of the mp4 and text probes.
#include "engine/scan_run.h"
#include "engine/file_types.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace lmrtest;

namespace {

struct Find {
    uint64_t offset, length;
    std::string suffix, path;
};

struct ProbeCall {
    uint64_t offset, limit;
    int32_t available;
    unsigned char first[8];
};

std::vector<Find> g_finds;
std::vector<ProbeCall> g_calls;
std::vector<unsigned long long> g_proceeds;
std::function<void(unsigned long long)> g_on_proceed;

void on_found(void *, r_info *info) { g_finds.push_back({info->offset, info->length, info->suffix, info->path}); }
void on_progress(void *, float) {}
void on_proceed(void *, unsigned long long processed, unsigned long long) {
    g_proceeds.push_back(processed);
    if (g_on_proceed) g_on_proceed(processed);
}

// Test file format: "MZ", 4-byte little-endian length, then 'Y' for a
// file (anything else: not a file).
uint64_t test_probe(recovery_state *, search_spec_entry *, const unsigned char *data, int32_t available,
                    uint64_t offset, uint64_t limit, int32_t *found) {
    ProbeCall call{offset, limit, available, {}};
    memcpy(call.first, data, available < 8 ? size_t(available) : 8);
    g_calls.push_back(call);
    if (available < 7 || data[6] != 'Y') return 0;
    *found = 1;
    return htoi(data + 2, 1);
}

void put_file(Bytes &img, size_t at, uint32_t length, char flag = 'Y') {
    img[at] = 'M';
    img[at + 1] = 'Z';
    img[at + 2] = (unsigned char)(length);
    img[at + 3] = (unsigned char)(length >> 8);
    img[at + 4] = (unsigned char)(length >> 16);
    img[at + 5] = (unsigned char)(length >> 24);
    img[at + 6] = (unsigned char)flag;
}

class ScanDriver : public ::testing::Test {
protected:
    void SetUp() override {
        g_finds.clear();
        g_calls.clear();
        g_proceeds.clear();
        g_on_proceed = nullptr;
        saved_exe_ = register_probe(lmr::row_key("exe"), test_probe);
        saved_mp4_ = register_probe(lmr::row_key("mp4"), test_probe);
        saved_txt_ = register_probe(lmr::row_key("txt"), test_probe);
        set_callbacks(this, on_found, on_progress, on_proceed);
        is_formated = 1;  // plain images: no file system, 512-byte blocks
        skip_exist = 0;
    }
    void TearDown() override {
        register_probe(lmr::row_key("exe"), saved_exe_);
        register_probe(lmr::row_key("mp4"), saved_mp4_);
        register_probe(lmr::row_key("txt"), saved_txt_);
        set_callbacks(nullptr, nullptr, nullptr, nullptr);
        g_on_proceed = nullptr;
        is_formated = 0;
    }
    void scan(const Bytes &img, const char *types) {
        TempFile f(img, "scan");
        start_recovery2(f.path().c_str(), types, "", 0);
    }
    probe_fn saved_exe_ = nullptr, saved_mp4_ = nullptr, saved_txt_ = nullptr;
};

TEST_F(ScanDriver, SignaturesAreTestedAtBlockStartsOnly) {
    Bytes img(8192, 0);
    put_file(img, 1024, 100);
    put_file(img, 2049, 100);  // one byte off a block start
    put_file(img, 4096, 100, 'N');  // probed, but not a file
    scan(img, "exe");
    ASSERT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(g_finds[0].offset, 1024u);
    EXPECT_EQ(g_finds[0].length, 100u);
    EXPECT_EQ(g_finds[0].suffix, "exe");
    EXPECT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
}

TEST_F(ScanDriver, Mp4IsRecognisedByFtypAtByteFour) {
    Bytes img(4096, 0);
    memcpy(&img[1536 + 4], "ftypisom", 8);
    scan(img, "mp4");
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].offset, 1536u);
    EXPECT_EQ(memcmp(g_calls[0].first + 4, "ftyp", 4), 0);
}

TEST_F(ScanDriver, FirstEntryInTableOrderWins) {
    Bytes img(4096, 0);
    put_file(img, 512, 10);
    memcpy(&img[512 + 4], "ftyp", 4);  // both "MZ" at the block and "ftyp" at +4
    scan(img, "mp4,exe");
    ASSERT_EQ(g_finds.size(), 0u);  // the mp4 entry got it; byte 6 is 'y', not 'Y'
    ASSERT_EQ(g_calls.size(), 1u);
    g_calls.clear();
    img[512 + 6] = 'Y';
    scan(img, "exe,mp4");
    ASSERT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(g_finds[0].suffix, "exe");
    EXPECT_EQ(g_calls.size(), 1u);
}

TEST_F(ScanDriver, SkipsOverAFindToTheNextBlockBoundary) {
    Bytes img(16384, 0);
    put_file(img, 0, 1000);   // covers blocks 0 and 1
    put_file(img, 512, 50);   // inside the first file: never probed
    put_file(img, 1024, 0);   // length 0: the scan moves one block
    put_file(img, 1536, 1024);  // exactly two blocks
    put_file(img, 2048, 10);  // inside
    put_file(img, 2560, 10);
    scan(img, "exe");
    std::vector<uint64_t> offsets;
    for (auto &f : g_finds) offsets.push_back(f.offset);
    EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 1024, 1536, 2560}));
}

TEST_F(ScanDriver, WindowsAndTheLastShortWindow) {
    const size_t W = LMR_SCAN_BUFFER_SIZE;
    Bytes img(W + 1000, 0);
    put_file(img, W - 512, 2048);  // runs past the first window
    put_file(img, W, 10);          // its tail: scanned again in window two
    put_file(img, W + 512, 10);    // the last short window's last block
    scan(img, "exe");
    ASSERT_EQ(g_finds.size(), 3u);
    EXPECT_EQ(g_finds[0].offset, W - 512);
    EXPECT_EQ(g_finds[1].offset, W);
    EXPECT_EQ(g_finds[2].offset, W + 512);
    // The candidate at the window's end saw only its 512 bytes in memory,
    // but may read on to the end of the input.
    EXPECT_EQ(g_calls[0].available, 512);
    EXPECT_EQ(g_calls[0].limit, 1512u);
    EXPECT_EQ(g_proceeds.back(), img.size());
}

TEST_F(ScanDriver, StopInTheSecondWindowEndsTheScan) {
    const size_t W = LMR_SCAN_BUFFER_SIZE;
    Bytes img(2 * W + 4096, 0);
    put_file(img, 512, 10);
    put_file(img, 2 * W + 512, 10);
    g_on_proceed = [&](unsigned long long processed) {
        if (processed >= W + 4096) stop_recovery();
    };
    scan(img, "exe");
    ASSERT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(signal_caught, 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_STOPPED);
    EXPECT_LT(g_proceeds.back(), 2 * W);
}

TEST_F(ScanDriver, PauseThenStopFromAnotherThread) {
    Bytes img(1 << 20, 0);
    std::atomic<bool> paused{false};
    g_on_proceed = [&](unsigned long long processed) {
        if (processed == 4096 && !paused) {
            paused = true;
            general_file_pause();
        }
    };
    std::thread controller([&] {
        while (!paused) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        size_t seen = g_proceeds.size();
        EXPECT_LE(seen, 10u);  // nothing moved while paused
        general_file_stop();
    });
    scan(img, "exe");
    controller.join();
    EXPECT_EQ(signal_caught, 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_STOPPED);
    resume_recovery();
}

std::atomic<int> g_text_probes{0};
uint64_t counting_probe(recovery_state *, search_spec_entry *, const unsigned char *, int32_t, uint64_t, uint64_t,
                        int32_t *) {
    ++g_text_probes;
    return 0;
}

size_t count_lines(const DiagCapture &diag, const std::string &line) {
    auto l = diag.lines();
    return size_t(std::count(l.begin(), l.end(), line));
}

TEST_F(ScanDriver, DiagnosticLinesAreAllOutWhenPausedAndWhenTheRunEnds) {
    // Text mode writes two lines for every block it probes: the densest
    // diagnostics there are.
    register_probe(lmr::row_key("txt"), counting_probe);
    g_text_probes = 0;
    Bytes img(4 << 20, 'a');
    DiagCapture diag;
    std::atomic<bool> paused{false};
    g_on_proceed = [&](unsigned long long processed) {
        if (processed == (2 << 20) && !paused) {
            paused = true;
            general_file_pause();
        }
    };
    size_t while_paused = 0, probed_then = 0;
    std::thread controller([&] {
        while (!paused) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        probed_then = size_t(g_text_probes.load());
        while_paused = count_lines(diag, "first char=61");
        general_file_resume();
    });
    scan(img, "txt");
    controller.join();
    EXPECT_GT(probed_then, 4000u);
    EXPECT_EQ(while_paused, probed_then);
    EXPECT_EQ(count_lines(diag, "first char=61"), size_t(g_text_probes.load()));
    EXPECT_EQ(size_t(g_text_probes.load()), img.size() / 512);
    // In order: each block's two lines together, the run's own lines first.
    auto lines = diag.lines();
    auto first = std::find(lines.begin(), lines.end(), "right! ");
    ASSERT_NE(first, lines.end());
    EXPECT_NE(std::find(lines.begin(), first, "Start to search the stream"), first);
    for (auto it = first; it != lines.end() && it + 1 != lines.end(); it += 2) {
        ASSERT_EQ(*it, "right! ");
        ASSERT_EQ(*(it + 1), "first char=61");
    }
}

// A stop that arrives before the run starts is that run's: it ends stopped
// without a find.  What is left of a stop is cleared when a run ends,
// however it ends, so the run after it goes its whole way.
TEST_F(ScanDriver, StopBeforeTheRunIsKeptForThatRunOnly) {
    Bytes img(4096, 0);
    put_file(img, 2048, 10);
    stop_recovery();
    scan(img, "exe");
    EXPECT_TRUE(g_finds.empty());
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_STOPPED);
    EXPECT_EQ(signal_caught, 0);
    scan(img, "exe");
    EXPECT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);

    // A run that ends before it scans takes the stop with it as well.
    for (const char *types : {"", "no-such-type"}) {
        g_finds.clear();
        stop_recovery();
        scan(img, types);
        EXPECT_EQ(get_last_run_outcome(), LMR_RUN_NOTHING_TO_SEARCH);
        EXPECT_EQ(signal_caught, 0) << types;
        scan(img, "exe");
        EXPECT_EQ(g_finds.size(), 1u) << types;
    }
    // So does a run stopped after its last block, when no scan looks at the
    // flag any more.
    g_finds.clear();
    g_on_proceed = [&](unsigned long long processed) {
        if (processed == img.size()) stop_recovery();
    };
    scan(img, "exe");
    g_on_proceed = nullptr;
    EXPECT_EQ(signal_caught, 0);
    scan(img, "exe");
    EXPECT_EQ(g_finds.size(), 2u);
}

// A run on a record of its own answers to the record alone: its callbacks,
// its flag words and its settings, whatever the process-wide ones say; and
// the C interface's globals are left as they were.
TEST_F(ScanDriver, ARunRecordCarriesTheWholeRun) {
    Bytes img(4096, 0);
    put_file(img, 2048, 10);
    TempFile f(img, "record");
    std::vector<Find> mine;
    auto on_mine = [](void *ctx, r_info *info) {
        static_cast<std::vector<Find> *>(ctx)->push_back({info->offset, info->length, info->suffix, info->path});
    };
    auto fresh = [&] {
        lmr::scan_run run;
        run.context = &mine;
        run.recovered = on_mine;
        run.plain_image = true;
        return run;
    };

    // The process-wide stop word and callbacks do not reach it.
    stop_recovery();
    {
        lmr::scan_run run = fresh();
        lmr::run_recovery(run, f.path().c_str(), "exe", "", 0);
        EXPECT_EQ(run.outcome, LMR_RUN_SCANNED);
    }
    EXPECT_EQ(signal_caught, 2);
    signal_caught = 0;
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].offset, 2048u);
    EXPECT_TRUE(g_finds.empty());

    // A stop asked of the record before its run is kept, and cleared at
    // its end; the process-wide outcome stays the facade's.
    mine.clear();
    const int before = get_last_run_outcome();
    lmr::scan_run stopped = fresh();
    stopped.request_stop();
    lmr::run_recovery(stopped, f.path().c_str(), "exe", "", 0);
    EXPECT_EQ(stopped.outcome, LMR_RUN_STOPPED);
    EXPECT_FALSE(stopped.stop_asked());
    EXPECT_TRUE(mine.empty());
    EXPECT_EQ(get_last_run_outcome(), before);

    // The record's block size is its own: a plain image steps by sectors.
    EXPECT_EQ(stopped.block_size, 512u);
}

TEST_F(ScanDriver, TextModeProbesQualifyingBlocksFromTheirStart) {
    Bytes img(4096, 0xFF);
    const char lead[] = "\n\n\nHello";
    memcpy(&img[512], lead, sizeof lead - 1);
    img[1024] = 0x00;  // disqualifies
    img[1536] = 0xC3;  // a UTF-8 lead byte
    img[2048] = 0x80;  // a continuation byte: no
    scan(img, "txt");
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].offset, 512u);
    EXPECT_EQ(g_calls[0].first[0], '\n');
    EXPECT_EQ(g_calls[1].offset, 1536u);
}

TEST_F(ScanDriver, FailuresAreToldApartFromEmptyResults) {
    scan(Bytes(), "exe");
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_EMPTY_INPUT);
    start_recovery2("/nonexistent-lmr/image.dd", "exe", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_CANNOT_OPEN);
    EXPECT_NE(get_last_run_errno(), 0);
    // No known type: the input is not even opened.
    start_recovery2("/nonexistent-lmr/image.dd", "bogus", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_NOTHING_TO_SEARCH);
    start_recovery2("/nonexistent-lmr/image.dd", "", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_NOTHING_TO_SEARCH);
    // A long path is opened like any other; one longer than the system
    // takes, or none, is refused.
    std::string longpath = "/nonexistent-lmr/" + std::string(300, 'a');
    start_recovery2(longpath.c_str(), "exe", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_CANNOT_OPEN);
    std::string overlong = "/nonexistent-lmr/" + std::string(PATH_MAX, 'a');
    start_recovery2(overlong.c_str(), "exe", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_BAD_PATH);
    start_recovery2(nullptr, "exe", "", 0);
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_BAD_PATH);
    EXPECT_TRUE(g_finds.empty());
}

TEST_F(ScanDriver, AnInputThatShrinksDuringTheScanIsNoticed) {
    // Two files, and enough input for several windows' worth of reads; the
    // file is cut to 512 KiB once the scan is under way.
    Bytes img(4 << 20, 0);
    put_file(img, 4096, 1000);
    put_file(img, 900000, 1000);
    put_file(img, 3 << 20, 1000);
    TempFile f(img, "shrink");
    bool cut = false;
    g_on_proceed = [&](unsigned long long) {
        if (!cut) cut = truncate(f.path().c_str(), 512 * 1024) == 0;
    };
    DiagCapture diag;
    start_recovery(f.path().c_str(), "exe", "");
    ASSERT_TRUE(cut);
    // Only the find that still lies inside the input is reported.
    ASSERT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(g_finds[0].offset, 4096u);
    uint64_t size = 0;
    EXPECT_EQ(get_last_run_input_shrank(&size), 1);
    EXPECT_EQ(size, 512u * 1024);
    EXPECT_NE(diag.text().find("warning: the input shrank during the scan, 524288 of 4194304 bytes remain"),
              std::string::npos)
        << diag.text();

    // The next run starts afresh, and an input that keeps its size is not
    // said to shrink.
    start_recovery(f.path().c_str(), "exe", "");
    EXPECT_EQ(get_last_run_input_shrank(&size), 0);
}

TEST_F(ScanDriver, FindRecordCarriesThePath) {
    Bytes img(2048, 0);
    put_file(img, 512, 10);
    TempFile f(img, "scan path");
    start_recovery(f.path().c_str(), "exe", "");
    ASSERT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(g_finds[0].path, f.path());

    // A path longer than the record's field is scanned, and left out of the
    // record rather than cut into the name of another file.
    TempDir base("lmr-long");
    std::string dir = base.path();
    for (int i = 0; i < 3; ++i) {
        dir += "/" + std::string(90, char('a' + i));
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    }
    const std::string path = dir + "/volume.img";
    ASSERT_GE(path.size(), size_t(LMR_PATH_MAX));
    FILE *w = fopen(path.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(fwrite(img.data(), 1, img.size(), w), img.size());
    fclose(w);
    g_finds.clear();
    start_recovery(path.c_str(), "exe", "");
    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
    ASSERT_EQ(g_finds.size(), 1u);
    EXPECT_EQ(g_finds[0].offset, 512u);
    EXPECT_EQ(g_finds[0].path, "");
}

}  // namespace

namespace {

// The exported alternative search finds a header anywhere in the chunk,
// one pass per configured type.
TEST_F(ScanDriver, AlternativeSearchFindsHeadersAnywhere) {
    Bytes img(8192, 0);
    put_file(img, 100, 50);
    put_file(img, 3001, 50);
    memcpy(&img[5004], "ftyp", 4);  // an mp4 candidate starts 4 bytes earlier
    TempFile f(img, "alt");
    recovery_state state{};
    init_state(&state, f.path().c_str());
    set_search_suffix(&state, "exe,mp4");
    scan_input input{nullptr, img.size(), fopen(f.path().c_str(), "rb")};
    ASSERT_NE(input.file, nullptr);
    chunk whole{0, img.size(), nullptr};
    EXPECT_EQ(search_chunk(&state, &input, &whole), 1);
    fclose(input.file);
    free(state.InputFile);
    std::vector<uint64_t> probed;
    for (auto &c : g_calls) probed.push_back(c.offset);
    EXPECT_EQ(probed, (std::vector<uint64_t>{100, 3001, 5000}));
    ASSERT_EQ(g_finds.size(), 2u);
    EXPECT_EQ(g_finds[1].offset, 3001u);
}

}  // namespace
