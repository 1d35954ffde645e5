// Helpers shared by the probe tests: building inputs,
// running a whole scan, and feeding damaged copies to the dispatcher.
#pragma once

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace lmrtest {

inline Bytes sample(const std::string &name) {
    Bytes b = read_file(data_path(name));
    if (b.empty()) ADD_FAILURE() << "missing test data " << name;
    return b;
}

// A sample of the pictures' test data.
inline Bytes image_sample(const std::string &name) { return sample("image/" + name); }

inline Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

inline void append(Bytes &to, const Bytes &b) { to.insert(to.end(), b.begin(), b.end()); }

// An ISO base media box of `payload` filler bytes, and an "ftyp" box of
// `brand`.
inline Bytes box(const char *type, size_t payload) {
    Bytes b(8 + payload, 0x11);
    uint32_t n = uint32_t(b.size());
    b[0] = uint8_t(n >> 24), b[1] = uint8_t(n >> 16), b[2] = uint8_t(n >> 8), b[3] = uint8_t(n);
    memcpy(b.data() + 4, type, 4);
    return b;
}

inline Bytes ftyp(const char *brand) {
    Bytes b = box("ftyp", 16);
    memcpy(b.data() + 8, brand, 4);
    return b;
}

// Pads with zeros up to the next multiple of `unit`.
inline void pad_to(Bytes &b, size_t unit) { b.resize((b.size() + unit - 1) / unit * unit, 0); }

// One whole scan of an image file; every find is recorded.
struct Find {
    uint64_t offset;
    uint64_t length;
    std::string suffix;
};

inline void collect_find(void *ctx, r_info *info) {
    static_cast<std::vector<Find> *>(ctx)->push_back({info->offset, info->length, info->suffix});
}

inline std::vector<Find> scan(const std::string &path, const char *suffixes) {
    std::vector<Find> finds;
    skip_exist = 0;
    set_callbacks(&finds, collect_find, nullptr, nullptr);
    DiagCapture quiet;
    start_recovery2(path.c_str(), suffixes, "", 0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    return finds;
}

}  // namespace lmrtest

namespace lmrtest {

// Feeds damaged copies of a real file to the dispatcher: random bytes
// overwritten, the input cut short, various amounts in memory.  Whatever
// the probe decides, a find never reaches past the input.
inline void probe_damaged_copies(const Bytes &seed, const char *suffixes, int rounds, unsigned rng_seed) {
    std::mt19937 rng(rng_seed);
    for (int i = 0; i < rounds; ++i) {
        Bytes b = seed;
        int flips = 1 + int(rng() % 24);
        for (int k = 0; k < flips; ++k) {
            // Mostly in the first kilobytes, where the structures are.
            size_t span = (rng() % 4 == 0) ? b.size() : std::min<size_t>(b.size(), 2048);
            b[rng() % span] = static_cast<unsigned char>(rng());
        }
        if (rng() % 3 == 0) b.resize(1 + rng() % b.size());
        TempFile f(b);
        ProbeRun run(f.path(), suffixes);
        size_t in_memory = (rng() % 2) ? b.size() : rng() % (b.size() + 1);
        DiagCapture quiet;
        auto r = run.probe(b, 0, in_memory);
        if (r.found) {
            ASSERT_LE(r.length, b.size()) << suffixes << " round " << i;
        }
    }
}

// A crafted candidate and what the probe must make of it.
struct ProbeCase {
    const char *what;
    Bytes input;
    int32_t found;
    uint64_t length;
};

// Runs a table of crafted candidates (ProbeCase, or rows with the same
// fields) through the probes of `suffixes`, each whole in memory.
template <typename Cases>
void expect_cases(const Cases &cases, const char *suffixes) {
    for (auto &c : cases) {
        auto r = probe_once(c.input, suffixes, c.input.size());
        EXPECT_EQ(c.found, r.found) << c.what;
        if (c.found) {
            EXPECT_EQ(c.length, r.length) << c.what;
        }
    }
}

}  // namespace lmrtest
