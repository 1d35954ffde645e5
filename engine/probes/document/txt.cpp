// Text files.  probe_txt: UTF-8 whose first non-blank byte is a UTF-8 lead
// byte (the byte-order mark or a non-ASCII character), longer than 5000
// bytes.  probe_txt2: plain ASCII text, exported but not dispatched.
#include "../probe_reader.h"

namespace {

constexpr uint32_t k_step = 512;
constexpr uint32_t k_lead_window = 100;
constexpr uint64_t k_min_text = 5000;

bool blank(unsigned char c) { return c == '\r' || c == '\n' || c == '\t' || c == ' '; }

// Leading blanks among the candidate's first k_lead_window bytes, and the
// first byte after them (the very first byte when all of them are blank).
// False when the candidate is shorter than that window.
bool lead_in(lmr::probe_reader &in, uint32_t *blanks, unsigned char *first) {
    unsigned char b[k_lead_window];
    if (!in.peek_exact(b, k_lead_window)) return false;
    uint32_t i = 0;
    while (i < k_lead_window && blank(b[i])) ++i;
    *first = i < k_lead_window ? b[i] : b[0];
    *blanks = i;
    return true;
}

// Length of the UTF-8 sequence a lead byte starts (old 5- and 6-byte forms
// included); 0 for a byte that cannot start one.
uint32_t sequence_length(unsigned char c) {
    if (c < 0x80) return 1;
    if (c < 0xC0) return 0;
    if (c < 0xE0) return 2;
    if (c < 0xF0) return 3;
    if (c < 0xF8) return 4;
    if (c < 0xFC) return 5;
    if (c < 0xFE) return 6;
    return 0;
}

// Counts the valid UTF-8 bytes from the candidate's start up to the first
// NUL, control byte (other than tab, line feed, carriage return), DEL or
// malformed sequence.  A sequence cut by the end of the data is not counted.
uint64_t valid_utf8(lmr::probe_reader &in) {
    unsigned char buf[k_step];
    uint64_t valid = 0;
    uint32_t seq = 0, need = 0;  // the sequence in progress and its missing bytes
    for (;;) {
        uint32_t got = in.read(buf, k_step);
        if (got == 0) return valid;
        for (uint32_t i = 0; i < got; ++i) {
            const unsigned char c = buf[i];
            if (need > 0) {
                if (c < 0x80 || c > 0xBF) return valid;
                if (--need == 0) valid += seq;
                continue;
            }
            if (c < 0x80) {
                if (!(c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c <= 0x7E))) return valid;
                ++valid;
                continue;
            }
            seq = sequence_length(c);
            if (seq == 0) return valid;
            need = seq - 1;
        }
    }
}

}  // namespace

extern "C" uint64_t probe_txt(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!found) return 0;
    // The text row is also asked for under the kinds of text a deep scan
    // tells apart (xml, json...): this probe names none of them.
    if (entry && !lmr::name_requested(entry, "txt")) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    uint32_t blanks;
    unsigned char first;
    if (!lead_in(in, &blanks, &first)) return 0;
    if (!((first >= 0x40 && first <= 0x7E) || (first >= 0xC0 && first <= 0xFD))) return 0;

    const uint64_t valid = valid_utf8(in);
    if (valid == 0) return 0;
    if (valid <= k_min_text) {
        lmr::diag("file too short!");
        return 0;
    }
    if (first >= 0x80) *found = 1;
    return valid;
}

extern "C" uint64_t probe_txt2(recovery_state *state, search_spec_entry *, const unsigned char *data,
                               int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    uint32_t blanks;
    unsigned char first;
    if (!lead_in(in, &blanks, &first)) return 0;
    lmr::diag("N=%d", int(blanks));

    unsigned char buf[k_step] = {};
    uint64_t valid = 0;
    for (bool go = true; go;) {
        uint32_t got = in.read(buf, k_step);
        if (got == 0) break;
        for (uint32_t i = 0; i < got; ++i) {
            const unsigned char c = buf[i];
            if (!(c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c <= 0x7F))) {
                go = false;
                break;
            }
            ++valid;
        }
    }

    if (valid <= k_lead_window || first == '<') return 0;
    lmr::diag("firstchar=%x", unsigned(first));
    lmr::diag("%x\t%x\t%x\t%x", unsigned(int(static_cast<signed char>(buf[0]))),
              unsigned(int(static_cast<signed char>(buf[1]))), unsigned(int(static_cast<signed char>(buf[2]))),
              unsigned(int(static_cast<signed char>(buf[3]))));
    *found = 1;
    return valid;
}
