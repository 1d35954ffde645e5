// The block tests of the scan: the signature index, which tells at a block
// start the first configured entry whose header is there, and the text
// test.  Inline: the block loop runs them at every block.
#pragma once

#include "engine_internal.h"
#include "file_types.h"
#include "scan_run.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace lmr {

// The pairs of first bytes a deep fallback's pair test accepts, one bit
// each (bit `second` of word `first * 4 + second / 64`): made once for each
// test and kept for the process, as every window of every run asks.
inline const uint64_t *fallback_pairs(lmr::pair_test test) {
    struct made {
        lmr::pair_test test;
        std::unique_ptr<uint64_t[]> bits;
    };
    static std::mutex lock;
    static std::vector<made> tables;
    std::lock_guard<std::mutex> hold(lock);
    for (const made &m : tables)
        if (m.test == test) return m.bits.get();
    std::unique_ptr<uint64_t[]> bits(new (std::nothrow) uint64_t[1024]());
    if (!bits) return nullptr;
    for (unsigned v = 0; v < 65536; ++v)
        if (test((unsigned char)(v >> 8), (unsigned char)v)) bits[v >> 6] |= uint64_t(1) << (v & 63);
    tables.push_back({test, std::move(bits)});
    return tables.back().bits.get();
}

// Whether the run searches for the type of `e` at all: a type only the
// deep scan finds is left out of a scan with the built-in rules.
inline bool searched(const search_spec_entry &e, bool deep) {
    const lmr::file_type *row = lmr::row_entry(e.type_key);
    return deep || !row || row->probe || !row->deep;
}

// For each byte value, the configured entries whose header starts with it,
// as a bit mask over table indices: the first-match rule is then "lowest set
// bit whose full header matches".  Two rules of the type table change that:
// a header that stands some bytes into the file (each such entry is tested
// there as well as at the block start: mp4's "ftyp" at byte 4, tar's
// "ustar" at byte 257), and in deep mode a test of one type's own at the
// block start instead of its header.
struct header_index {
    // An entry whose header stands `at` bytes into the file; `lead` is its
    // header's first byte.
    struct shifted_header {
        int entry;
        uint32_t at;
        unsigned char lead;
    };

    const search_spec_entry *types;
    uint64_t by_first_byte[256];
    shifted_header shifted[LMR_MAX_SPECS];
    int shifted_count = 0;
    uint32_t shift_reach = 0;  // the furthest byte a shifted lead stands at
    int own_test_entry = -1;
    lmr::block_test own_test = nullptr;
    // Deep mode: the entry a block where no header stands goes to when
    // its test holds (text), or -1.
    int fallback_entry = -1;
    lmr::block_test fallback_test = nullptr;
    const uint64_t *fallback_pair_bits = nullptr;  // the first two bytes its test can accept, or null
    uint64_t reach = 0;  // bytes from a block start that a header test may look at

    explicit header_index(const scan_run &run) : types(run.types) {
        memset(by_first_byte, 0, sizeof by_first_byte);
        const int32_t n = run.state.spec_count;
        const int count = n < 0 ? 0 : n < LMR_MAX_SPECS ? n : LMR_MAX_SPECS;
        const bool deep = run.deep;
        for (int i = 0; i < count; ++i) {
            const search_spec_entry &e = types[i];
            if (e.header.len <= 0 || !e.header.value || !searched(e, deep)) continue;
            const lmr::scan_rule &rule = lmr::scan_rule_of(e.type_key);
            by_first_byte[e.header.value[0]] |= uint64_t(1) << i;
            uint64_t r = uint64_t(e.header.len) + rule.header_at;
            if (r > reach) reach = r;
            if (rule.header_at) {
                shifted[shifted_count++] = {i, rule.header_at, e.header.value[0]};
                if (rule.header_at > shift_reach) shift_reach = rule.header_at;
            }
            if (deep && rule.deep_start && own_test_entry < 0) {
                own_test_entry = i;
                own_test = rule.deep_start;
                for (const char *b = rule.deep_leads; *b; ++b) by_first_byte[uint8_t(*b)] |= uint64_t(1) << i;
                if (reach < 4) reach = 4;
            }
            if (deep && rule.deep_fallback && fallback_entry < 0) {
                fallback_entry = i;
                fallback_test = rule.deep_fallback;
                if (rule.fallback_pair) fallback_pair_bits = fallback_pairs(rule.fallback_pair);
                if (reach < uint64_t(lmr::k_fallback_reach)) reach = uint64_t(lmr::k_fallback_reach);
            }
        }
    }

    // The fallback entry for a block where no header matched, or -1.
    int fallback(const unsigned char *p, uint64_t avail) const {
        if (fallback_entry < 0 || avail < uint64_t(lmr::k_fallback_reach)) return -1;
        // Most blocks fail on their first two bytes: a bit of the pair
        // table decides them without a call.
        const unsigned pair = unsigned(p[0]) << 8 | p[1];
        if (fallback_pair_bits && !(fallback_pair_bits[pair >> 6] >> (pair & 63) & 1)) return -1;
        return fallback_test(p) ? fallback_entry : -1;
    }

    // Whether a shifted header's first byte stands in its place at p; the
    // quick test before match.  `avail` bytes are valid from p; a lead
    // beyond them may still come (true).
    bool shifted_lead(const unsigned char *p, uint64_t avail) const {
        for (int s = 0; s < shifted_count; ++s)
            if (shifted[s].at >= avail || p[shifted[s].at] == shifted[s].lead) return true;
        return false;
    }

    // Index of the first entry in table order whose header matches at p,
    // or -1.  `avail` is the number of bytes valid from p.
    int match(const unsigned char *p, uint64_t avail) const {
        uint64_t mask = by_first_byte[p[0]];
        uint64_t shifted_bits = 0;
        for (int s = 0; s < shifted_count; ++s) {
            const shifted_header &sh = shifted[s];
            const search_pattern &h = types[sh.entry].header;
            if (avail >= sh.at + uint64_t(h.len) && p[sh.at] == sh.lead &&
                memcmp(p + sh.at, h.value, size_t(h.len)) == 0)
                shifted_bits |= uint64_t(1) << sh.entry;
        }
        mask |= shifted_bits;
        while (mask) {
            int i = __builtin_ctzll(mask);
            mask &= mask - 1;
            if ((uint64_t(1) << i) & shifted_bits) return i;
            if (i == own_test_entry) {
                if (avail >= 4 && own_test(p)) return i;
                continue;
            }
            const search_pattern &h = types[i].header;
            if (avail >= uint64_t(h.len) && memcmp(p + 1, h.value + 1, size_t(h.len) - 1) == 0) return i;
        }
        return -1;
    }

    int match_or_fallback(const unsigned char *p, uint64_t avail) const {
        const int i = match(p, avail);
        return i >= 0 ? i : fallback(p, avail);
    }
};

// Text mode: does the block at p start (after tabs and line ends) with a
// byte that may begin UTF-8 text?
inline bool text_block_qualifies(const unsigned char *p, uint64_t avail, unsigned char *lead_out) {
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

    explicit signature_test(const scan_run &run) : index(run) {}

    void start_window(uint64_t want, uint32_t step) {
        uint64_t blocks = (want + step - 1) / step;
        if (hit.size() < blocks) hit.resize(blocks);
    }

    // The blocks of gather whose tests read only bytes already read, with
    // the tests of up to two shifted headers (mp4's, and tar's in a deep
    // scan) kept to a compare each of a byte at a fixed place; `Shifts` is
    // their number, or -1 for any number.  Advances k and pos past them.
    template <int Shifts>
    void gather_blocks(const unsigned char *buf, uint64_t &k, uint64_t &pos, uint64_t to, uint32_t step,
                       uint64_t need) {
        const uint64_t *first = index.by_first_byte;
        int8_t *out = hit.data();
        const uint32_t s0 = Shifts >= 1 ? index.shifted[0].at : 0;
        const unsigned char l0 = Shifts >= 1 ? index.shifted[0].lead : 0;
        const uint32_t s1 = Shifts >= 2 ? index.shifted[1].at : 0;
        const unsigned char l1 = Shifts >= 2 ? index.shifted[1].lead : 0;
        // A shifted lead past the block's first cache line is a second line
        // to wait for: it is asked for ahead as well.
        const uint64_t far = index.shift_reach >= 64 ? index.shift_reach : 0;
        for (; pos + need <= to; ++k, pos += step) {
            const unsigned char *p = buf + pos;
            // The bytes just read are mostly no longer in the cache:
            // asking for the block starts well ahead overlaps the waits.
            __builtin_prefetch(p + k_prefetch_ahead);
            if (far) __builtin_prefetch(p + k_prefetch_ahead + far);
            bool lead = first[p[0]] != 0;
            if constexpr (Shifts >= 1) lead |= p[s0] == l0;
            if constexpr (Shifts >= 2) lead |= p[s1] == l1;
            if constexpr (Shifts < 0) lead = lead || index.shifted_lead(p, to - pos);
            if (!lead) {
                out[k] = int8_t(index.fallback(p, to - pos));
                continue;
            }
            out[k] = int8_t(index.match_or_fallback(p, to - pos));
        }
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
        uint64_t need = index.reach > 5 ? index.reach : 5;
        if (need < uint64_t(index.shift_reach) + 1) need = uint64_t(index.shift_reach) + 1;
        switch (index.shifted_count) {
        case 0: gather_blocks<0>(buf, k, pos, to, step, need); break;
        case 1: gather_blocks<1>(buf, k, pos, to, step, need); break;
        case 2: gather_blocks<2>(buf, k, pos, to, step, need); break;
        default: gather_blocks<-1>(buf, k, pos, to, step, need); break;
        }
        int8_t *out = hit.data();
        // The last few blocks: their headers may reach past what is read.
        for (; pos < to; ++k, pos += step) {
            const unsigned char *p = buf + pos;
            const bool maybe = first[p[0]] != 0 || index.shifted_lead(p, to - pos) || index.fallback_entry >= 0;
            if (!maybe) {
                out[k] = k_none;
            } else if (pos + index.reach > to) {
                out[k] = k_later;
            } else {
                out[k] = int8_t(index.match_or_fallback(p, to - pos));
            }
        }
    }

    search_spec_entry *operator()(const unsigned char *p, uint64_t avail, uint64_t block) const {
        int i = hit[block];
        if (i == k_none) return nullptr;
        if (i == k_later) i = index.match_or_fallback(p, avail);
        return i < 0 ? nullptr : const_cast<search_spec_entry *>(&index.types[i]);
    }

    // Whether a signature (not the fallback) stands at the block.
    bool signature_at(const unsigned char *p, uint64_t avail, uint64_t block) const {
        int i = hit[block];
        if (i == k_none) return false;
        if (i == k_later) i = index.match(p, avail);
        return i >= 0 && i != index.fallback_entry;
    }
};

// The text test: a block qualifies by its first byte after blanks.
struct text_test {
    search_spec_entry *types;
    static constexpr bool k_block_results = false;
    void start_window(uint64_t, uint32_t) {}
    void gather(const unsigned char *, uint64_t, uint64_t, uint32_t) {}
    search_spec_entry *operator()(const unsigned char *p, uint64_t avail, uint64_t) const {
        unsigned char lead = 0;
        if (!text_block_qualifies(p, avail, &lead)) return nullptr;
        lmr::diag("right! ");
        lmr::diag("first char=%x", lead);
        return &types[0];
    }
};

}  // namespace lmr
