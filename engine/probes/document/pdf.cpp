// PDF: the length from the linearization dictionary when it checks out,
// otherwise a walk over obj ... xref ... trailer ... %%EOF sequences, so a
// file with incremental updates runs to its last complete end marker.
#include "../probe_reader.h"

#include <climits>

namespace {

constexpr uint32_t k_window = 512;

const unsigned char *find_bytes(const unsigned char *hay, size_t n, const void *needle, size_t m) {
    if (m == 0 || n < m) return nullptr;
    return static_cast<const unsigned char *>(memmem(hay, n, needle, m));
}

// The end marker proper: the entry's footer without the line ending it is
// configured with.  A PDF may end its last line with CR, LF, CR LF or
// nothing at all; the line ending is counted separately.
struct end_marker {
    const unsigned char *value;
    int32_t len;
    int32_t table[256];
};

void make_end_marker(const search_spec_entry *entry, end_marker *m) {
    static const unsigned char k_eof[] = {'%', '%', 'E', 'O', 'F'};
    m->value = entry->footer.value;
    m->len = entry->footer.len;
    while (m->value && m->len > 0 && (m->value[m->len - 1] == '\r' || m->value[m->len - 1] == '\n')) --m->len;
    if (!m->value || m->len <= 0) {
        m->value = k_eof;
        m->len = sizeof k_eof;
    }
    init_bm_table(m->value, m->table, m->len, entry->case_sen, 0);
}

// Bytes of the line ending that starts at `p` (CR LF, CR, LF or none).
uint32_t eol_length(const unsigned char *p, uint32_t n) {
    if (n >= 1 && p[0] == '\r') return (n >= 2 && p[1] == '\n') ? 2 : 1;
    if (n >= 1 && p[0] == '\n') return 1;
    return 0;
}

// A marker of the entry, or the given text if the entry lacks it.
struct marker {
    const unsigned char *value;
    int32_t len;
    const int32_t *table;
    int32_t own_table[256];
};

void pick_marker(const search_spec_entry *entry, int index, const char *fallback, marker *m) {
    if (entry->num_markers > index && entry->markers[index].value && entry->markers[index].len > 0) {
        m->value = entry->markers[index].value;
        m->len = entry->markers[index].len;
        m->table = entry->markers[index].table;
        return;
    }
    m->value = reinterpret_cast<const unsigned char *>(fallback);
    m->len = int32_t(strlen(fallback));
    init_bm_table(m->value, m->own_table, m->len, 1, 0);
    m->table = m->own_table;
}

// Outcome of the linearization check.
enum class linear { search, found, overwritten };

linear check_linearized(lmr::probe_reader &in, const unsigned char *w, const end_marker &eof, uint64_t *length) {
    static const char k_lin[] = "/Linearized";
    const size_t lin_len = sizeof k_lin - 1;
    const unsigned char *lin = find_bytes(w, 500 + lin_len, k_lin, lin_len);
    if (!lin) {
        lmr::diag("[pdf] search obj, xref, trailer");
        return linear::search;
    }
    // "\r/L " then the length's first digit, at offsets up to 507.
    const size_t from = size_t(lin - w) + lin_len;
    const unsigned char *l = from <= 507 ? find_bytes(w + from, 507 + 4 - from, "\r/L ", 4) : nullptr;
    if (!l || l[4] < '0' || l[4] > '9') {
        lmr::diag("[pdf] Linearized pdf");
        lmr::diag("[pdf] search obj, xref, trailer");
        return linear::search;
    }
    uint64_t value = 0;
    for (const unsigned char *d = l + 4; d < w + k_window && *d >= '0' && *d <= '9'; ++d) {
        value = value * 10 + uint64_t(*d - '0');
        if (value > UINT32_MAX) value = UINT64_MAX / 16;  // far past any chunk; stays put
    }
    lmr::diag("[pdf] Linearized pdf");
    if (value == 0) {
        lmr::diag("[pdf] search obj, xref, trailer");
        return linear::search;
    }
    lmr::diag("[pdf] Linearized size: %d", value > INT_MAX ? INT_MAX : int(value));

    // The last ten bytes of the declared length must hold the end marker.
    unsigned char tail[12];
    if (value < 10) {
        lmr::diag("[pdf] this file was overwritten");
        return linear::overwritten;
    }
    in.skip(value - 10);
    uint32_t got = in.peek(tail, sizeof tail);
    if (got < 10) {
        lmr::diag("[pdf] this file was overwritten");
        return linear::overwritten;
    }
    // The last marker in those ten bytes; a line ending right after it
    // belongs to the file even where the declared length left it out.
    const unsigned char *last = nullptr;
    for (const unsigned char *p = tail; (p = find_bytes(p, size_t(tail + 10 - p), eof.value, size_t(eof.len)));
         ++p)
        last = p;
    if (last) {
        uint64_t end = (value - 10) + uint64_t(last - tail) + uint64_t(eof.len);
        size_t after = size_t(last - tail) + size_t(eof.len);
        end += eol_length(tail + after, got - uint32_t(after));
        *length = end > value ? end : value;
        return linear::found;
    }
    lmr::diag("[pdf] Linearized is invalid, ignore");
    lmr::diag("[pdf] search obj, xref, trailer");
    lmr::diag("[pdf] reset bstream");
    in.renew();
    return linear::search;
}

}  // namespace

extern "C" uint64_t probe_pdf(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    unsigned char w[k_window];
    if (!in.peek_exact(w, k_window)) return 0;
    lmr::diag("[pdf] %.*s", 8, reinterpret_cast<const char *>(w));

    end_marker eof;
    make_end_marker(entry, &eof);

    uint64_t length = 0;
    switch (check_linearized(in, w, eof, &length)) {
    case linear::found:
        *found = 1;
        return length;
    case linear::overwritten:
        return 0;
    case linear::search:
        break;
    }
    if (!in) return 0;

    marker xref, trailer;
    pick_marker(entry, 1, "xref", &xref);
    pick_marker(entry, 2, "trailer", &trailer);
    const int32_t hlen = entry->header.len;

    in.skip(uint64_t(hlen > 0 ? hlen : 0));
    for (;;) {
        if (!in.peek_exact(w, k_window)) break;
        // A following PDF ends this one.
        if (hlen > 0 && find_bytes(w, k_window - 1, entry->header.value, size_t(hlen))) break;
        if (!find_bytes(w, k_window - 1, "obj", 3)) break;

        int32_t hit = 0;
        bs_search(in.get(), xref.value, xref.len, entry->max_len, xref.table, 1, &hit);
        if (!hit) break;
        hit = 0;
        bs_search(in.get(), trailer.value, trailer.len, entry->max_len, trailer.table, 1, &hit);
        if (!hit) break;
        hit = 0;
        bs_search(in.get(), eof.value, eof.len, entry->max_len, eof.table, entry->case_sen, &hit);
        if (hit) {
            in.skip(uint64_t(eof.len));
            unsigned char nl[2];
            uint32_t n = in.peek(nl, sizeof nl);
            in.skip(eol_length(nl, n));
            length = in.tell();
            *found = 1;
        }
    }
    return length;
}
