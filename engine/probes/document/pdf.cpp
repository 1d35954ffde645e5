// PDF: the length from the linearization dictionary when it checks out,
// otherwise a walk over obj ... xref ... trailer ... %%EOF sequences, so a
// file with incremental updates runs to its last complete end marker.  A
// revision whose cross-reference is a stream object has no "xref" table and
// no "trailer": its "startxref" leads straight to its %%EOF.  No search of
// the walk runs past the start of another PDF.
//
// A deep scan reads the revisions instead: each ends at the %%EOF after its
// "startxref", and the file goes on to the next revision only where one
// begins right after the last (objects, a cross-reference table or a
// comment) and its "startxref" points at a cross-reference section of this
// file.  So incremental updates of any size are followed, also after a
// linearized first revision, and nothing that merely follows the file is
// joined to it.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <algorithm>
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

// Where a search ahead ended.
enum class ahead { found, fenced, none };

constexpr unsigned char k_pdf_start[] = {'%', 'P', 'D', 'F', '-'};
constexpr uint32_t k_look = 10240;  // bytes examined at a time beyond the memory head
constexpr int32_t k_longest_marker = 64;
constexpr uint32_t k_context = 5;  // bytes before a match the caller may look at

// Looks for a marker from the reader's position, for a match that ends
// within `max` bytes, but not past the start of another PDF: the markers of
// this one never lie there.  On a match the reader stands on its first byte
// and `before` (when given) holds the k_context bytes in front of it, zeros
// where they precede the search's start.  A search that meets another PDF
// leaves the reader at its start; one that finds nothing, past what it saw.
ahead look_ahead(lmr::probe_reader &in, const unsigned char *pattern, int32_t n, const int32_t *table,
                 int32_t case_sen, uint64_t max, unsigned char *before = nullptr) {
    if (!pattern || n <= 0 || n > k_longest_marker) return ahead::none;
    const uint64_t start = in.tell();
    // Each window repeats the last bytes of the one before, so that a match
    // (with its context) or a PDF start across the seam is seen whole.
    const uint32_t keep = uint32_t(std::max<int32_t>(n, int32_t(sizeof k_pdf_start)) - 1) + k_context;
    unsigned char buf[k_look];
    for (;;) {
        const uint64_t at = in.tell();
        const uint64_t used = at - start;
        if (used >= max) return ahead::none;
        const uint64_t room = max - used;
        uint64_t count = 0;
        const unsigned char *view = in.in_memory(&count);
        bool last;
        if (view && count > keep) {
            last = count >= room;
            if (last) count = room;
        } else {
            uint32_t want = room < k_look ? uint32_t(room) : k_look;
            count = in.peek(buf, want);
            view = buf;
            last = count < k_look;
        }
        const unsigned char *hit = bm_search_skipn(pattern, n, view, int64_t(count), table, case_sen, 0, n - 1);
        // Another PDF counts only where it starts before the match ends.
        size_t span = count;
        if (hit) span = std::min<size_t>(count, size_t(hit - view) + size_t(n) + sizeof k_pdf_start);
        const auto *fence = static_cast<const unsigned char *>(memmem(view, span, k_pdf_start, sizeof k_pdf_start));
        if (fence && (!hit || fence < hit + n)) {
            in.skip(uint64_t(fence - view));
            return ahead::fenced;
        }
        if (hit) {
            if (before) {
                size_t k = size_t(hit - view);
                for (size_t i = 0; i < k_context; ++i) before[i] = k + i >= k_context ? view[k + i - k_context] : 0;
            }
            in.skip(uint64_t(hit - view));
            return ahead::found;
        }
        if (last) {
            in.skip(count);
            return ahead::none;
        }
        in.skip(count - keep);
    }
}

ahead look_ahead(lmr::probe_reader &in, const marker &m, int32_t case_sen, uint64_t max,
                 unsigned char *before = nullptr) {
    return look_ahead(in, m.value, m.len, m.table, case_sen, max, before);
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

// ---- deep scan --------------------------------------------------------------

constexpr uint32_t k_tail_look = 64;  // bytes from "startxref" to its %%EOF, at most
constexpr uint32_t k_gap = 512;       // blank bytes between two revisions, at most
// Each search for a tail reads a window of its own beyond the memory head:
// a crafted file of keywords without tails, or of many tiny revisions,
// must not cost a window per keyword without end.  Real files have a tail
// per revision and seldom more than a few hundred revisions.
constexpr int k_false_tails = 64;
constexpr int k_revisions = 4096;

bool pdf_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }
bool digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Digits from p[*i] on (at most 20); false when there are none.
bool parse_number(const unsigned char *p, uint32_t n, uint32_t *i, uint64_t *value) {
    uint32_t start = *i;
    *value = 0;
    while (*i < n && digit(p[*i]) && *i - start < 20) *value = *value * 10 + uint64_t(p[(*i)++] - '0');
    return *i > start;
}

// Whether the bytes at p begin an object header "N G obj" or a
// cross-reference table "xref", after at most a few blanks.
bool section_start(const unsigned char *p, uint32_t n) {
    uint32_t i = 0;
    while (i < n && i < 4 && pdf_blank(p[i])) ++i;
    if (n - i >= 4 && memcmp(p + i, "xref", 4) == 0) return true;
    uint64_t v;
    if (!parse_number(p, n, &i, &v)) return false;
    if (i >= n || !pdf_blank(p[i])) return false;
    while (i < n && pdf_blank(p[i])) ++i;
    if (!parse_number(p, n, &i, &v)) return false;
    if (i >= n || !pdf_blank(p[i])) return false;
    while (i < n && pdf_blank(p[i])) ++i;
    return n - i >= 3 && memcmp(p + i, "obj", 3) == 0;
}

// One revision's tail: "startxref", the offset of its cross-reference
// section, "%%EOF" and the line ending after it.
struct revision_tail {
    uint64_t xref;  // the offset it gives
    uint64_t end;   // stream position after the line ending
};

// Reads the tail whose "startxref" stands at the reader's position; false
// (the reader past the keyword) when the keyword is not followed by an
// offset and the end marker.
bool read_tail(lmr::probe_reader &in, revision_tail *t) {
    unsigned char b[k_tail_look];
    const uint64_t at = in.tell();
    uint32_t n = in.peek(b, sizeof b);
    in.skip(9);  // "startxref"
    uint32_t i = 9;
    while (i < n && pdf_blank(b[i])) ++i;
    if (!parse_number(b, n, &i, &t->xref)) return false;
    while (i < n && pdf_blank(b[i])) ++i;
    if (n - i < 5 || memcmp(b + i, "%%EOF", 5) != 0) return false;
    i += 5;
    i += eol_length(b + i, n - i);
    t->end = at + i;
    return true;
}

// Whether another revision begins at the reader's position: after a few
// blanks and comment lines, an object header or a cross-reference table.
// The reader stays where it was.
bool revision_follows(lmr::probe_reader &in) {
    unsigned char b[k_gap + 32];
    uint32_t n = in.peek(b, sizeof b);
    uint32_t i = 0;
    while (i < n && i < k_gap) {
        if (pdf_blank(b[i])) {
            ++i;
        } else if (b[i] == '%') {
            if (n - i >= sizeof k_pdf_start && memcmp(b + i, k_pdf_start, sizeof k_pdf_start) == 0) return false;
            while (i < n && b[i] != '\r' && b[i] != '\n') ++i;
        } else {
            return section_start(b + i, n - i);
        }
    }
    return false;
}

// Whether the offset a "startxref" gives points at a cross-reference
// section of this file, read with `at`; `before` is where the keyword
// stands.
bool points_at_section(lmr::probe_reader &at, uint64_t xref, uint64_t before) {
    if (xref == 0 || xref >= before) return false;
    if (at.tell() > xref) at.renew();
    at.skip(xref - at.tell());
    unsigned char b[40];
    uint32_t n = at.peek(b, sizeof b);
    return section_start(b, n);
}

// The end of the last revision, or 0 when no revision ends within reach.
uint64_t deep_end(lmr::probe_reader &in, lmr::probe_reader &at, const search_spec_entry *entry) {
    static const unsigned char k_startxref[] = {'s', 't', 'a', 'r', 't', 'x', 'r', 'e', 'f'};
    int32_t table[256];
    init_bm_table(k_startxref, table, sizeof k_startxref, 1, 0);
    const uint64_t max = entry->max_len ? entry->max_len : 20971520;
    uint64_t end = 0;
    int false_tails = 0;
    in.skip(sizeof k_pdf_start);
    for (int revisions = 0; revisions < k_revisions;) {
        if (look_ahead(in, k_startxref, sizeof k_startxref, table, 1, max) != ahead::found) break;
        const uint64_t keyword = in.tell();
        revision_tail t;
        if (!read_tail(in, &t)) {
            if (++false_tails == k_false_tails) break;
            continue;  // not a revision's tail: look on
        }
        ++revisions;
        // The first revision is taken as it ends; a later one only when its
        // cross-reference offset checks out against this file.
        if (end && !points_at_section(at, t.xref, keyword)) break;
        end = t.end;
        in.skip(t.end - in.tell());
        if (!revision_follows(in)) break;
    }
    return end;
}

// The built-in rules, on a reader at the candidate's first byte; `w` holds
// its first k_window bytes.
uint64_t builtin_walk(lmr::probe_reader &in, unsigned char *w, search_spec_entry *entry, int32_t *found) {
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

        unsigned char before[k_context];
        if (look_ahead(in, xref, 1, entry->max_len, before) != ahead::found) break;
        // "startxref" before any "xref" table: the cross-reference is a
        // stream object, and the revision ends at the next end marker.
        const bool xref_stream = memcmp(before, "start", k_context) == 0;
        if (!xref_stream && look_ahead(in, trailer, 1, entry->max_len) != ahead::found) break;
        if (look_ahead(in, eof.value, eof.len, eof.table, entry->case_sen, entry->max_len) == ahead::found) {
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

// A reader at the candidate and its first k_window bytes in `w`, or false.
bool open_candidate(lmr::probe_reader &in, unsigned char *w) {
    if (!in || !in.peek_exact(w, k_window)) return false;
    lmr::diag("[pdf] %.*s", 8, reinterpret_cast<const char *>(w));
    return true;
}

}  // namespace

extern "C" uint64_t probe_pdf(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    unsigned char w[k_window];
    if (!open_candidate(in, w)) return 0;
    return builtin_walk(in, w, entry, found);
}

uint64_t lmr::deep_pdf(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    unsigned char w[k_window];
    if (!open_candidate(in, w)) return 0;
    lmr::probe_reader at(state, data, available, offset, limit);
    if (!at) return 0;
    uint64_t end = deep_end(in, at, entry);
    if (end) {
        *found = 1;
        return end;
    }
    // No revision's tail: the built-in rules may still find an end.
    in.renew();
    if (!in) return 0;
    return builtin_walk(in, w, entry, found);
}
