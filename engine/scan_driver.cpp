// The scan driver: opens the input, walks its regions in 50 MiB windows and
// tests every block start for a configured signature.
#include "engine_internal.h"
#include "file_types.h"
#include "free_space_view.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace {

// Sleeps one millisecond while paused; true when a stop arrived meanwhile.
bool wait_while_paused() {
    lmr::diag_flush();  // what happened so far can be read while the scan waits
    while (lmr::load_flag(&signal_pause)) {
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
        if (lmr::stop_requested()) return true;
    }
    return lmr::stop_requested();
}

constexpr uint64_t k_piece = 2u << 20;  // bytes read at a time into the window

// Whether the run searches for the type of `e` at all: a type only the
// deep scan finds is left out of a scan with the built-in rules.
bool searched(const search_spec_entry &e, bool deep) {
    const lmr::file_type *row = lmr::row_entry(e.type_key);
    return deep || !row || row->probe || !row->deep;
}

// For each byte value, the configured entries whose header starts with it,
// as a bit mask over table indices: the first-match rule is then "lowest set
// bit whose full header matches".  Two rules of the type table change that
// for one entry each: a header that stands some bytes into the file (the
// first such entry is tested there: mp4's "ftyp" at byte 4), and in deep
// mode a test of the type's own at the block start instead of its header.
struct header_index {
    uint64_t by_first_byte[256];
    int shifted_entry = -1;
    uint32_t shift = 4;  // where the shifted entry's header stands (byte 4 is read in any case)
    int lead_at_shift = -1;
    int own_test_entry = -1;
    lmr::block_test own_test = nullptr;
    uint64_t reach = 0;  // bytes from a block start that a header test may look at

    explicit header_index(const recovery_state *state) {
        memset(by_first_byte, 0, sizeof by_first_byte);
        int count = state->spec_count < LMR_MAX_SPECS ? state->spec_count : LMR_MAX_SPECS;
        const bool deep = lmr::deep_mode();
        for (int i = 0; i < count; ++i) {
            const search_spec_entry &e = search_spec[i];
            if (e.header.len <= 0 || !e.header.value || !searched(e, deep)) continue;
            const lmr::scan_rule &rule = lmr::scan_rule_of(e.type_key);
            by_first_byte[e.header.value[0]] |= uint64_t(1) << i;
            uint64_t r = uint64_t(e.header.len) + rule.header_at;
            if (r > reach) reach = r;
            if (rule.header_at && shifted_entry < 0) {
                shifted_entry = i;
                shift = rule.header_at;
                lead_at_shift = e.header.value[0];
            }
            if (deep && rule.deep_start && own_test_entry < 0) {
                own_test_entry = i;
                own_test = rule.deep_start;
                for (const char *b = rule.deep_leads; *b; ++b) by_first_byte[uint8_t(*b)] |= uint64_t(1) << i;
                if (reach < 4) reach = 4;
            }
        }
    }

    // Index of the first entry in table order whose header matches at p,
    // or -1.  `avail` is the number of bytes valid from p.
    int match(const unsigned char *p, uint64_t avail) const {
        uint64_t mask = by_first_byte[p[0]];
        uint64_t shifted_bit = 0;
        if (shifted_entry >= 0) {
            const search_pattern &h = search_spec[shifted_entry].header;
            if (avail >= shift + uint64_t(h.len) && p[shift] == h.value[0] &&
                memcmp(p + shift, h.value, size_t(h.len)) == 0)
                shifted_bit = uint64_t(1) << shifted_entry;
        }
        mask |= shifted_bit;
        while (mask) {
            int i = __builtin_ctzll(mask);
            mask &= mask - 1;
            if ((uint64_t(1) << i) == shifted_bit) return i;
            if (i == own_test_entry) {
                if (avail >= 4 && own_test(p)) return i;
                continue;
            }
            const search_pattern &h = search_spec[i].header;
            if (avail >= uint64_t(h.len) && memcmp(p + 1, h.value + 1, size_t(h.len) - 1) == 0) return i;
        }
        return -1;
    }
};

unsigned char *scan_buffer = nullptr;

// The window buffer is mapped with its pages populated up front: touching
// 12,800 fresh pages one fault at a time costs more than the scan itself on
// a hot input.
// Huge pages where the system offers them: the block loop visits one
// byte in every 512, and with small pages nearly every visit is a TLB miss.
// An input smaller than a window needs no more than its own size (in whole
// huge pages): a fresh mapping is zeroed page by page, and zeroing 50 MiB
// costs more than scanning a small image.
uint64_t scan_buffer_size = 0;

uint64_t window_size_for(uint64_t input_size) {
    constexpr uint64_t huge = 2u << 20;
    uint64_t want = (input_size + huge - 1) / huge * huge;
    return want && want < LMR_SCAN_BUFFER_SIZE ? want : LMR_SCAN_BUFFER_SIZE;
}

unsigned char *alloc_scan_buffer(uint64_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, size, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    madvise(p, size, MADV_POPULATE_WRITE);
#endif
    return static_cast<unsigned char *>(p);
}

void free_scan_buffer(unsigned char *p, uint64_t size) {
    if (p) munmap(p, size);
}

uint32_t block_step() { return _block_size ? _block_size : 512; }

// Text mode: does the block at p start (after tabs and line ends) with a
// byte that may begin UTF-8 text?
bool text_block_qualifies(const unsigned char *p, uint64_t avail, unsigned char *lead_out) {
    uint64_t i = 0;
    unsigned char lead = p[0];
    while ((lead == 9 || lead == 10 || lead == 13) && i + 1 < avail) lead = p[++i];
    *lead_out = lead;
    return (lead >= 1 && lead <= 126) || (lead >= 0xC0 && lead <= 0xFD);
}

// The signature test.  As each piece of a window is read, every block
// that starts in it is tested at once, while the bytes are at hand: the
// result (the matching entry, or none) is kept per block, and the block
// loop then touches the window only at candidates.  Tested later, each
// block costs a cache miss, and the scan runs well below the speed of the
// read.  The window's bytes do not change in between, so the result is the
// same.
struct signature_test {
    static constexpr uint64_t k_prefetch_ahead = 64 * 1024;
    static constexpr bool k_block_results = true;  // the result of every block is known ahead
    static constexpr int8_t k_none = -1;
    static constexpr int8_t k_later = -2;  // header not wholly read yet: test in the loop

    header_index index;
    std::vector<int8_t> hit;

    explicit signature_test(const recovery_state *state) : index(state) {}

    void start_window(uint64_t want, uint32_t step) {
        uint64_t blocks = (want + step - 1) / step;
        if (hit.size() < blocks) hit.resize(blocks);
    }

    // Blocks that start in [from, to) of the window; `to` is the end of the
    // bytes read so far.
    void gather(const unsigned char *buf, uint64_t from, uint64_t to, uint32_t step) {
        uint64_t k = (from + step - 1) / step;
        uint64_t pos = k * step;
        // Blocks whose header test reads only bytes of [from, to): first
        // the quick test on the byte at the block start and the byte a
        // shifted header starts at; most blocks end there.
        const uint64_t *first = index.by_first_byte;
        const int lead = index.lead_at_shift;
        const uint32_t shift = index.shift;
        uint64_t need = index.reach > 5 ? index.reach : 5;  // p[shift] is read too
        if (need < uint64_t(shift) + 1) need = uint64_t(shift) + 1;
        int8_t *out = hit.data();
        for (; pos + need <= to; ++k, pos += step) {
            const unsigned char *p = buf + pos;
            // The bytes just read are mostly no longer in the cache: asking
            // for the block starts well ahead overlaps the waits.
            __builtin_prefetch(p + k_prefetch_ahead);
            if (first[p[0]] == 0 && p[shift] != lead) {
                out[k] = k_none;
                continue;
            }
            out[k] = int8_t(index.match(p, to - pos));
        }
        // The last few blocks: their headers may reach past what is read.
        for (; pos < to; ++k, pos += step) {
            const unsigned char *p = buf + pos;
            bool maybe = first[p[0]] != 0;
            if (lead >= 0) maybe = maybe || pos + shift >= to || p[shift] == lead;
            if (!maybe) {
                out[k] = k_none;
            } else if (pos + index.reach > to) {
                out[k] = k_later;
            } else {
                out[k] = int8_t(index.match(p, to - pos));
            }
        }
    }

    search_spec_entry *operator()(const unsigned char *p, uint64_t avail, uint64_t block) const {
        int i = hit[block];
        if (i == k_none) return nullptr;
        if (i == k_later) i = index.match(p, avail);
        return i < 0 ? nullptr : &search_spec[i];
    }
};

// The blocks from `block` on that have no candidate, as the block loop
// would walk them: at each, the flag test and then the progress report.
// Stops before a block where a flag is set (*reported false), or after
// reporting the first block with a candidate (*reported true); returns that
// block, or `end`.  Kept apart from the loop so that the few values it needs
// stay in registers.
uint64_t walk_quiet_blocks(const int8_t *hit, uint64_t block, uint64_t end, uint64_t offset, uint32_t step,
                           uint64_t total, bool *reported) {
    for (; block < end; ++block, offset += step) {
        if (lmr::load_flag(&signal_pause) | lmr::load_flag(&signal_caught)) {
            *reported = false;
            return block;
        }
        lmr::proceed_block(offset, total);
        if (hit[block] != signature_test::k_none) {
            *reported = true;
            return block;
        }
    }
    *reported = false;
    return end;
}

// The text test: a block qualifies by its first byte after blanks.
struct text_test {
    static constexpr bool k_block_results = false;
    void start_window(uint64_t, uint32_t) {}
    void gather(const unsigned char *, uint64_t, uint64_t, uint32_t) {}
    search_spec_entry *operator()(const unsigned char *p, uint64_t avail, uint64_t) const {
        unsigned char lead = 0;
        if (!text_block_qualifies(p, avail, &lead)) return nullptr;
        lmr::diag("right! ");
        lmr::diag("first char=%x", lead);
        return &search_spec[0];
    }
};

// Deep scan of a file system's free space: the free runs as one stream
// (null otherwise), and the run the walk is in.
const lmr::free_space_view *free_view = nullptr;
size_t free_view_extent = 0;
// The physical offset and length of the bytes the scan window holds
// (UINT64_MAX: none).
uint64_t window_base = UINT64_MAX, window_bytes = 0;

// Candidates of a block-mapped ext volume whose indirect block was not
// among those noted when they were probed: probed again once the whole free
// space has been walked.
struct deferred_candidate {
    uint64_t logical;
    search_spec_entry *entry;
    uint64_t wanted;            // the first block number of the indirect block looked for
    std::vector<r_run> runs;    // the find taken the file on in the stream (none: no find)
};
std::vector<deferred_candidate> deferred;
constexpr size_t k_deferred_max = 1u << 18;

// Probes the candidate at logical offset `logical` of the joined free space
// as the start of a file; the window's bytes from it are `data` (`avail` of
// them).  Reports a find with the runs it occupies; *span is the stream
// bytes the find takes from the candidate.
int32_t probe_in_view(recovery_state *state, search_spec_entry *entry, scan_input *input, uint64_t logical,
                      const unsigned char *data, uint64_t avail, uint64_t *len, uint64_t *span) {
    lmr::file_view file(*free_view, lmr::input_fd(input->file), logical, lmr::free_space_layout);
    if (window_base != UINT64_MAX) file.set_window(scan_buffer, window_base, window_bytes);
    // The window's bytes serve the probe only as far as they are the file's.
    const uint64_t head = file.contiguous_head(avail);
    int32_t found = 0;
    lmr::set_probing_view(&file);
    *len = probe_file(state, entry, data, head > INT32_MAX ? INT32_MAX : int32_t(head), logical, file.limit(),
                      &found);
    lmr::set_probing_view(nullptr);
    // A file that needed blocks past its 12th, whose indirect block was not
    // noted yet: probed again at the end.
    std::vector<r_run> runs;
    if (found) runs = file.runs(*len);
    if (file.wants_more() && (!found || *len > file.direct_bytes()) && deferred.size() < k_deferred_max) {
        deferred.push_back({logical, entry, file.wanted_first(), std::move(runs)});
        return 0;
    }
    if (!found) return 0;
    if (runs.empty()) return 0;
    lmr::report_find_runs(state, entry, runs.data(), int32_t(runs.size()));
    *span = file.stream_span(*len);
    return 1;
}

// Notes the blocks of the window (`got` bytes from physical `base`) that
// look like indirect blocks.
void note_indirect_blocks(uint64_t base, uint64_t got) {
    const uint32_t bs = lmr::free_space_layout.block_size;
    uint64_t first = (base + bs - 1) / bs * bs - base;
    for (uint64_t at = first; at + bs <= got; at += bs)
        lmr::indirect_blocks.consider(scan_buffer + at, bs, (base + at) / bs, lmr::free_space_layout.blocks);
}

// The deferred candidates, now that every indirect block is noted.  False
// when a stop ended it.
bool probe_deferred(recovery_state *state, scan_input *input, const lmr::free_space_view &view) {
    free_view = &view;
    window_base = UINT64_MAX;
    std::vector<unsigned char> head;
    for (deferred_candidate &d : deferred) {
        if ((lmr::load_flag(&signal_pause) || lmr::load_flag(&signal_caught)) && wait_while_paused()) {
            lmr::store_flag(&signal_caught, 0);
            free_view = nullptr;
            return false;
        }
        // No indirect block starts with the number looked for: the file
        // goes on in the stream, as it was taken the first time.
        if (lmr::indirect_blocks.lookup(d.wanted).empty()) {
            if (!d.runs.empty()) lmr::report_find_runs(state, d.entry, d.runs.data(), int32_t(d.runs.size()));
            continue;
        }
        // The candidate's first blocks, read through the view.
        lmr::file_view file(view, lmr::input_fd(input->file), d.logical, lmr::free_space_layout);
        uint64_t want = std::min<uint64_t>(file.limit(), file.direct_bytes());
        head.resize(want);
        uint64_t got = 0;
        while (got < want) {
            uint64_t physical = 0, n = 0;
            if (!file.locate(got, &physical, &n)) break;
            n = std::min(n, want - got);
            uint64_t bad = 0;
            const uint64_t r = read_input_range(input->file, physical, head.data() + got, n, &bad);
            got += r;
            if (r < n) break;
        }
        uint64_t len = 0, span = 0;
        probe_in_view(state, d.entry, input, d.logical, head.data(), got, &len, &span);
    }
    free_view = nullptr;
    return true;
}

// Shared window and block loop of the signature and text searches.
template <typename Test>
int walk_chunk(recovery_state *state, scan_input *input, chunk *c, Test &&test) {
    if (seek_aligned(input->file, c->offset) != 0) return 1;
    const uint32_t step = block_step();
    uint64_t done = 0;
    while (done < c->length) {
        uint64_t want = c->length - done;
        if (want > scan_buffer_size) want = scan_buffer_size;
        const uint64_t base = c->offset + done;
        // Each window is positioned explicitly, so a short read never shifts
        // the offsets of later windows.
        // The window is read in pieces of a few MiB and each piece handed to
        // the test while it is still in the processor's cache.  The window
        // is whole before the first block is tested, as if read at once.
        test.start_window(want, step);
        lmr::unreadable_window(scan_buffer);
        uint64_t got = 0;
        while (got < want) {
            uint64_t piece = want - got < k_piece ? want - got : k_piece;
            uint64_t bad = 0;
            uint64_t n = lmr::read_window_range(input->file, base + got, scan_buffer, got, piece, &bad);
            if (bad) lmr::add_unreadable_sectors(bad);
            test.gather(scan_buffer, got, got + n, step);
            got += n;
            if (n < piece) break;  // end of input
        }
        if (free_view && lmr::free_space_layout.block_mapped) note_indirect_blocks(base, got);
        window_base = base;
        window_bytes = got;
        uint64_t pos = 0;
        uint64_t block = 0;  // pos / step: every position tested lies on the block grid
        const uint64_t blocks = (got + step - 1) / step;
        while (pos < got) {
            bool reported = false;
            if constexpr (std::remove_reference_t<Test>::k_block_results) {
                block = walk_quiet_blocks(test.hit.data(), block, blocks, base + pos, step, input->size, &reported);
                pos = block * step;
                if (pos >= got) break;
            }
            if (!reported) {
                if ((lmr::load_flag(&signal_pause) || lmr::load_flag(&signal_caught)) && wait_while_paused()) {
                    lmr::store_flag(&signal_caught, 0);
                    return 0;
                }
                lmr::proceed_block(base + pos, input->size);
            }
            search_spec_entry *entry = test(scan_buffer + pos, got - pos, block);
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
            if (free_view) {
                found = probe_in_view(state, entry, input, free_view->logical_of(free_view_extent, base + pos),
                                      scan_buffer + pos, avail, &len, &span);
            } else {
                len = probe_file(state, entry, scan_buffer + pos, avail > INT32_MAX ? INT32_MAX : int32_t(avail),
                                 base + pos, left_in_chunk, &found);
                if (found) find_file(state, entry, len, base + pos);
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
                    // pieces: a block inside it where a file starts is
                    // still tried.
                    if (free_view) {
                        const uint64_t end = std::min(pos, got) / step;
                        for (uint64_t k = block + 1; k < end; ++k) {
                            if (test.hit[k] != signature_test::k_none) {
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
        update_proceed(c->offset + done, input->size);
        lmr::diag_flush();
    }
    return 1;
}

}  // namespace

extern "C" {

uint64_t find_file_size(FILE *file) {
    if (!file) return 0;
    off_t here = ftello(file);
    if (here < 0) here = 0;
    if (fseeko(file, 0, SEEK_END) != 0) return 0;
    off_t end = ftello(file);
    if (fseeko(file, here, SEEK_SET) != 0) return 0;
    return end > 0 ? uint64_t(end) : 0;
}

int process_file(recovery_state *state) {
    if (!state || !state->InputFile) return 1;
    scan_input input{nullptr, state->total_bytes, nullptr};
    lmr::diag("s.InputFile:%s   total bytes:%llu", state->InputFile, (unsigned long long)input.size);
    lmr::diag("check point 1");
    input.path = strdup(state->InputFile);
    int result = 1;
    input.file = input.path ? lmr::open_input(input.path) : nullptr;
    if (!input.file) {
        int err = errno;
        lmr::diag("failed to open %s, %s", state->InputFile, strerror(err));
        lmr::set_run_outcome(LMR_RUN_CANNOT_OPEN, err);
    } else {
        // Unbuffered: windows are read whole, and a failing sector must not
        // take a whole stdio buffer with it.
        setvbuf(input.file, nullptr, _IONBF, 0);
        if (input.size == 0) input.size = find_file_size(input.file);
        if (input.size == 0) {
            lmr::set_run_outcome(LMR_RUN_EMPTY_INPUT);
        } else {
            lmr::diag("磁盘大小为%lluMB", (unsigned long long)(input.size >> 20));
            lmr::store_flag(&signal_pause, 0);
            lmr::set_run_outcome(LMR_RUN_SCANNED);
            lmr::diag_gather(true);
            search_stream(state, &input);
            lmr::diag_gather(false);
            result = 0;
        }
    }
    if (input.file) fclose(input.file);
    free(input.path);
    return result;
}

int search_stream(recovery_state *state, scan_input *input) {
    lmr::diag("Start to search the stream");
    scan_buffer_size = window_size_for(input->size);
    scan_buffer = alloc_scan_buffer(scan_buffer_size);
    if (!scan_buffer) {
        lmr::set_run_outcome(LMR_RUN_NO_MEMORY);
        return 1;
    }
    lmr::free_space_layout = lmr::block_map_volume{};
    chunk_list *list = get_free_chunk_list(state);
    const bool text_mode = state->spec_count > 0 && lmr::scan_rule_of(search_spec[0].type_key).text_run;
    // In a deep scan a probe reads the free space as one stream.
    std::unique_ptr<lmr::free_space_view> view;
    if (list && lmr::deep_mode() && !text_mode) {
        view.reset(new (std::nothrow) lmr::free_space_view(list));
        if (view && view->empty()) view.reset();
    }
    if (!list) {
        lmr::diag("chunk list为空");
        chunk whole{0, input->size, nullptr};
        list = add_chunk(nullptr, &whole);
    }
    lmr::indirect_blocks.clear();
    deferred.clear();
    window_base = UINT64_MAX;
    bool stopped = false;
    size_t extent = 0;
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (lmr::stop_requested()) {
            lmr::store_flag(&signal_caught, 0);
            lmr::set_run_outcome(LMR_RUN_STOPPED);
            stopped = true;
            break;
        }
        free_view = nullptr;
        if (view && c->length) {
            // The run's place in the stream (runs the view left out are
            // walked on their own).
            const auto &ex = view->extents();
            while (extent < ex.size() && ex[extent].physical < c->offset) ++extent;
            if (extent < ex.size() && ex[extent].physical == c->offset && ex[extent].length == c->length) {
                free_view = view.get();
                free_view_extent = extent;
            }
        }
        int go_on = text_mode ? search_chunk3(state, input, c) : search_chunk2(state, input, c);
        free_view = nullptr;
        if (!go_on) {
            lmr::set_run_outcome(LMR_RUN_STOPPED);
            stopped = true;
            break;
        }
    }
    if (view && !stopped && !deferred.empty()) {
        lmr::indirect_blocks.complete = true;
        if (!probe_deferred(state, input, *view)) lmr::set_run_outcome(LMR_RUN_STOPPED);
    }
    deferred.clear();
    deferred.shrink_to_fit();
    lmr::indirect_blocks.clear();
    window_base = UINT64_MAX;
    free_chunk_list(list);
    lmr::unreadable_window(nullptr);
    free_scan_buffer(scan_buffer, scan_buffer_size);
    scan_buffer = nullptr;
    return 1;
}

int search_chunk2(recovery_state *state, scan_input *input, chunk *c) {
    if (!state || !input || !c || !scan_buffer) return 1;
    signature_test test(state);
    return walk_chunk(state, input, c, test);
}

int search_chunk3(recovery_state *state, scan_input *input, chunk *c) {
    if (!state || !input || !c || !scan_buffer) return 1;
    text_test test;
    return walk_chunk(state, input, c, test);
}

int search_chunk(recovery_state *state, scan_input *input, chunk *c) {
    if (!state || !input || !c || !input->file) return 1;
    lmr::diag("NUM_BUILT IN IS %d", state->spec_count);
    // A buffer of its own: this search may run beside nothing else, and the
    // driver's window may be smaller than 50 MiB.
    auto *buf = static_cast<unsigned char *>(malloc(LMR_SCAN_BUFFER_SIZE));
    if (!buf) return 1;
    int result = 1;
    const int count = state->spec_count;
    for (int e = 0; e < count && result; ++e) {
        search_spec_entry *entry = &search_spec[e];
        if (!searched(*entry, lmr::deep_mode())) continue;
        const lmr::scan_rule &rule = lmr::scan_rule_of(entry->type_key);
        const uint64_t hlen = uint64_t(entry->header.len > 0 ? entry->header.len : 0);
        uint64_t covered = 0;  // bytes of the chunk taken into windows
        uint64_t kept = 0;     // unexamined tail carried to the next window
        while (covered < c->length && result) {
            uint64_t want = c->length - covered;
            if (want > LMR_SCAN_BUFFER_SIZE - kept) want = LMR_SCAN_BUFFER_SIZE - kept;
            uint64_t bad = 0;
            uint64_t got = read_input_range(input->file, c->offset + covered, buf + kept, want, &bad);
            if (bad) lmr::add_unreadable_sectors(bad);
            const uint64_t win_base = c->offset + covered - kept;  // absolute offset of buf[0]
            const uint64_t have = kept + got;
            uint64_t pos = 0;
            while (pos < have) {
                if (wait_while_paused()) {
                    lmr::store_flag(&signal_caught, 0);
                    result = 0;
                    break;
                }
                uint64_t cand;
                uint64_t hit_at;  // where the header was seen
                if (rule.text_run) {
                    uint64_t abs = win_base + pos;
                    cand = adjust_bs(abs, 512) - win_base;
                    hit_at = cand;
                } else {
                    const unsigned char *hit = bm_search_skipn(entry->header.value, entry->header.len, buf + pos,
                                                               int64_t(have - pos), entry->header.table,
                                                               entry->case_sen, 0, entry->header.len - 1);
                    if (!hit) break;
                    cand = uint64_t(hit - buf);
                    hit_at = cand;
                    if (rule.header_at) {
                        if (cand < rule.header_at) {
                            pos = cand + 1;
                            continue;
                        }
                        cand -= rule.header_at;
                    }
                }
                if (cand >= have) break;
                int32_t found = 0;
                uint64_t avail = have - cand;
                uint64_t left = c->length - (win_base + cand - c->offset);
                uint64_t len = probe_file(state, entry, buf + cand, avail > INT32_MAX ? INT32_MAX : int32_t(avail),
                                          win_base + cand, left, &found);
                if (found) find_file(state, entry, len, win_base + cand);
                uint64_t next = cand + (len ? len : 1);
                // Never resume at or before the header just seen: a
                // candidate may start before its header (mp4: 4 bytes before
                // its "ftyp"), and resuming
                // one byte after the candidate would meet it again forever.
                if (next <= hit_at) next = hit_at + 1;
                if (next < cand || next > have) next = have;
                pos = next;
            }
            covered += want;
            update_proceed(c->offset + (uint64_t(e) * c->length + covered) / uint64_t(count), input->size);
            if (got < want) break;
            kept = have - pos < hlen ? have - pos : (hlen ? hlen - 1 : 0);
            if (kept > have) kept = 0;
            memmove(buf, buf + have - kept, size_t(kept));
        }
    }
    free(buf);
    return result;
}

}  // extern "C"
