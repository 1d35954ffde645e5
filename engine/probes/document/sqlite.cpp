// SQLite database files: the length is the header's page count times the
// page size when the header vouches for that count, otherwise a walk over
// the pages that start like b-tree pages.
#include "../probe_reader.h"

#include <climits>

namespace {

bool btree_page(unsigned char t) {
    t = static_cast<unsigned char>(t & ~0x08);
    return t == 2 || t == 5;  // 0x02, 0x05, 0x0A, 0x0D
}

int as_int(uint64_t v) { return v > uint64_t(INT_MAX) ? INT_MAX : int(v); }

}  // namespace

extern "C" uint64_t probe_sqlite(recovery_state *state, search_spec_entry *, const unsigned char *data,
                                 int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char h[101];
    if (!in.peek_exact(h, sizeof h)) return 0;

    uint64_t page = htos(h + 16, 0);
    if (page == 1) page = 65536;
    // Page sizes are powers of two from 512 to 65536.
    if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return 0;

    // The in-header page count holds only while the change counter matches
    // the version-valid-for number.
    const uint32_t counter = htoi(h + 24, 0);
    const uint32_t header_pages = htoi(h + 28, 0);
    const bool count_valid = counter != 0 && counter == htoi(h + 92, 0) && header_pages != 0;

    if (!btree_page(h[100])) return 0;

    uint64_t pages = 1;
    if (count_valid) {
        // Overflow and free-list pages lie inside that count as well; the
        // database is whole only if all of it lies within the chunk.
        pages = header_pages;
        if (pages * page > limit) return 0;
    } else {
        for (;;) {
            in.skip(page);
            unsigned char t;
            if (!in.peek_exact(&t, 1)) return 0;
            if (!(btree_page(t) || (pages == 1 && t == 1))) break;
            ++pages;
        }
    }

    lmr::diag("find a sqlite file, page size: %d, pages: %d", int(page), as_int(pages));
    *found = 1;
    return pages * page;
}
