// Where a text ends when no zeros follow it.  A text has no length of its
// own: followed by random bytes or another file's bytes, the walk takes
// those of them that pass as text, mostly a few.  The end is then the close
// of the text's structure where its kind has one (a JSON value, the root
// element of XML or HTML, the last boundary of a MIME message), else the
// place in its last bytes after which what follows is less like the text
// before it than like bytes that are text by chance: characters the text
// never used, a high byte in an ASCII text, punctuation runs.  A text
// mostly ends at a line end, so a line end weighs in for the cut there.
#pragma once

#include <cstdint>

namespace lmr {

// The length of the UTF-8 sequence a (valid) lead byte starts.
constexpr int utf8_length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

// How often each character occurs in a text: ASCII by its byte, a longer
// sequence by its first two bytes (a script's block of characters); and
// how often each follows a kind of character (a letter, a blank, a full
// stop...), so that "x.h" or "Pf" stand out in prose.
class text_counts {
public:
    static constexpr int k_classes = 11;
    // The kind of the character at p (len bytes).
    static int class_of(const unsigned char *p, int len) { return len > 1 ? 10 : kinds().of[p[0] & 0x7F]; }

    // `prev` is the kind of the character before, or -1 for none.
    void add(const unsigned char *p, int len, int prev) {
        uint32_t &c = len == 1 ? ascii_[p[0] & 0x7F] : multi_[p[0] & 0x3F][p[1] & 0x3F];
        if (c++ == 0) ++distinct_;
        ++total_;
        if (len > 1) ++multi_total_;
        if (prev >= 0) {
            ++after_[prev][len == 1 ? (p[0] & 0x7F) : 128];
            ++after_total_[prev];
        }
    }
    void remove(const unsigned char *p, int len, int prev) {
        uint32_t &c = len == 1 ? ascii_[p[0] & 0x7F] : multi_[p[0] & 0x3F][p[1] & 0x3F];
        if (!c || !total_) return;
        if (--c == 0) --distinct_;
        --total_;
        if (len > 1 && multi_total_) --multi_total_;
        uint32_t &a = after_[prev < 0 ? 0 : prev][len == 1 ? (p[0] & 0x7F) : 128];
        if (prev >= 0 && a && after_total_[prev]) {
            --a;
            --after_total_[prev];
        }
    }
    // The natural log of the chance that the text's next character is the
    // one at p (len bytes) after a character of kind `prev`: what the text
    // so far holds, and for a text of a few characters what texts mostly
    // hold.
    double log_chance(const unsigned char *p, int len, int prev) const;
    uint64_t total() const { return total_; }

private:
    // Lowercase, uppercase, digit, space, line feed, carriage return, tab
    // or form feed, full stop, comma, other ASCII; 10 is a longer sequence.
    struct kind_table {
        uint8_t of[128];
        constexpr kind_table() : of() {
            for (int c = 0; c < 128; ++c) {
                uint8_t k = 9;
                if (c >= 'a' && c <= 'z') k = 0;
                else if (c >= 'A' && c <= 'Z') k = 1;
                else if (c >= '0' && c <= '9') k = 2;
                else if (c == ' ') k = 3;
                else if (c == '\n') k = 4;
                else if (c == '\r') k = 5;
                else if (c == '\t' || c == '\f') k = 6;
                else if (c == '.') k = 7;
                else if (c == ',') k = 8;
                of[c] = k;
            }
        }
    };
    static const kind_table &kinds() {
        static constexpr kind_table table{};
        return table;
    }

    double chance(const unsigned char *p, int len) const;
    bool closes_open_bracket(const unsigned char *p, int len) const;

    uint32_t ascii_[128] = {};
    uint32_t multi_[64][64] = {};
    uint32_t after_[k_classes][129] = {};  // [kind before][ASCII byte, or 128 for a longer sequence]
    uint64_t after_total_[k_classes] = {};
    uint64_t total_ = 0;
    uint64_t multi_total_ = 0;
    uint32_t distinct_ = 0;
};

// The top-level values of a JSON text (one, or one a line), byte by byte.
class json_tracker {
public:
    void feed(unsigned char c, uint64_t pos) {
        if (broken_) return;
        if (in_string_) {
            if (escape_) escape_ = false;
            else if (c == '\\') escape_ = true;
            else if (c == '"') in_string_ = false;
            return;
        }
        if (c == '"') {
            in_string_ = true;
        } else if (c == '{' || c == '[') {
            if (++depth_ > k_max_depth) broken_ = true;
        } else if (c == '}' || c == ']') {
            if (depth_ == 0) broken_ = true;
            else if (--depth_ == 0) close_ = pos + 1;
        }
    }
    // The offset just after the last top-level value closed, or 0.
    uint64_t last_close() const { return broken_ ? 0 : close_; }

private:
    static constexpr int64_t k_max_depth = 1 << 20;
    int64_t depth_ = 0;
    bool in_string_ = false;
    bool escape_ = false;
    bool broken_ = false;
    uint64_t close_ = 0;
};

// A text's last bytes and what is known of it.
struct text_tail {
    const unsigned char *bytes;  // from a character's first byte up to where the walk stopped
    uint32_t n;
    uint64_t at;                 // offset of bytes[0] in the text
    uint64_t first;              // offset of the text's first character (after a byte-order mark)
    const char *kind;            // txt, csv, html, xml, json, eml
    const unsigned char *head;   // the text's first bytes, the byte-order mark left out
    uint32_t head_len;
    uint64_t json_close;         // json_tracker::last_close()
    uint64_t blank_lines;        // empty lines in all the bytes
};

// How many of the tail's bytes are the text's.  `before` counts the
// characters of the text before the tail (and is used up).  *closed tells
// whether the end is the close of the text's structure.
uint32_t text_end_in_tail(const text_tail &t, text_counts &before, bool *closed);

// Whether `n` bytes of text, shorter than a sector and followed by other
// bytes than zeros, show enough to be a file: they start as a file does
// (not inside a word or a sentence), end at a line end, hold words, and
// are far likelier text than bytes that pass as text by chance.
bool short_text_evident(const unsigned char *p, uint32_t n);

// Whether `n` bytes of text, shorter than a sector, that end at the close
// of their structure show enough of it: they start with it (an element,
// a JSON value) and are not a few bytes only.
bool short_structure_evident(const unsigned char *p, uint32_t n);

}  // namespace lmr
