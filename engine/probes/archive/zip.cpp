// ZIP containers: walks the local headers, the central directory and the
// end record, and tells the container kind (plain archive, office document,
// workbook, presentation, Android package, note file) from the member names.
//
// A deep scan finds the end from the archive's own directory instead: the
// end record whose central directory agrees with the candidate, which also
// ends archives whose local headers leave their sizes to data descriptors.
#include "../probe_reader.h"
#include "../../file_types.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {

const char k_zip[] = "zip";
const char k_docx[] = "docx";
const char k_xlsx[] = "xlsx";
const char k_pptx[] = "pptx";
const char k_apk[] = "apk";
const char k_snb[] = "snb";

constexpr uint32_t k_local_size = 30;
constexpr uint32_t k_central_size = 46;
constexpr uint32_t k_end_size = 22;
constexpr uint32_t k_descriptor_size = 16;
constexpr uint32_t k_name_max = 260;

struct member_name {
    unsigned char bytes[k_name_max + 1];
    uint32_t len;
};

bool has_sig(const unsigned char *p, unsigned char a, unsigned char b) {
    return p[0] == 'P' && p[1] == 'K' && p[2] == a && p[3] == b;
}

// The name begins with the whole literal.
bool begins_with(const member_name &n, const char *lit) {
    size_t l = strlen(lit);
    return n.len >= l && memcmp(n.bytes, lit, l) == 0;
}

bool same_name(const member_name &a, const member_name &b) {
    return a.len == b.len && memcmp(a.bytes, b.bytes, a.len) == 0;
}

// Reads `len` name bytes into `out` (len is at most k_name_max).
bool read_name(bs *r, uint32_t len, member_name &out) {
    if (bs_read(r, out.bytes, len) != len) return false;
    out.len = len;
    out.bytes[len] = 0;
    return true;
}

// Decides the container kind from one local member name.  Once the kind
// has left "zip" the caller stops asking.
const char *classify(const member_name &n, bool &content_types_seen) {
    if (begins_with(n, "[Content_Types].xml")) {
        content_types_seen = true;
        return k_zip;
    }
    if (content_types_seen) {
        if (begins_with(n, "ppt/slides")) return k_pptx;
        if (begins_with(n, "word/document.xml")) return k_docx;
        if (begins_with(n, "xl/workbook.xml")) return k_xlsx;
    }
    if (begins_with(n, "AndroidManifest.xml")) return k_apk;
    if (begins_with(n, "snote/snote.xml")) return k_snb;
    return k_zip;
}

uint64_t walk(bs *r, search_spec_entry *entry, int32_t *found) {
    unsigned char hdr[k_central_size];
    member_name name{};
    member_name first_local{};
    member_name first_central{};
    bool content_types_seen = false;
    bool local_seen = false;
    bool central_seen = false;

    // Local headers, each followed by its data and perhaps a descriptor.
    for (;;) {
        uint32_t got = bs_peek(r, hdr, k_local_size);
        if (got < 4) return 0;
        if (!has_sig(hdr, 3, 4)) break;
        if (got < k_local_size) return 0;
        bs_skip(r, k_local_size);
        int32_t csize = int32_t(htoi(hdr + 18, 1));
        uint32_t name_len = htos(hdr + 26, 1);
        uint32_t extra_len = htos(hdr + 28, 1);
        if (csize < 0 || name_len > k_name_max) return 0;
        if (!read_name(r, name_len, name)) return 0;
        if (!local_seen) first_local = name;
        if (entry->suffix == k_zip) entry->suffix = classify(name, content_types_seen);
        bs_skip(r, uint64_t(extra_len) + uint64_t(csize));
        if (bs_peek(r, hdr, 4) < 4) return 0;
        if (has_sig(hdr, 7, 8)) bs_skip(r, k_descriptor_size);
        local_seen = true;
    }
    if (!local_seen) return 0;

    // Central directory.
    for (;;) {
        // Near the end of the chunk only the end record may remain, which
        // is shorter than a directory header: judge the signature first.
        uint32_t got = bs_peek(r, hdr, k_central_size);
        if (got < 4) return 0;
        if (!has_sig(hdr, 1, 2)) break;
        if (got < k_central_size) return 0;
        bs_skip(r, k_central_size);
        uint32_t name_len = htos(hdr + 28, 1);
        uint32_t extra_len = htos(hdr + 30, 1);
        uint32_t comment_len = htos(hdr + 32, 1);
        if (name_len > k_name_max) return 0;
        if (!central_seen) {
            if (!read_name(r, name_len, first_central)) return 0;
        } else {
            bs_skip(r, name_len);
        }
        bs_skip(r, uint64_t(extra_len) + comment_len);
        central_seen = true;
    }
    if (!central_seen) return 0;

    // End record and the archive comment.
    if (bs_read(r, hdr, k_end_size) < k_end_size) return 0;
    if (!has_sig(hdr, 5, 6)) return 0;
    bs_skip(r, htos(hdr + 20, 1));
    if (!lmr::name_requested(entry, entry->suffix)) return 0;
    if (entry->suffix == k_apk && !same_name(first_local, first_central)) return 0;
    *found = 1;
    return bs_tell(r);
}

// ---- deep scan --------------------------------------------------------------

constexpr uint32_t k_locator_size = 20;        // ZIP64 end-record locator
constexpr uint32_t k_end64_size = 56;          // ZIP64 end record, fixed part
constexpr uint64_t k_default_search = 10485760;  // without a size limit on the entry
constexpr uint32_t k_search_window = 16384;       // bytes searched at a time beyond the memory head
// End records that pass the quick tests but whose directory must be walked
// to be judged.  A real archive needs one, a stored archive inside it none
// (its offsets are relative to its own start); the bound keeps a crafted
// run of end records over one long directory from costing a walk each.
constexpr int k_directory_walks = 16;

uint64_t le64(const unsigned char *p) { return htoll(p, 1); }

// What the member names say about the container.
struct part_names {
    bool content_types = false, document = false, workbook = false, slides = false;
    bool manifest = false, note = false;

    void add(const member_name &n) {
        if (begins_with(n, "[Content_Types].xml")) content_types = true;
        if (begins_with(n, "word/document.xml")) document = true;
        if (begins_with(n, "xl/workbook.xml")) workbook = true;
        if (begins_with(n, "ppt/slides") || begins_with(n, "ppt/presentation.xml")) slides = true;
        if (begins_with(n, "AndroidManifest.xml")) manifest = true;
        if (begins_with(n, "snote/snote.xml")) note = true;
    }
    // The kind, whatever the order of the members: an Office Open XML
    // package needs its content types and its main part.
    const char *kind() const {
        if (content_types && slides) return k_pptx;
        if (content_types && document) return k_docx;
        if (content_types && workbook) return k_xlsx;
        if (manifest) return k_apk;
        if (note) return k_snb;
        return k_zip;
    }
};

// A name of any length: its first k_name_max bytes and its full length.
bool read_long_name(bs *r, uint32_t len, member_name &out, uint32_t *full) {
    uint32_t keep = len < k_name_max ? len : k_name_max;
    if (!read_name(r, keep, out)) return false;
    bs_skip(r, len - keep);
    *full = len;
    return true;
}

// Puts `r` at stream position `at`, from wherever it stands.
void move_to(lmr::probe_reader &r, uint64_t at) {
    if (r.tell() == at) return;
    if (r.tell() > at) r.renew();
    r.skip(at - r.tell());
}

// Reads the stream's bytes [at, at + n) with `r`.
bool read_at(lmr::probe_reader &r, uint64_t at, unsigned char *dst, uint32_t n) {
    move_to(r, at);
    return r.read_exact(dst, n);
}

// The local-header offset of a directory entry whose 32-bit field holds
// 0xFFFFFFFF: the ZIP64 extra field carries it, after the sizes that are
// also escaped.  Reads the `extra_len` bytes of the extra field.
bool zip64_offset(bs *r, uint32_t extra_len, const unsigned char *hdr, uint64_t *offset) {
    uint32_t skip64 = (htoi(hdr + 24, 1) == 0xFFFFFFFFu ? 8 : 0) + (htoi(hdr + 20, 1) == 0xFFFFFFFFu ? 8 : 0);
    bool got = false;
    while (extra_len >= 4) {
        unsigned char f[4 + 24];
        if (bs_read(r, f, 4) != 4) return false;
        uint32_t id = htos(f, 1), size = htos(f + 2, 1);
        extra_len -= 4;
        if (size > extra_len) return false;
        extra_len -= size;
        if (id == 1 && !got && size >= skip64 + 8) {
            uint32_t want = skip64 + 8;
            if (bs_read(r, f + 4, want) != want) return false;
            *offset = le64(f + 4 + skip64);
            got = true;
            bs_skip(r, size - want);
        } else {
            bs_skip(r, size);
        }
    }
    bs_skip(r, extra_len);
    return got;
}

// Whether a ZIP64 locator stands right before the end record at `at`; its
// bytes in `loc`.
bool zip64_locator(lmr::probe_reader &dir, uint64_t at, unsigned char *loc) {
    return at >= k_locator_size + k_end64_size && read_at(dir, at - k_locator_size, loc, k_locator_size) &&
           has_sig(loc, 6, 7);
}

// Whether the end record at stream position `at` closes an archive that
// starts at the candidate: its central directory ends where the record (or
// the ZIP64 end record, when a locator precedes the end record) begins,
// every entry's local header lies before the directory, and the entry at
// offset 0 has the name of the candidate's first local header.  Gathers the
// member names into `names`.
bool directory_agrees(lmr::probe_reader &dir, uint64_t at, const unsigned char *end, const member_name &first,
                      uint32_t first_len, part_names &names) {
    // One disk only (ZIP64 archives may leave the numbers to their own record).
    for (int f : {4, 6})
        if (htos(end + f, 1) != 0 && htos(end + f, 1) != 0xFFFF) return false;
    uint64_t count = htos(end + 10, 1);
    if (htos(end + 8, 1) != count) return false;
    uint64_t size = htoi(end + 12, 1), start = htoi(end + 16, 1);
    uint64_t dir_end = at;
    const bool escaped = count == 0xFFFF || size == 0xFFFFFFFFu || start == 0xFFFFFFFFu;
    if (escaped || start + size != at) {
        // ZIP64: a locator right before the end record points at the ZIP64
        // end record, which follows the directory and holds its true
        // numbers.  Some writers put them in the end record as well, others
        // escape them there.
        unsigned char loc[k_locator_size], rec[k_end64_size];
        if (!zip64_locator(dir, at, loc)) return false;
        uint64_t rec_at = le64(loc + 8);
        if (rec_at > at - k_locator_size - k_end64_size) return false;
        if (!read_at(dir, rec_at, rec, k_end64_size) || !has_sig(rec, 6, 6)) return false;
        if (le64(rec + 4) + 12 != at - k_locator_size - rec_at) return false;
        count = le64(rec + 32);
        if (le64(rec + 24) != count) return false;
        size = le64(rec + 40);
        start = le64(rec + 48);
        dir_end = rec_at;
    }
    if (count == 0 || start > dir_end || size != dir_end - start || size / k_central_size < count) return false;

    unsigned char hdr[k_central_size];
    member_name name{};
    bool first_seen = false;
    move_to(dir, start);
    for (uint64_t i = 0; i < count; ++i) {
        if (!dir.read_exact(hdr, k_central_size) || !has_sig(hdr, 1, 2)) return false;
        uint32_t name_len = htos(hdr + 28, 1), extra_len = htos(hdr + 30, 1), comment_len = htos(hdr + 32, 1);
        uint32_t full = 0;
        if (!read_long_name(dir.get(), name_len, name, &full)) return false;
        uint64_t local = htoi(hdr + 42, 1);
        if (local == 0xFFFFFFFFu) {
            if (!zip64_offset(dir.get(), extra_len, hdr, &local)) return false;
        } else {
            dir.skip(extra_len);
        }
        dir.skip(comment_len);
        if (local >= start || dir.tell() > dir_end) return false;
        if (local == 0) {
            if (full != first_len || !same_name(name, first)) return false;
            first_seen = true;
        }
        names.add(name);
    }
    return first_seen && dir.tell() == dir_end;
}

// The first 4-byte signature in [p, end), or null.  Its first byte is
// looked for with memchr, which passes compressed data, where it is rare,
// several times faster than a general search.
const unsigned char *find_sig(const unsigned char *p, const unsigned char *end, const unsigned char *sig) {
    while (end - p >= 4) {
        p = static_cast<const unsigned char *>(memchr(p, sig[0], size_t(end - p - 3)));
        if (!p) return nullptr;
        if (p[1] == sig[1] && p[2] == sig[2] && p[3] == sig[3]) return p;
        ++p;
    }
    return nullptr;
}

// Looks for a 4-byte signature from a stream position on, up to an end, a
// window at a time: every match in a window is handed out before the next
// window is read, and windows overlap by 3 bytes, so a match across a seam
// is seen.  Reads with `r`, which it moves.
class sig_scanner {
public:
    sig_scanner(lmr::probe_reader &r, const unsigned char *sig, uint64_t from, uint64_t end)
        : r_(r), sig_(sig), pos_(from), end_(end) {}

    // The next match: its stream position, and the bytes from it on that
    // the window holds (at least the signature).
    bool next(uint64_t *at, const unsigned char **bytes, uint64_t *avail) {
        for (;;) {
            if (view_) {
                const unsigned char *p = find_sig(cur_, view_ + count_, sig_);
                if (p) {
                    cur_ = p + 1;
                    *at = pos_ + uint64_t(p - view_);
                    *bytes = p;
                    *avail = uint64_t(view_ + count_ - p);
                    return true;
                }
                if (last_) return false;
                pos_ += count_ - 3;
                view_ = nullptr;
            }
            if (pos_ >= end_ || end_ - pos_ < 4) return false;
            move_to(r_, pos_);
            view_ = r_.in_memory(&count_);
            last_ = false;
            if (!view_ || count_ < k_end_size) {
                const uint32_t want = uint32_t(std::min<uint64_t>(sizeof window_, end_ - pos_));
                count_ = r_.peek(window_, want);
                view_ = window_;
                last_ = count_ < want;
            }
            if (count_ > end_ - pos_) count_ = end_ - pos_;
            if (count_ < 4) return false;
            cur_ = view_;
        }
    }

private:
    lmr::probe_reader &r_;
    const unsigned char *sig_;
    uint64_t pos_, end_;
    const unsigned char *view_ = nullptr, *cur_ = nullptr;
    uint64_t count_ = 0;
    bool last_ = false;
    unsigned char window_[k_search_window];
};

// `n` bytes at stream position `at`: from the scanner's window when it
// holds them (`bytes`, `avail`), else read with `dir`.
bool bytes_at(lmr::probe_reader &dir, uint64_t at, const unsigned char *bytes, uint64_t avail, unsigned char *dst,
              uint32_t n) {
    if (avail >= n) {
        memcpy(dst, bytes, n);
        return true;
    }
    return read_at(dir, at, dst, n);
}

// A local header's member: the 30 bytes in `hdr` were read, the reader
// stands on the name.  Reads the name into `name` (its full length in
// *name_len) and the extra field, which may carry 64-bit sizes; the reader
// ends on the member's data.  *size is the compressed size, or
// UINT64_MAX when neither field gives it.
bool local_member(lmr::probe_reader &in, const unsigned char *hdr, member_name &name, uint32_t *name_len,
                  uint64_t *size, bool *zip64) {
    if (!read_long_name(in.get(), htos(hdr + 26, 1), name, name_len)) return false;
    uint32_t extra = htos(hdr + 28, 1);
    const uint32_t size32 = htoi(hdr + 18, 1);
    *size = size32;
    *zip64 = false;
    while (extra >= 4) {
        unsigned char f[4 + 16];
        if (!in.read_exact(f, 4)) return false;
        const uint32_t id = htos(f, 1), len = htos(f + 2, 1);
        extra -= 4;
        if (len > extra) return false;
        extra -= len;
        if (id == 1 && len >= 16) {
            // Both sizes, 64 bits each, when either is escaped.
            if (!in.read_exact(f + 4, 16)) return false;
            *zip64 = true;
            if (size32 == 0xFFFFFFFFu) *size = le64(f + 12);
            in.skip(len - 16);
        } else {
            in.skip(len);
        }
    }
    in.skip(extra);
    if (size32 == 0xFFFFFFFFu && !*zip64) *size = UINT64_MAX;
    return true;
}

// The end of the data descriptor that closes a member whose size only the
// descriptor gives: the first "PK 07 08" after the data's start whose
// compressed size is its distance from there, within `budget` bytes.  Of
// the 16-byte and the 24-byte (64-bit) form, the one after which another
// record begins is taken, the member's own form first.  0: none.
uint64_t descriptor_end(lmr::probe_reader &in, lmr::probe_reader &dir, uint64_t data, uint64_t budget,
                        bool zip64) {
    static const unsigned char k_desc_sig[] = {'P', 'K', 7, 8};
    const uint64_t end = data + std::min(budget, in.limit() - data);
    sig_scanner scan(in, k_desc_sig, data, end);
    uint64_t at, avail;
    const unsigned char *bytes;
    while (scan.next(&at, &bytes, &avail)) {
        unsigned char d[28];
        memset(d, 0, sizeof d);
        if (!bytes_at(dir, at, bytes, avail, d, 16)) return 0;
        bytes_at(dir, at, bytes, avail, d, sizeof d);  // as far as the input goes
        const uint64_t size = at - data;
        const bool short_form = htoi(d + 8, 1) == size, long_form = le64(d + 8) == size;
        if (!short_form && !long_form) continue;
        const bool pk16 = d[16] == 'P' && d[17] == 'K', pk24 = d[24] == 'P' && d[25] == 'K';
        const uint32_t own = zip64 ? 24 : 16, other = zip64 ? 16 : 24;
        auto fits = [&](uint32_t form) { return form == 16 ? short_form : long_form; };
        auto followed = [&](uint32_t form) { return form == 16 ? pk16 : pk24; };
        if (fits(own) && followed(own)) return at + own;
        if (fits(other) && followed(other)) return at + other;
        if (fits(own)) return at + own;
        return at + other;
    }
    return 0;
}

// Deep walk: the local headers are passed by their sizes, each landing
// checked against the next record's signature, and a member that leaves
// its size to a data descriptor by that descriptor, found within the
// entry's size limit.  Where neither works (a descriptor without its
// signature, a size that lands nowhere), and from the directory on, the
// end record is searched for, within the size limit, and the first one
// whose directory agrees ends the archive.
uint64_t deep_walk(lmr::probe_reader &in, lmr::probe_reader &dir, search_spec_entry *entry, int32_t *found) {
    const uint64_t budget = entry->max_len ? entry->max_len : k_default_search;
    unsigned char hdr[k_local_size];
    member_name first{}, name{};
    uint32_t first_len = 0, name_len = 0;
    uint64_t size = 0;
    bool zip64 = false;
    if (!in.peek_exact(hdr, k_local_size) || !has_sig(hdr, 3, 4)) return 0;
    in.skip(k_local_size);
    if (!local_member(in, hdr, first, &first_len, &size, &zip64)) return 0;

    // Where the search for the end record starts.
    uint64_t search_from = in.tell();
    for (;;) {
        const uint64_t data = in.tell();
        search_from = data;
        const bool streamed = (htos(hdr + 6, 1) & 8) && size == 0;
        if (streamed) {
            const uint64_t after = descriptor_end(in, dir, data, budget, zip64);
            if (!after) break;
            move_to(in, after);
        } else {
            if (size == UINT64_MAX || size > in.limit() - data) break;
            in.skip(size);
            unsigned char d[28];
            const uint32_t got = in.peek(d, sizeof d);
            if (got >= 4 && has_sig(d, 7, 8)) {
                // A data descriptor with its signature after sized data: 16
                // bytes, or 24 with 64-bit sizes.
                if (got >= 20 && d[16] == 'P' && d[17] == 'K') in.skip(16);
                else if (got >= 28 && d[24] == 'P' && d[25] == 'K') in.skip(24);
                else break;
            } else if (got >= 4 && !(d[0] == 'P' && d[1] == 'K') && (htos(hdr + 6, 1) & 8)) {
                in.skip(zip64 ? 20 : 12);  // a descriptor without its signature
            }
        }
        unsigned char sig[4];
        if (!in.peek_exact(sig, 4)) break;
        if (!has_sig(sig, 3, 4)) {
            // The directory, or (after a descriptor found by its size) what
            // stands before it, such as a signing block: search from here.
            if (streamed || has_sig(sig, 1, 2) || has_sig(sig, 5, 6) || has_sig(sig, 6, 6)) search_from = in.tell();
            break;
        }
        if (!in.peek_exact(hdr, k_local_size)) break;
        in.skip(k_local_size);
        if (!local_member(in, hdr, name, &name_len, &size, &zip64)) break;
    }

    // The search for the end record.
    static const unsigned char k_end_sig[] = {'P', 'K', 5, 6};
    if (search_from >= in.limit()) return 0;
    sig_scanner scan(in, k_end_sig, search_from, search_from + std::min(budget, in.limit() - search_from));
    int walks = 0;
    uint64_t at, avail;
    const unsigned char *bytes;
    while (scan.next(&at, &bytes, &avail)) {
        unsigned char end[k_end_size];
        if (!bytes_at(dir, at, bytes, avail, end, k_end_size)) continue;
        // The quick tests first: the directory must end right here, or at a
        // ZIP64 end record before a locator right here.
        const uint64_t dir_size = htoi(end + 12, 1), start = htoi(end + 16, 1);
        const bool escaped = dir_size == 0xFFFFFFFFu || start == 0xFFFFFFFFu || htos(end + 10, 1) == 0xFFFF;
        unsigned char loc[k_locator_size];
        if (!escaped && start + dir_size != at &&
            !(start + dir_size + k_end64_size + k_locator_size <= at && zip64_locator(dir, at, loc)))
            continue;
        if (walks++ == k_directory_walks) return 0;
        part_names names;
        const uint64_t stop = at + k_end_size + htos(end + 20, 1);
        if (stop > in.limit() || !directory_agrees(dir, at, end, first, first_len, names)) continue;
        // The comment must be there in full.
        unsigned char tail;
        if (stop > at + k_end_size && !read_at(dir, stop - 1, &tail, 1)) return 0;
        entry->suffix = names.kind();
        if (!lmr::name_requested(entry, entry->suffix)) return 0;
        *found = 1;
        return stop;
    }
    return 0;
}

}  // namespace

extern "C" uint64_t probe_zip(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!state || !entry || !found) return 0;
    entry->suffix = k_zip;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    return walk(in.get(), entry, found);
}

uint64_t lmr::deep_zip(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    if (!state || !entry || !found) return 0;
    entry->suffix = k_zip;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    lmr::probe_reader dir(state, data, available, offset, limit);
    if (!dir) return 0;
    return deep_walk(in, dir, entry, found);
}
