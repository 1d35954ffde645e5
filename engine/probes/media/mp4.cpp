// ISO base media files (MP4, QuickTime, 3GP): a walk over the top-level
// boxes; the file is the run of boxes from "ftyp" that includes "mdat".
//
// A deep scan names the file by every 3GPP brand (not only 3gp4), accepts
// the other top-level boxes the format defines (metadata, fragments, their
// indexes), ends the walk at a second "ftyp", where another file begins,
// and hands still pictures stored as ISO media (HEIF, AVIF, CR3) and MPEG-4
// audio (M4A, M4B) to their own walks.
#include "../probe_reader.h"
#include "../../file_types.h"

namespace {

bool accepted_box(const unsigned char *t) {
    static const char *const known[] = {"moov", "mvhd", "trak", "hdlr", "dinf", "dref",
                                        "stbl", "stsd", "stts", "stsz", "free", "minf",
                                        "wide", "PICT", "skip", "pict", "uuid"};
    for (const char *k : known)
        if (memcmp(t, k, 4) == 0) return true;
    return memcmp(t, "pno", 3) == 0;
}

// Top-level boxes a deep scan accepts besides those above: metadata,
// movie fragments and their indexes, progressive-download information.
bool deep_box(const unsigned char *t) {
    static const char *const more[] = {"meta", "udta", "moof", "mfra", "sidx", "ssix", "styp",
                                       "prft", "emsg", "pdin", "bloc"};
    for (const char *k : more)
        if (memcmp(t, k, 4) == 0) return true;
    return false;
}

// Still pictures stored the same way (HEIF, AVIF, Canon's raw photos):
// with their metadata box walked they would pass for a video.
bool brand_picture(const unsigned char *b) {
    static const char *const pictures[] = {"mif1", "msf1", "miaf", "heic", "heix", "heim", "heis", "hevc",
                                           "hevx", "hevm", "hevs", "avif", "avis", "avci", "crx "};
    for (const char *k : pictures)
        if (memcmp(b, k, 4) == 0) return true;
    return false;
}

// The 3GPP brands: 3gp4 to 3gp9, the 3GPP2 brands 3g2*, and the profile
// brands of release 6 and later (3ge*, 3gg*, 3gr*, 3gs*, 3gh*, 3gm*, 3gt*).
// Every other major brand but QuickTime's is an MPEG-4 file.
bool brand_3gpp(const unsigned char *b) {
    if (b[0] != '3' || b[1] != 'g') return false;
    if (b[2] == 'p') return b[3] >= '4' && b[3] <= '9';
    if (b[2] == '2') return true;
    return b[2] != 0 && strchr("eghmrst", b[2]) && b[3] >= '0' && b[3] <= '9';
}

// The box walk of both modes; the deep walk stops at a second "ftyp" (the
// next file's), passes over still pictures, knows more boxes and the later
// 3GPP brands.
uint64_t walk_boxes(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                    uint64_t offset, uint64_t limit, int32_t *found, const bool deep) {
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
            if (deep && ftyp_seen) break;  // the next file's
            unsigned char f[12];
            if (!in.peek_exact(f, sizeof f)) {
                ftyp_seen = true;
                break;
            }
            if (deep && brand_picture(f + 8)) return 0;
            if (memcmp(f + 8, "qt", 2) == 0)
                entry->suffix = "mov";
            else if (memcmp(f + 8, "3gp4", 4) == 0 || (deep && brand_3gpp(f + 8)))
                entry->suffix = "3gp";
            ftyp_seen = true;
        } else if (memcmp(type, "mdat", 4) == 0) {
            mdat_seen = true;
        } else if (!accepted_box(type) && !(deep && deep_box(type))) {
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

}  // namespace

extern "C" uint64_t probe_mp4(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    return walk_boxes(state, entry, data, available, offset, limit, found, false);
}

uint64_t lmr::deep_mp4(recovery_state *state, search_spec_entry *entry, const unsigned char *data, int32_t available,
                       uint64_t offset, uint64_t limit, int32_t *found) {
    // Still pictures (HEIF, AVIF, CR3) and MPEG-4 audio have walks of their
    // own, chosen by the major brand.
    if (available >= 12 && memcmp(data + 4, "ftyp", 4) == 0) {
        if (brand_picture(data + 8)) return deep_heif(state, entry, data, available, offset, limit, found);
        if (memcmp(data + 8, "M4A ", 4) == 0 || memcmp(data + 8, "M4B ", 4) == 0)
            return deep_m4a(state, entry, data, available, offset, limit, found);
    }
    return walk_boxes(state, entry, data, available, offset, limit, found, true);
}
