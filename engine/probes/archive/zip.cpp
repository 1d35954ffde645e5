// ZIP containers: walks the local headers, the central directory and the
// end record, and tells the container kind (plain archive, office document,
// workbook, presentation, Android package, note file) from the member names.
#include "../probe_reader.h"

#include <cstring>

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

}  // namespace

extern "C" uint64_t probe_zip(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!state || !entry || !found) return 0;
    entry->suffix = k_zip;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    return walk(in.get(), entry, found);
}
