// Fuzzes the skip tables and the pattern search against a naive search.
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    wildcard = '?';
    int32_t case_sen = data[0] & 1;
    size_t n = size_t(data[1] % 16) + 1;
    data += 2;
    size -= 2;
    if (n > size) return 0;
    const uint8_t *pattern = data;
    const uint8_t *hay = data + n;
    int64_t m = int64_t(size - n);
    int32_t table[256];
    init_bm_table(pattern, table, int32_t(n), case_sen, 0);
    const unsigned char *hit = bm_search_skipn(pattern, int32_t(n), hay, m, table, case_sen, 0, int64_t(n) - 1);
    // The first match by brute force must be the same one.
    const unsigned char *expect = nullptr;
    for (int64_t i = 0; i + int64_t(n) <= m; ++i) {
        if (memwildcardcmp(pattern, hay + i, int64_t(n), case_sen) == 0) {
            expect = hay + i;
            break;
        }
    }
    if (hit != expect) abort();
    return 0;
}
