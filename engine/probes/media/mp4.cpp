// ISO base media files (MP4, QuickTime, 3GP): a walk over the top-level
// boxes; the file is the run of boxes from "ftyp" that includes "mdat".
#include "../probe_reader.h"

namespace {

bool accepted_box(const unsigned char *t) {
    static const char *const known[] = {"moov", "mvhd", "trak", "hdlr", "dinf", "dref",
                                        "stbl", "stsd", "stts", "stsz", "free", "minf",
                                        "wide", "PICT", "skip", "pict", "uuid"};
    for (const char *k : known)
        if (memcmp(t, k, 4) == 0) return true;
    return memcmp(t, "pno", 3) == 0;
}

}  // namespace

extern "C" uint64_t probe_mp4(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    entry->suffix = "mp4";
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;

    bool ftyp_seen = false, mdat_seen = false;
    uint64_t total = 0;
    while (total < limit) {
        unsigned char h[16];
        if (!in.peek_exact(h, 8)) break;
        const int32_t size32 = int32_t(htoi(h, 0));
        if (size32 <= 0) break;  // 0: box runs to the end of the file; not counted
        uint64_t size = uint64_t(size32);
        if (size32 == 1) {
            // 64-bit size form: the real size follows the type.
            if (!in.peek_exact(h, 16)) break;
            size = htoll(h + 8, 0);
            if (size < 16) break;
        } else if (size < 8) {
            break;  // smaller than its own header
        }

        const unsigned char *type = h + 4;
        if (memcmp(type, "ftyp", 4) == 0) {
            unsigned char f[12];
            if (!in.peek_exact(f, sizeof f)) {
                ftyp_seen = true;
                break;
            }
            if (memcmp(f + 8, "qt", 2) == 0)
                entry->suffix = "mov";
            else if (memcmp(f + 8, "3gp4", 4) == 0)
                entry->suffix = "3gp";
            ftyp_seen = true;
        } else if (memcmp(type, "mdat", 4) == 0) {
            mdat_seen = true;
        } else if (!accepted_box(type)) {
            break;
        }

        // A box that claims more than the chunk holds is cut at the chunk's
        // end, and nothing is left to walk.
        if (size >= limit - total) {
            total = limit;
            break;
        }
        total += size;
        in.skip(size);
    }
    if (ftyp_seen && mdat_seen && lmr::name_requested(entry, entry->suffix)) {
        lmr::diag("found a %s file, offset: %llu, file_size: %llu", entry->suffix, (unsigned long long)offset,
                  (unsigned long long)total);
        *found = 1;
    }
    return total;
}
