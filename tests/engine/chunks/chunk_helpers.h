// Helpers for the chunk-list tests: byte ranges, the fixture scripts and the
// independent readers (The Sleuth Kit's blkls, dumpe2fs) they are checked
// against.
#pragma once

#include "engine/scan_run.h"

#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace chunktest {

using lmrtest::Bytes;

// Half-open byte range [first, second).
using Range = std::pair<uint64_t, uint64_t>;
using Ranges = std::vector<Range>;

// Sorted, with touching or overlapping ranges merged.
inline Ranges normalize(Ranges r) {
    std::sort(r.begin(), r.end());
    Ranges out;
    for (auto &x : r) {
        if (x.first >= x.second) continue;
        if (!out.empty() && x.first <= out.back().second)
            out.back().second = std::max(out.back().second, x.second);
        else
            out.push_back(x);
    }
    return out;
}

inline Ranges clip(const Ranges &r, uint64_t end) {
    Ranges out;
    for (auto x : r) {
        if (x.first >= end) continue;
        x.second = std::min(x.second, end);
        out.push_back(x);
    }
    return out;
}

inline Ranges unite(Ranges a, const Ranges &b) {
    a.insert(a.end(), b.begin(), b.end());
    return normalize(a);
}

inline bool contains(const Ranges &set, Range r) {
    for (auto &x : set)
        if (x.first <= r.first && r.second <= x.second) return true;
    return false;
}

inline bool overlaps(const Ranges &set, Range r) {
    for (auto &x : set)
        if (x.first < r.second && r.first < x.second) return true;
    return false;
}

// The list as ranges, in list order (not normalized).
inline Ranges to_ranges(const chunk_list *list) {
    Ranges out;
    for (const chunk *c = list ? list->head : nullptr; c; c = c->next) out.push_back({c->offset, c->offset + c->length});
    return out;
}

// Owns a chunk list.
struct List {
    chunk_list *l;
    explicit List(chunk_list *p) : l(p) {}
    ~List() { free_chunk_list(l); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    Ranges ranges() const { return to_ranges(l); }
};

using lmrtest::have_tool;
using lmrtest::run;

inline std::string fixture_script(const char *name) { return std::string(LUMAREK_SOURCE_DIR) + "/tests/fixtures/" + name; }

// One line of a fixture script's listing.
struct Placed {
    std::string name;
    bool deleted;
    uint64_t size;
    Ranges ranges;
};

inline std::vector<Placed> parse_listing(const std::string &text) {
    std::vector<Placed> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        Placed p;
        std::string state, ranges;
        if (!(ls >> p.name >> state >> p.size >> ranges)) continue;
        p.deleted = state == "deleted";
        std::istringstream rs(ranges);
        std::string piece;
        while (std::getline(rs, piece, ',')) {
            auto plus = piece.find('+');
            if (plus == std::string::npos) continue;
            uint64_t off = std::stoull(piece.substr(0, plus)), len = std::stoull(piece.substr(plus + 1));
            p.ranges.push_back({off, off + len});
        }
        out.push_back(p);
    }
    return out;
}

// Unallocated units in a listing of blkls -l -A, as byte ranges of `unit`
// bytes each.
inline Ranges blkls_ranges(const std::string &text, uint64_t unit) {
    Ranges r;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto bar = line.find('|');
        if (bar == std::string::npos || line.substr(bar + 1) != "f") continue;
        if (line.empty() || line[0] < '0' || line[0] > '9') continue;
        uint64_t addr = std::stoull(line.substr(0, bar));
        r.push_back({addr * unit, (addr + 1) * unit});
    }
    return normalize(r);
}

// Unallocated units as blkls lists them, of `unit` bytes each (sectors on
// FAT, blocks on ext).
inline Ranges blkls_free(const std::string &image, uint64_t unit) {
    return blkls_ranges(run("blkls -l -A '" + image + "' 2>/dev/null"), unit);
}

// What dumpe2fs reports per group: the free block ranges and whether the
// group's block bitmap is uninitialised.
struct Ext2Groups {
    uint64_t block_size = 0;
    uint64_t cluster_size = 0;  // the block size unless bigalloc
    Ranges free;           // bytes
    Ranges uninit_groups;  // bytes covered by groups flagged BLOCK_UNINIT
};

inline Ext2Groups dumpe2fs_groups(const std::string &image) {
    Ext2Groups g;
    std::string text = run("dumpe2fs '" + image + "' 2>/dev/null");
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Block size:", 0) == 0) g.block_size = std::stoull(line.substr(line.find(':') + 1));
        if (line.rfind("Cluster size:", 0) == 0) g.cluster_size = std::stoull(line.substr(line.find(':') + 1));
        // With bigalloc a range names the first block of its first and of
        // its last free cluster.
        const uint64_t last = std::max(g.cluster_size, g.block_size);
        unsigned long long a, b;
        if (line.rfind("Group ", 0) == 0 && sscanf(line.c_str(), "Group %*u: (Blocks %llu-%llu)", &a, &b) == 2 &&
            line.find("BLOCK_UNINIT") != std::string::npos)
            g.uninit_groups.push_back({a * g.block_size, (b + 1) * g.block_size});
        auto at = line.find("  Free blocks: ");
        if (at == 0) {
            std::istringstream rs(line.substr(at + 15));
            std::string piece;
            while (std::getline(rs, piece, ',')) {
                if (sscanf(piece.c_str(), " %llu-%llu", &a, &b) == 2)
                    g.free.push_back({a * g.block_size, b * g.block_size + last});
                else if (sscanf(piece.c_str(), " %llu", &a) == 1)
                    g.free.push_back({a * g.block_size, a * g.block_size + last});
            }
        }
    }
    if (g.cluster_size == 0) g.cluster_size = g.block_size;
    g.free = normalize(g.free);
    g.uninit_groups = normalize(g.uninit_groups);
    return g;
}

// A run of the engine on a record of its own: its settings and callbacks
// are the record's, and no process-wide setting is read or changed.
struct RecordedRun {
    lmr::scan_run run;
    RecordedRun(void *context, recovered_fn found, proceed_fn proceed = nullptr) {
        run.context = context;
        run.recovered = found;
        run.proceed = proceed;
        run.free_space_only = true;
    }
    void start(const std::string &path, const char *types, const char *fs_name = "") {
        lmr::run_recovery(run, path.c_str(), types, fs_name, 0);
    }
};

using lmrtest::DiagCapture;

inline void put16(Bytes &b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

}  // namespace chunktest
