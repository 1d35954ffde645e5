// Skip tables and the forward pattern search (Horspool with a wildcard and
// optional ASCII case folding).
#include "engine_internal.h"

#include <cstring>

namespace {
inline unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
inline unsigned char ascii_upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }
// The wildcard is '?' during a run; before the first run it is 0, and a
// zero byte in a pattern is then an ordinary byte.
inline bool is_wildcard(unsigned char c) { return wildcard != 0 && c == static_cast<unsigned char>(wildcard); }
}  // namespace

extern "C" {

int charactersMatch(unsigned char p, unsigned char d, int32_t case_sen) {
    if (p == d || is_wildcard(p)) return 1;
    if (case_sen) return 0;
    if (p >= 0x41 && p <= 0x7A && d >= 0x41 && d <= 0x7A && (p - d == 32 || d - p == 32)) return 1;
    return 0;
}

int memwildcardcmp(const unsigned char *pattern, const unsigned char *data, int64_t n,
                   int32_t case_sen) {
    for (int64_t i = 0; i < n; ++i) {
        if (!charactersMatch(pattern[i], data[i], case_sen)) return int(pattern[i]) - int(data[i]);
    }
    return 0;
}

void init_bm_table(const unsigned char *pattern, int32_t *table, int32_t len, int32_t case_sen,
                   int32_t direction) {
    if (!table) return;
    for (int i = 0; i < 256; ++i) table[i] = len;
    if (!pattern || len <= 0) return;
    for (int32_t i = 0; i < len; ++i) {
        // Only the forward direction is used by the engine; the backward
        // table counts from the pattern's first byte instead.
        int32_t d = direction == 1 ? i : len - 1 - i;
        unsigned char c = pattern[i];
        if (is_wildcard(c)) {
            for (int k = 0; k < 256; ++k) table[k] = d;
        }
        table[c] = d;
        if (!case_sen) {
            table[ascii_lower(c)] = d;
            table[ascii_upper(c)] = d;
        }
    }
}

const unsigned char *bm_search_skipn(const unsigned char *pattern, int32_t n,
                                     const unsigned char *data, int64_t m, const int32_t *table,
                                     int32_t case_sen, int32_t direction, int64_t start) {
    (void)direction;  // 0 and 2 both search forward
    if (!pattern) return nullptr;
    if (n <= 0) return data;
    if (!data || !table) return nullptr;
    int64_t pos = start;
    if (pos < n - 1) pos = n - 1;  // the pattern must fit before pos
    if (pos >= m) return nullptr;
    // An exact pattern without wildcards: look for its last byte with the C
    // library's vector search and compare the rest there.  Same first match,
    // a fraction of the work on long stretches of data.
    if (case_sen && !(wildcard && memchr(pattern, static_cast<unsigned char>(wildcard), size_t(n)))) {
        const unsigned char last = pattern[n - 1];
        const unsigned char *p = data + pos;
        const unsigned char *end = data + m;
        while (p < end) {
            p = static_cast<const unsigned char *>(memchr(p, last, size_t(end - p)));
            if (!p) return nullptr;
            if (n == 1 || memcmp(p - n + 1, pattern, size_t(n - 1)) == 0) return p - n + 1;
            ++p;
        }
        return nullptr;
    }
    for (;;) {
        int32_t shift;
        while ((shift = table[data[pos]]) != 0) {
            pos += shift;
            if (pos >= m) return nullptr;
        }
        const unsigned char *at = data + pos - n + 1;
        if (memwildcardcmp(pattern, at, n, case_sen) == 0) return at;
        if (++pos >= m) return nullptr;
    }
}

}  // extern "C"
