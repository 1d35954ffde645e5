// Plain text in a deep scan: notes, CSV, HTML, XML, JSON, e-mail,
// subtitles.  Text has no header and no length: a text file is valid UTF-8
// (ASCII included) from the block it starts at, walked up to the first byte
// that cannot be text (a NUL, a control byte, a malformed sequence).  A file
// that does not fill its last block leaves zeros after it, which are not
// the file's: followed by zeros to the end of its sector, the text is all
// it walked.  Followed by other bytes (random ones, another file's), some
// of them passed as text, and the end is judged from the text's last bytes
// (text_end.h); another file's header at a sector ends it in any case.
// Its kind comes from its first line where that is plain.
//
// Random bytes pass as text for a few bytes, and binary data (pixels of a
// grey picture, tables of a program) for some tens: a text must fill a
// sector (k_min_free_text) unless it ends as a file on a disk does, its
// zeros running on to the end of its sector, with a line end and a few
// letters; or shows by itself that it is one (words, line ends, the close
// of its structure).
#include "../../file_types.h"
#include "../probe_reader.h"
#include "../../scan_run.h"
#include "text_end.h"

#include <cstring>

namespace {

constexpr uint32_t k_step = 4096;
constexpr uint32_t k_sector = 512;
constexpr uint64_t k_max_text = 256ull << 20;  // the walk stops there: no text file on a card is larger
constexpr uint64_t k_min_free_text = 512;      // a text that does not end in zeros is at least a sector
constexpr uint32_t k_min_letters = 3;          // a short text ended by zeros has at least this many
constexpr uint32_t k_min_distinct = 8;         // different bytes in a text's first sector: a run of one
                                               // character (a PNG's filler, blank padding) is no text
constexpr unsigned char k_bom[3] = {0xEF, 0xBB, 0xBF};

// Bytes that text holds as they are: tab, line feed, form feed, carriage
// return and the printable ASCII characters.
constexpr bool plain_byte(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// The length of a valid UTF-8 sequence at p (n bytes there), 0 when p does
// not start one, or -1 when it is cut by the end of the bytes at hand.
// Overlong forms, surrogates and code points past U+10FFFF are not text.
int sequence_at(const unsigned char *p, uint64_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return plain_byte(c) ? 1 : 0;
    int len;
    unsigned char lo = 0x80, hi = 0xBF;  // the bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i < len; ++i) {
        if (uint64_t(i) >= n) return -1;
        const unsigned char b = p[i];
        if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    }
    return len;
}

bool starts_with_nocase(const unsigned char *p, uint64_t n, const char *word) {
    for (uint64_t i = 0; word[i]; ++i) {
        if (i >= n) return false;
        unsigned char c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
        if (c != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Header fields an e-mail message starts with.
bool mail_header(const unsigned char *p, uint64_t n) {
    static const char *const fields[] = {"return-path:", "received:", "from:", "date:", "message-id:",
                                         "mime-version:", "delivered-to:", "to:", "subject:", "reply-to:",
                                         "x-", "dkim-signature:", "arc-seal:", "authentication-results:"};
    for (const char *f : fields)
        if (starts_with_nocase(p, n, f)) return true;
    return false;
}

// Separators of a line up to its end: how many commas and semicolons.
void separators(const unsigned char *p, uint64_t n, uint64_t *commas, uint64_t *semicolons, uint64_t *end) {
    *commas = *semicolons = 0;
    uint64_t i = 0;
    for (; i < n && p[i] != '\n'; ++i) {
        *commas += p[i] == ',';
        *semicolons += p[i] == ';';
    }
    *end = i;
}

// The kind of a text from its start (`n` bytes of it, the byte-order mark
// left out): HTML, XML, JSON, e-mail, CSV, or plain text.
const char *kind_of(const unsigned char *p, uint64_t n) {
    uint64_t i = 0;
    while (i < n && blank(p[i])) ++i;
    p += i;
    n -= i;
    if (n == 0) return "txt";
    if (starts_with_nocase(p, n, "<!doctype html") || starts_with_nocase(p, n, "<html")) return "html";
    if (starts_with_nocase(p, n, "<?xml")) return "xml";
    if (p[0] == '{' || p[0] == '[') {
        uint64_t j = 1;
        while (j < n && blank(p[j])) ++j;
        if (j < n) {
            const unsigned char c = p[j];
            const bool object = p[0] == '{' && (c == '"' || c == '}');
            const bool array = p[0] == '[' && (c == '{' || c == '[' || c == '"' || c == ']' || c == '-' ||
                                               (c >= '0' && c <= '9') || c == 't' || c == 'f' || c == 'n');
            if (object || array) return "json";
        }
    }
    if (mail_header(p, n)) return "eml";
    // CSV: the first two lines have as many separators, at least one, or
    // at least two each (the last fields of a row may be left out); and the
    // first line (the column names) is not prose, with a blank after a
    // separator.
    uint64_t c1, s1, e1, c2, s2, e2;
    separators(p, n, &c1, &s1, &e1);
    if (e1 < n) {
        separators(p + e1 + 1, n - e1 - 1, &c2, &s2, &e2);
        bool prose = false;
        for (uint64_t k = 0; k + 1 < e1; ++k) prose |= (p[k] == ',' || p[k] == ';') && p[k + 1] == ' ';
        const bool same = (c1 > 0 && c1 == c2) || (s1 > 0 && s1 == s2);
        const bool columns = (c1 >= 2 && c2 >= 2) || (s1 >= 2 && s2 >= 2);
        if (e1 + 1 + e2 < n && !prose && (same || columns)) return "csv";
    }
    return "txt";
}

// Another text file starts at p (n bytes there): a byte-order mark, or
// the declaration of an XML or HTML document.
bool text_file_at(const unsigned char *p, uint64_t n) {
    if (p[0] == 0xEF) return n >= 3 && memcmp(p, k_bom, 3) == 0;
    if (p[0] != '<') return false;
    return starts_with_nocase(p, n, "<?xml ") || starts_with_nocase(p, n, "<!doctype html");
}

// Another file starts at p (n bytes there): the header of another type
// the run searches for, where the type's rule places it.
bool other_file_at(const recovery_state *state, const search_spec_entry *self, const unsigned char *p, uint32_t n) {
    if (text_file_at(p, n)) return true;
    const lmr::scan_run *run = lmr::run_of(state);
    if (!run || !run->types || !state) return false;
    const int32_t count = state->spec_count < LMR_MAX_SPECS ? state->spec_count : LMR_MAX_SPECS;
    for (int32_t i = 0; i < count; ++i) {
        const search_spec_entry &e = run->types[i];
        if (e.type_key == self->type_key || e.header.len < 2 || !e.header.value) continue;
        const uint32_t at = lmr::scan_rule_of(e.type_key).header_at;
        if (uint64_t(at) + uint64_t(e.header.len) <= n && memcmp(p + at, e.header.value, size_t(e.header.len)) == 0)
            return true;
    }
    return false;
}

// Whether the entry was asked for under exactly `name` (a word of its
// comma-joined requested names).
bool requested_word(const search_spec_entry *entry, const char *name) {
    const size_t n = strlen(name);
    for (const char *p = entry->requested; (p = strstr(p, name)) != nullptr; p += n) {
        const bool starts = p == entry->requested || p[-1] == ',';
        const bool ends = p[n] == '\0' || p[n] == ',';
        if (starts && ends) return true;
    }
    return false;
}

// A find of `kind` is reported when that kind was asked for, or text of any
// kind ("txt").
bool kind_requested(const search_spec_entry *entry, const char *kind) {
    return requested_word(entry, kind) || requested_word(entry, "txt");
}

}  // namespace

namespace {

// The first bytes of a block as text_block_start reads them, one table
// step a byte: where they can go no further as text, most blocks of other
// data are told apart without a branch a byte.  States: at a character's
// start, within a sequence (its next byte's bounds), and the two ends.
enum text_state : uint8_t {
    at_start, need_1, need_2, need_3, after_e0, after_ed, after_f0, after_f4, text_accepted, text_rejected,
    text_state_count
};

struct text_steps {
    uint8_t next[2][text_state_count][256];  // [a NUL at a start ends the text][state][byte]
};

constexpr text_steps make_text_steps() {
    text_steps t{};
    for (int nul_ends = 0; nul_ends < 2; ++nul_ends) {
        for (int s = 0; s < text_state_count; ++s) {
            for (int b = 0; b < 256; ++b) {
                const unsigned char c = static_cast<unsigned char>(b);
                uint8_t to = text_rejected;
                const bool cont = c >= 0x80 && c <= 0xBF;
                switch (s) {
                case at_start:
                    if (c == 0) to = nul_ends ? text_accepted : text_rejected;
                    else if (plain_byte(c)) to = at_start;
                    else if (c >= 0xC2 && c <= 0xDF) to = need_1;
                    else if (c == 0xE0) to = after_e0;
                    else if (c == 0xED) to = after_ed;
                    else if (c >= 0xE1 && c <= 0xEF) to = need_2;
                    else if (c == 0xF0) to = after_f0;
                    else if (c == 0xF4) to = after_f4;
                    else if (c >= 0xF1 && c <= 0xF3) to = need_3;
                    break;
                case need_1: to = cont ? at_start : text_rejected; break;
                case need_2: to = cont ? need_1 : text_rejected; break;
                case need_3: to = cont ? need_2 : text_rejected; break;
                case after_e0: to = c >= 0xA0 && c <= 0xBF ? need_1 : text_rejected; break;
                case after_ed: to = c >= 0x80 && c <= 0x9F ? need_1 : text_rejected; break;
                case after_f0: to = c >= 0x90 && c <= 0xBF ? need_2 : text_rejected; break;
                case after_f4: to = c >= 0x80 && c <= 0x8F ? need_2 : text_rejected; break;
                case text_accepted: to = text_accepted; break;
                default: to = text_rejected; break;
                }
                t.next[nul_ends][s][b] = to;
            }
        }
    }
    return t;
}

constexpr text_steps k_text_steps = make_text_steps();

}  // namespace

bool lmr::text_block_start(const unsigned char *p) {
    // Four bytes through the table first: random bytes and the data of
    // other files mostly stop being text there.  (A NUL ends a text from
    // its third byte on.)
    unsigned s = k_text_steps.next[0][at_start][p[0]];
    s = k_text_steps.next[0][s][p[1]];
    s = k_text_steps.next[1][s][p[2]];
    s = k_text_steps.next[1][s][p[3]];
    if (s == text_rejected) return false;
    // The first bytes are text up to k_fallback_reach of them, or up to a
    // NUL after at least two.
    uint64_t i = 0;
    while (i < uint64_t(lmr::k_fallback_reach)) {
        if (p[i] == 0) return i >= 2;
        const int len = sequence_at(p + i, uint64_t(lmr::k_fallback_reach) - i);
        if (len < 0) return true;  // a character that runs on past the bytes tested
        if (len == 0) return false;
        i += uint64_t(len);
    }
    return true;
}

bool lmr::text_block_pair(unsigned char first, unsigned char second) {
    // What text_block_start asks of the first two bytes: a first character
    // that may be text and, where it is one byte long, a second that may
    // start another (a NUL there leaves fewer than two bytes).
    const unsigned char p[2] = {first, second};
    const int len = sequence_at(p, 2);
    if (len != 1) return len != 0;
    return second != 0 && sequence_at(p + 1, 1) != 0;
}

uint64_t lmr::deep_text(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                        int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    const uint64_t bound = limit < k_max_text ? limit : k_max_text;
    lmr::probe_reader in(state, data, available, offset, bound);
    if (!in) return 0;

    unsigned char buf[k_step];
    unsigned char head[k_sector];  // the text's first bytes, for its kind
    uint32_t head_len = 0;
    uint64_t text = 0;       // valid bytes so far
    uint64_t letters = 0;    // letters and digits among them (ASCII), up to what a short text needs
    bool seen[256] = {};     // the bytes of the first sector
    uint32_t distinct = 0;
    bool line_end = false;
    bool bom = false;
    int stop = 0;            // what ended it: 0 the end of the bytes, 1 a NUL, 2 another byte,
                             // 3 another file's start at a sector
    uint32_t carry = 0;      // bytes of a cut sequence moved to the front of buf
    lmr::text_counts counts; // the characters of the text proper
    int prev_kind = -1;      // the kind of the character before
    lmr::json_tracker json;
    bool json_like = false;  // the text's first character (blanks left out) opens a JSON value
    bool first_char = true;
    uint64_t blank_lines = 0;         // empty lines
    unsigned char last = 0, before_last = 0;  // the bytes before the current one
    for (;;) {
        const uint32_t got = in.read(buf + carry, k_step - carry);
        const uint32_t have = carry + got;
        if (have == 0) break;
        uint32_t i = 0;
        if (text == 0 && have >= 3 && memcmp(buf, k_bom, 3) == 0) bom = true;
        while (i < have) {
            const unsigned char c = buf[i];
            if (c == 0) {
                stop = 1;
                break;
            }
            if (text % k_sector == 0 && text > 0 && text_file_at(buf + i, have - i)) {
                stop = 3;
                break;
            }
            const int len = c < 0x80 ? (plain_byte(c) ? 1 : 0) : sequence_at(buf + i, have - i);
            if (len == 0) {
                stop = 2;
                break;
            }
            if (len < 0) break;  // completed by the next read
            if (c == '\n') {
                if (line_end && (last == '\n' || (last == '\r' && before_last == '\n'))) ++blank_lines;
                line_end = true;
            }
            before_last = last;
            last = c;
            if (text < k_sector && !seen[c]) {
                seen[c] = true;
                ++distinct;
            }
            if (letters < k_min_letters && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) ++letters;
            if (letters < k_min_letters && c >= '0' && c <= '9') ++letters;
            if (head_len < sizeof head) {
                const uint32_t take = uint32_t(len) < sizeof head - head_len ? uint32_t(len) : uint32_t(sizeof head - head_len);
                memcpy(head + head_len, buf + i, take);
                head_len += take;
            }
            if (!(bom && text < 3)) {
                counts.add(buf + i, len, prev_kind);
                prev_kind = lmr::text_counts::class_of(buf + i, len);
                if (first_char && !blank(c)) {
                    first_char = false;
                    json_like = c == '{' || c == '[';
                }
                if (json_like) json.feed(c, text);
            }
            i += uint32_t(len);
            text += uint64_t(len);
        }
        if (stop) break;
        carry = have - i;  // a sequence cut by the end of the read
        if (got == 0) break;
        memmove(buf, buf + i, carry);
        if (text >= bound) break;
        if (const lmr::scan_run *run = lmr::run_of(state); run && run->stop_asked()) return 0;
    }
    const uint64_t first = bom ? 3 : 0;  // the text proper's first byte
    if (text <= first || distinct < k_min_distinct) return 0;
    const char *kind = kind_of(head + first, head_len > first ? head_len - uint32_t(first) : 0);

    // A file on a disk ends in zeros up to the end of its sector (or of
    // the bytes there are): the text is all its valid bytes.
    bool zeros_after = stop == 0;
    if (stop == 1) {
        const uint64_t sector_end = (text / k_sector + 1) * k_sector;
        in.renew();
        in.skip(text);
        unsigned char z[k_sector];
        const uint32_t got = in.peek(z, uint32_t(sector_end - text));
        zeros_after = true;
        for (uint32_t k = 0; k < got && zeros_after; ++k) zeros_after = z[k] == 0;
    }
    // Another file's header at the sector the walk stopped in: the text
    // ends before it.
    if (!zeros_after && stop != 3 && text > k_sector) {
        const uint64_t sector = (text - 1) / k_sector * k_sector;
        unsigned char s[k_sector];
        in.renew();
        in.skip(sector);
        const uint32_t got = in.peek(s, k_sector);
        if (other_file_at(state, entry, s, got)) {
            text = sector;
            stop = 3;
        }
    }

    uint64_t end = text;
    bool closed = false;  // the end is the close of the text's structure
    if (!zeros_after && stop != 0) {
        // Other bytes follow: some of the last ones may have passed as text.
        unsigned char tail[k_sector];
        const uint64_t span = text - first < k_sector ? text - first : k_sector;
        in.renew();
        in.skip(text - span);
        if (in.read(tail, uint32_t(span)) != span) return 0;
        uint32_t skip = 0;  // to the first byte of a character
        while (skip < span && (tail[skip] & 0xC0) == 0x80) ++skip;
        // What the text holds before these bytes (the first of them stays
        // counted after the character before it).
        lmr::text_counts &before = counts;
        int prev = -1;
        for (uint32_t k = skip; k < span;) {
            const int len = lmr::utf8_length(tail[k]);
            if (k + uint32_t(len) > span) break;  // a character cut by another file's header
            before.remove(tail + k, len, prev);
            prev = lmr::text_counts::class_of(tail + k, len);
            k += uint32_t(len);
        }
        const lmr::text_tail t{tail + skip, uint32_t(span - skip), text - span + skip, first, kind,
                               head + first, head_len > first ? head_len - uint32_t(first) : 0,
                               json_like ? json.last_close() : 0, blank_lines};
        end = text - span + skip + lmr::text_end_in_tail(t, before, &closed);
    }
    if (end <= first) return 0;
    if (end - first < k_min_free_text) {
        if (zeros_after && stop == 1) {
            // Short, ended as a file on a disk ends: a line end and a few
            // letters.
            if (!line_end || letters < k_min_letters) return 0;
        } else {
            // Short, and other bytes follow: it shows it is text by itself.
            // A NUL that other bytes follow ends a string among binary data
            // (a program's messages, a catalogue of translations), which
            // would pass: a text file that random bytes follow seldom meets
            // a NUL first.
            if (stop == 1) return 0;
            unsigned char proper[k_sector];
            in.renew();
            in.skip(first);
            if (in.read(proper, uint32_t(end - first)) != end - first) return 0;
            const uint32_t n = uint32_t(end - first);
            if (!lmr::short_text_evident(proper, n) && !(closed && lmr::short_structure_evident(proper, n)))
                return 0;
        }
    }
    if (!kind_requested(entry, kind)) return 0;
    entry->suffix = kind;
    *found = 1;
    return end;
}
