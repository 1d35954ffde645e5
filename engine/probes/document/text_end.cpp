// Where a text ends when no zeros follow it (see text_end.h).
//
// The tail's possible ends are weighed against each other: ending at p
// means the bytes after p passed as text by chance (each of them one in
// 256), ending later means they are the text's own characters (as likely
// as the text before them makes them).  A line end, or the close of the
// text's structure, before p makes an end at p likelier.
#include "text_end.h"

#include <cmath>
#include <cstring>

namespace lmr {
namespace {

constexpr uint32_t k_window = 64;     // the last bytes of a text where its end is looked for
constexpr double k_line_end = 7.0;    // log odds of a text ending at a line end over another character
constexpr double k_closing_end = 3.0;  // log odds of a text ending after a character that closes
const char k_closing[] = ">}]).;!?\"'";  // something (a tag, a block, a sentence) over another one
constexpr double k_closed = 12.0;
constexpr uint32_t k_min_structure = 32;  // bytes of a short text its structure alone vouches for     // log odds of a text ending at its structure's close
constexpr double k_blend = 4.0;       // weight of what texts mostly hold against the text's own counts,
                                      // at least
constexpr double k_follow = 8.0;      // weight of how often a character occurs against how often it
                                      // follows the kind of character before it
constexpr double k_follow_floor = 0.25;  // a pair never seen is still this share of the character's chance
constexpr double k_expected_close = 0.05;  // the chance of a bracket that closes an open one
const double k_log_byte = std::log(256.0);

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool letter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// What texts mostly hold: the share of each ASCII character (English
// letters at their frequency), and of all longer sequences together.
struct text_shares {
    double ascii[128] = {};
    double per_pair;  // one first-two-bytes pair of a longer sequence
    text_shares() {
        static const double lower[26] = {8.2, 1.5, 2.8, 4.3, 12.7, 2.2, 2.0, 6.1, 7.0, 0.15, 0.8, 4.0, 2.4,
                                         6.7, 7.5, 1.9, 0.1, 6.0, 6.3, 9.1, 2.8, 1.0, 2.4, 0.15, 2.0, 0.07};
        double sum = 0;
        for (double f : lower) sum += f;
        for (int i = 0; i < 26; ++i) ascii['a' + i] = 0.52 * lower[i] / sum;
        for (int i = 0; i < 26; ++i) ascii['A' + i] = 0.05 / 26;
        for (int i = 0; i < 10; ++i) ascii['0' + i] = 0.04 / 10;
        ascii[' '] = 0.15;
        ascii['\n'] = 0.025;
        ascii['\r'] = 0.008;
        ascii['\t'] = 0.008;
        ascii['\f'] = 0.0005;
        const char *common = ".,-'\":;()/";
        for (const char *c = common; *c; ++c) ascii[uint8_t(*c)] = 0.07 / double(strlen(common));
        const char *rare = "!#$%&*+<=>?@[\\]^_`{|}~";
        for (const char *c = rare; *c; ++c) ascii[uint8_t(*c)] = 0.02 / double(strlen(rare));
        // Sequences of two bytes lead with C2-DF, of three E0-EF, of four
        // F0-F4: some 3,300 pairs of a lead and a second byte.
        per_pair = 0.02 / 3300.0;
    }
};

const text_shares &shares() {
    static const text_shares s;
    return s;
}

double share_of(const unsigned char *p, int len) {
    const text_shares &s = shares();
    if (len == 1) return s.ascii[p[0] & 0x7F];
    double v = s.per_pair;
    for (int i = 2; i < len; ++i) v /= 64.0;
    return v;
}

// The gain in log odds of the bytes [p, p+len) being bytes that passed as
// text by chance rather than a text's own character.
double chance_gain(const text_counts &c, const unsigned char *p, int len, int prev) {
    return -double(len) * k_log_byte - c.log_chance(p, len, prev);
}

// The offset of the line end that follows position q (q itself when none).
uint32_t after_line_end(const unsigned char *b, uint32_t n, uint32_t q) {
    if (q < n && b[q] == '\n') return q + 1;
    if (q + 1 < n && b[q] == '\r' && b[q + 1] == '\n') return q + 2;
    return q;
}

uint32_t after_blanks(const unsigned char *b, uint32_t n, uint32_t q) {
    while (q < n && blank(b[q])) ++q;
    return q;
}

// How many lines end empty from position q on.
uint64_t empty_lines_from(const unsigned char *b, uint32_t n, uint32_t q) {
    uint64_t count = 0;
    for (uint32_t j = q > 0 ? q : 1; j < n; ++j)
        if (b[j] == '\n' && (b[j - 1] == '\n' || (j >= 2 && b[j - 1] == '\r' && b[j - 2] == '\n'))) ++count;
    return count;
}

bool same_nocase(const unsigned char *p, const char *w, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
        unsigned char d = static_cast<unsigned char>(w[i]);
        if (d >= 'A' && d <= 'Z') d = static_cast<unsigned char>(d + 32);
        if (c != d) return false;
    }
    return true;
}

// The name of an XML text's root element from its first bytes ("" when
// none is there).
size_t root_name(const unsigned char *h, uint32_t n, char *name, size_t cap) {
    for (uint32_t i = 0; i + 1 < n; ++i) {
        if (h[i] != '<') continue;
        const unsigned char c = h[i + 1];
        if (!(letter(c) || c == '_' || c == ':')) continue;  // a declaration, comment or doctype
        size_t len = 0;
        for (uint32_t j = i + 1; j < n && len + 1 < cap; ++j) {
            const unsigned char d = h[j];
            if (!(letter(d) || (d >= '0' && d <= '9') || d == '_' || d == ':' || d == '-' || d == '.')) break;
            name[len++] = char(d);
        }
        name[len] = '\0';
        return len;
    }
    return 0;
}

// The MIME boundary a message's headers declare ("" when none).
size_t boundary_of(const unsigned char *h, uint32_t n, char *out, size_t cap) {
    static const char key[] = "boundary=";
    const size_t kl = sizeof key - 1;
    for (uint32_t i = 0; i + kl < n; ++i) {
        if (!same_nocase(h + i, key, kl)) continue;
        uint32_t j = i + uint32_t(kl);
        const bool quoted = h[j] == '"';
        if (quoted) ++j;
        size_t len = 0;
        for (; j < n && len + 1 < cap; ++j) {
            const unsigned char c = h[j];
            if (quoted ? c == '"' : (c == ';' || blank(c))) break;
            if (c < 0x20) break;
            out[len++] = char(c);
        }
        out[len] = '\0';
        return len;
    }
    return 0;
}

// Ends the structure of the text gives: the offsets just after each close
// found in the tail (at most `cap`).  *absolute: nothing but blanks may
// follow a close, so bytes after it are not the text's.
uint32_t structure_ends(const text_tail &t, uint32_t *ends, uint32_t cap, bool *absolute) {
    *absolute = false;
    uint32_t count = 0;
    const unsigned char *b = t.bytes;
    const uint32_t n = t.n;
    if (strcmp(t.kind, "json") == 0) {
        if (t.json_close > t.at && t.json_close - t.at <= n) {
            ends[count++] = uint32_t(t.json_close - t.at);
            *absolute = true;
        }
        return count;
    }
    char name[64];
    size_t name_len = 0;
    const bool html = strcmp(t.kind, "html") == 0;
    bool markup = strcmp(t.kind, "xml") == 0;
    if (html) {
        strcpy(name, "html");
        name_len = 4;
    } else if (markup) {
        name_len = root_name(t.head, t.head_len, name, sizeof name);
    } else if (strcmp(t.kind, "txt") == 0) {
        // A text that starts with an element (an SVG picture, a fragment
        // of markup) likely ends with its close.
        uint32_t i = 0;
        while (i < t.head_len && blank(t.head[i])) ++i;
        if (i + 1 < t.head_len && t.head[i] == '<' && letter(t.head[i + 1]))
            name_len = root_name(t.head + i, t.head_len - i, name, sizeof name);
    }
    if (name_len) {
        // "</name", blanks, ">"; HTML in any case.
        for (uint32_t i = 0; i + 2 + name_len < n && count < cap; ++i) {
            if (b[i] != '<' || b[i + 1] != '/') continue;
            const bool same = html ? same_nocase(b + i + 2, name, name_len) : memcmp(b + i + 2, name, name_len) == 0;
            if (!same) continue;
            const uint32_t q = after_blanks(b, n, i + 2 + uint32_t(name_len));
            if (q < n && b[q] == '>') ends[count++] = q + 1;
        }
        *absolute = html || markup;
        return count;
    }
    if (strcmp(t.kind, "eml") == 0) {
        char bound[80];
        const size_t bl = boundary_of(t.head, t.head_len, bound, sizeof bound);
        if (bl == 0) return 0;
        for (uint32_t i = 0; i + bl + 4 <= n && count < cap; ++i) {
            if (b[i] == '-' && b[i + 1] == '-' && memcmp(b + i + 2, bound, bl) == 0 && b[i + 2 + bl] == '-' &&
                b[i + 3 + bl] == '-')
                ends[count++] = i + 4 + uint32_t(bl);
        }
    }
    return count;
}

}  // namespace

double text_counts::chance(const unsigned char *p, int len) const {
    double own;
    if (len == 1) {
        own = ascii_[p[0] & 0x7F];
    } else {
        own = multi_[p[0] & 0x3F][p[1] & 0x3F];
        for (int i = 2; i < len; ++i) own /= 64.0;  // the rest of the sequence: any continuation
    }
    // A text brings in new characters the more often the more different
    // ones it already holds.
    const double blend = distinct_ > k_blend ? double(distinct_) : k_blend;
    return (own + blend * share_of(p, len)) / (double(total_) + blend);
}

// A bracket the text opened and has not closed yet is to be expected.
bool text_counts::closes_open_bracket(const unsigned char *p, int len) const {
    if (len != 1) return false;
    const unsigned char c = p[0];
    const unsigned char open = c == ']' ? '[' : c == '}' ? '{' : c == ')' ? '(' : 0;
    return open && ascii_[open] > ascii_[c];
}

double text_counts::log_chance(const unsigned char *p, int len, int prev) const {
    const double alone = chance(p, len);
    if (closes_open_bracket(p, len)) return std::log(alone > k_expected_close ? alone : k_expected_close);
    if (prev < 0) return std::log(alone);
    // After a kind of character: how often the text put this character
    // (any longer sequence, for one) there, drawn towards how often it
    // holds it at all.
    double any_multi = 1.0;  // a longer sequence's chance among longer sequences
    double base = alone;
    if (len > 1) {
        const double blend = distinct_ > k_blend ? double(distinct_) : k_blend;
        const double all = (double(multi_total_) + blend * 0.02) / (double(total_) + blend);
        any_multi = alone / all;
        base = all;
    }
    const double seen = after_[prev][len == 1 ? (p[0] & 0x7F) : 128];
    double v = (seen + k_follow * base) / (double(after_total_[prev]) + k_follow) * any_multi;
    if (v < alone * k_follow_floor) v = alone * k_follow_floor;
    return std::log(v);
}

uint32_t text_end_in_tail(const text_tail &t, text_counts &before, bool *closed) {
    *closed = false;
    const unsigned char *b = t.bytes;
    // Up to the last whole character (another file's header may have cut
    // the bytes inside one).
    uint32_t n = 0;
    while (n < t.n && n + uint32_t(utf8_length(b[n])) <= t.n) n += uint32_t(utf8_length(b[n]));
    if (n == 0) return 0;
    const uint32_t first = t.first > t.at ? uint32_t(t.first - t.at) : 0;  // no end before the text starts

    // The structure's close, where nothing but blanks may follow it: when
    // the bytes after the last close are blanks, they are the text's; else
    // the text ends at the close and a line end after it.  A close that
    // another value or a markup node follows (a JSON text of one value a
    // line, a comment after the root) is weighed like a line end instead.
    uint32_t ends[8];
    bool absolute = false;
    text_tail whole = t;
    whole.n = n;
    const uint32_t closes = structure_ends(whole, ends, 8, &absolute);
    if (closes && absolute) {
        const uint32_t q = ends[closes - 1];
        const uint32_t r = after_blanks(b, n, q);
        // Blanks after the close are the text's when it leaves lines
        // empty before it too; else a line end is.
        if (r == n) {
            *closed = true;
            return t.blank_lines > empty_lines_from(b, n, q) ? n : after_line_end(b, n, q);
        }
        const unsigned char next = b[r];
        const bool more = next == '<' || next == '{' || next == '[';
        if (!more && n - q <= k_window) {
            *closed = true;
            return after_line_end(b, n, q);
        }
    }

    // The characters of the tail, from a character's start; those before
    // the window are part of what the text is known to hold (the first
    // one's kind of predecessor was counted with the text before).
    uint32_t starts[k_window + 1];
    int prevs[k_window + 1];
    uint32_t count = 0;
    text_counts &c = before;
    uint32_t i = 0;
    int prev = -1;
    const uint32_t from = n > k_window ? n - k_window : 0;
    while (i < n) {
        const int len = utf8_length(b[i]);
        if (i >= from && i >= first && count < k_window) {
            starts[count] = i;
            prevs[count++] = prev;
        } else {
            c.add(b + i, len, prev);
        }
        prev = text_counts::class_of(b + i, len);
        i += uint32_t(len);
    }
    if (count == 0) return n;
    // The gain of each character of the window, then summed from the end:
    // gain[k] is what an end at starts[k] wins over the end of the bytes.
    double gain[k_window + 1];
    for (uint32_t k = 0; k < count; ++k) {
        const int len = utf8_length(b[starts[k]]);
        gain[k] = chance_gain(c, b + starts[k], len, prevs[k]);
        c.add(b + starts[k], len, prevs[k]);
    }
    gain[count] = 0;
    for (uint32_t k = count; k-- > 0;) gain[k] += gain[k + 1];

    auto is_close = [&](uint32_t p) {
        for (uint32_t e = 0; e < closes; ++e)
            if (p == ends[e] || p == after_line_end(b, n, ends[e])) return true;
        return false;
    };
    auto weight = [&](uint32_t p) {
        double w = 0;
        if (p > 0 && b[p - 1] == '\n') w += k_line_end;
        if (p > 0 && strchr(k_closing, b[p - 1])) w += k_closing_end;
        if (is_close(p)) w += k_closed;
        return w;
    };
    uint32_t best = n;
    double best_score = weight(n);
    for (uint32_t k = count; k-- > 0;) {
        const uint32_t p = starts[k];
        if (p <= first) break;
        const double s = weight(p) + gain[k];
        if (s > best_score) {
            best_score = s;
            best = p;
        }
    }
    *closed = is_close(best);
    return best;
}

bool short_text_evident(const unsigned char *p, uint32_t n) {
    if (n < 12) return false;
    if (p[n - 1] != '\n') return false;
    // A file starts as a note or a document does, not in the middle of a
    // word or a sentence as a piece of a longer text at a block does.
    if ((p[0] >= 'a' && p[0] <= 'z') || blank(p[0]) || strchr(".,;:!?)]}-_'", p[0])) return false;
    // Words: runs of two to 24 letters, not one letter over and over,
    // between blanks or punctuation.
    uint32_t words = 0, letters = 0, breaks = 0;
    double odds = 0;  // log odds of text against bytes that pass as text by chance
    for (uint32_t i = 0; i < n;) {
        const int len = utf8_length(p[i]);
        if (i + uint32_t(len) > n) return false;
        odds += std::log(share_of(p + i, len)) + double(len) * k_log_byte;
        i += uint32_t(len);
    }
    for (uint32_t i = 0; i < n;) {
        const int len = utf8_length(p[i]);
        if (p[i] == ' ' || p[i] == '\n') ++breaks;
        if (letter(p[i])) {
            uint32_t j = i;
            bool varied = false;
            while (j < n && letter(p[j])) {
                varied |= (p[j] | 0x20) != (p[i] | 0x20);
                ++j;
            }
            letters += j - i;
            if (j - i >= 2 && j - i <= 24 && varied) ++words;
            i = j;
            continue;
        }
        i += uint32_t(len);
    }
    return words >= 2 && breaks >= 2 && letters * 2 >= n && odds >= 1.0 * double(n);
}

bool short_structure_evident(const unsigned char *p, uint32_t n) {
    uint32_t i = 0;
    while (i < n && blank(p[i])) ++i;
    if (n - i < k_min_structure) return false;
    return p[i] == '<' || p[i] == '{' || p[i] == '[';
}

}  // namespace lmr
