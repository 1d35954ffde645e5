// The block loop: the regions of the input in windows, every block start
// tested for a configured signature (or, in text mode, for text), and the
// probe of each candidate.
#include "scan_driver.h"
#include "free_space_view.h"
#include "signature_index.h"

#include <ctime>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace lmr {

// Sleeps one millisecond while paused; true when a stop arrived meanwhile.
bool wait_while_paused(const scan_run &run) {
    lmr::diag_flush();  // what happened so far can be read while the scan waits
    while (run.paused()) {
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
        if (run.stop_asked()) return true;
    }
    return run.stop_asked();
}

namespace {

constexpr uint64_t k_piece = 2u << 20;  // bytes read at a time into the window

// The blocks from `block` on that have no candidate, as the block loop
// would walk them: at each, the flag test and then the progress report.
// Stops before a block where a flag is set (*reported false), or after
// reporting the first block with a candidate (*reported true); returns that
// block, or `end`.  Kept apart from the loop so that the few values it needs
// stay in registers.
uint64_t walk_quiet_blocks(scan_run &run, const int8_t *hit, uint64_t block, uint64_t end, uint64_t offset,
                           uint32_t step, uint64_t total, bool *reported) {
    for (; block < end; ++block, offset += step) {
        if (run.flagged()) {
            *reported = false;
            return block;
        }
        lmr::proceed_block(run, offset, total);
        if (hit[block] != signature_test::k_none) {
            *reported = true;
            return block;
        }
    }
    *reported = false;
    return end;
}

// Whether physical offset `at` lies in one of a find's byte runs.
bool inside_runs(const std::vector<r_run> &runs, uint64_t at) {
    for (const r_run &r : runs)
        if (at >= r.offset && at - r.offset < r.length) return true;
    return false;
}

// Shared window and block loop of the signature and text searches.
template <typename Test>
int walk_chunk(scan_run &run, scan_input *input, chunk *c, Test &&test) {
    unsigned char *const window = run.buffer;
    if (seek_aligned(input->file, c->offset) != 0) return 1;
    const uint32_t step = run.step();
    std::vector<r_run> taken;  // the byte runs of a find in free space read as one stream
    uint64_t done = 0;
    while (done < c->length) {
        uint64_t want = c->length - done;
        if (want > run.buffer_size) want = run.buffer_size;
        const uint64_t base = c->offset + done;
        // Each window is positioned explicitly, so a short read never shifts
        // the offsets of later windows.
        // The window is read in pieces of a few MiB and each piece handed to
        // the test while it is still in the processor's cache.  The window
        // is whole before the first block is tested, as if read at once.
        test.start_window(want, step);
        run.unreadable.reset(window);
        uint64_t got = 0;
        while (got < want) {
            uint64_t piece = want - got < k_piece ? want - got : k_piece;
            uint64_t bad = 0;
            uint64_t n = lmr::read_window_range(input->file, base + got, run.unreadable, window, got, piece, &bad);
            run.unreadable_sectors += bad;
            test.gather(window, got, got + n, step);
            got += n;
            if (n < piece) break;  // end of input
        }
        if (got < want) run.watch.reaches(base + want, true);  // cut short: has the input shrunk?
        if (run.free_view && run.layout.block_mapped) note_indirect_blocks(run, base, got);
        run.window_base = base;
        run.window_bytes = got;
        uint64_t pos = 0;
        uint64_t block = 0;  // pos / step: every position tested lies on the block grid
        const uint64_t blocks = (got + step - 1) / step;
        while (pos < got) {
            bool reported = false;
            if constexpr (std::remove_reference_t<Test>::k_block_results) {
                block = walk_quiet_blocks(run, test.hit.data(), block, blocks, base + pos, step, input->size,
                                          &reported);
                pos = block * step;
                if (pos >= got) break;
            }
            if (!reported) {
                if (run.flagged() && wait_while_paused(run)) {
                    run.clear_stop();
                    return 0;
                }
                lmr::proceed_block(run, base + pos, input->size);
            }
            search_spec_entry *entry = test(window + pos, got - pos, block);
            if (!entry) {
                pos += step;
                ++block;
                continue;
            }
            int32_t found = 0;
            uint64_t left_in_chunk = (c->length - done) - pos;
            uint64_t avail = got - pos;
            uint64_t len = 0;
            uint64_t span = 0;  // bytes of the walk the find takes
            taken.clear();
            if (run.free_view) {
                found = probe_in_view(run, entry, input, run.free_view->logical_of(run.free_view_extent, base + pos),
                                      window + pos, avail, &len, &span, &taken);
            } else {
                len = probe_file(&run.state, entry, window + pos, avail > INT32_MAX ? INT32_MAX : int32_t(avail),
                                 base + pos, left_in_chunk, &found);
                if (found) find_file(&run.state, entry, len, base + pos);
                span = len;
            }
            if (found) {
                len = span;
                uint64_t adv = len ? adjust_bs(len, step) : step;
                if (adv < len || pos + adv < pos) pos = got;  // saturate
                else pos += adv;
                if constexpr (std::remove_reference_t<Test>::k_block_results) {
                    // In free space read as one stream a find may run on
                    // into another deleted file that lies between its
                    // pieces: a block inside its stretch of the window
                    // where a file's signature starts is still tried,
                    // unless the block is the find's own (a frame of the
                    // find that starts like a file, text inside it).
                    if (run.free_view) {
                        const uint64_t end = std::min(pos, got) / step;
                        for (uint64_t k = block + 1; k < end; ++k) {
                            if (test.signature_at(window + k * step, got - k * step, k) &&
                                !inside_runs(taken, base + k * step)) {
                                pos = k * step;
                                break;
                            }
                        }
                    }
                }
                block = pos / step;
            } else {
                pos += step;
                ++block;
            }
        }
        done += want;
        lmr::proceed_to(run, c->offset + done, input->size);
        lmr::diag_flush();
    }
    return 1;
}

}  // namespace

int scan_stream(scan_run &run, scan_input *input) {
    recovery_state *state = &run.state;
    lmr::diag("Start to search the stream");
    run.buffer_size = window_size_for(input->size);
    run.buffer = alloc_scan_buffer(run.buffer_size);
    if (!run.buffer) {
        run.set_outcome(LMR_RUN_NO_MEMORY);
        return 1;
    }
    run.layout = lmr::block_map_volume{};
    chunk_list *list = free_chunks_for(run);
    const bool text_mode = state->spec_count > 0 && lmr::scan_rule_of(run.types[0].type_key).text_run;
    // In a deep scan a probe reads the free space as one stream.
    std::unique_ptr<lmr::free_space_view> view;
    if (list && run.deep && !text_mode) {
        view.reset(new (std::nothrow) lmr::free_space_view(list));
        if (view && view->empty()) view.reset();
    }
    if (!list) {
        lmr::diag("chunk list为空");
        chunk whole{0, input->size, nullptr};
        list = add_chunk(nullptr, &whole);
    }
    run.indirect.clear();
    run.deferred.clear();
    run.window_base = UINT64_MAX;
    bool stopped = false;
    size_t extent = 0;
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (run.stop_asked()) {
            run.clear_stop();
            run.set_outcome(LMR_RUN_STOPPED);
            stopped = true;
            break;
        }
        run.free_view = nullptr;
        if (view && c->length) {
            // The run's place in the stream (runs the view left out are
            // walked on their own).
            const auto &ex = view->extents();
            while (extent < ex.size() && ex[extent].physical < c->offset) ++extent;
            if (extent < ex.size() && ex[extent].physical == c->offset && ex[extent].length == c->length) {
                run.free_view = view.get();
                run.free_view_extent = extent;
            }
        }
        int go_on = text_mode ? search_chunk3(state, input, c) : search_chunk2(state, input, c);
        run.free_view = nullptr;
        if (!go_on) {
            run.set_outcome(LMR_RUN_STOPPED);
            stopped = true;
            break;
        }
    }
    if (view && !stopped && !run.deferred.empty()) {
        run.indirect.complete = true;
        if (!probe_deferred(run, input, *view)) run.set_outcome(LMR_RUN_STOPPED);
    }
    run.deferred.clear();
    run.deferred.shrink_to_fit();
    run.indirect.clear();
    run.window_base = UINT64_MAX;
    free_chunk_list(list);
    run.unreadable.reset(nullptr);
    free_scan_buffer(run.buffer, run.buffer_size);
    run.buffer = nullptr;
    return 1;
}

}  // namespace lmr

using namespace lmr;

extern "C" {

int search_stream(recovery_state *state, scan_input *input) {
    if (!state || !input) return 1;
    return with_run(state, [input](scan_run &run) { return scan_stream(run, input); });
}

int search_chunk2(recovery_state *state, scan_input *input, chunk *c) {
    scan_run *run = lmr::run_of(state);
    if (!run || !input || !c || !run->buffer) return 1;
    signature_test test(*run);
    return walk_chunk(*run, input, c, test);
}

int search_chunk3(recovery_state *state, scan_input *input, chunk *c) {
    scan_run *run = lmr::run_of(state);
    if (!run || !input || !c || !run->buffer) return 1;
    text_test test{run->types};
    return walk_chunk(*run, input, c, test);
}

}  // extern "C"
