// Still pictures in ISO boxes: HEIF/HEIC and AVIF (and their image
// sequences), and Canon's CR3 raw photos.  The brands of "ftyp" name the
// file; the file is the run of top-level boxes from "ftyp", and ends after
// the last of them, or further where the item locations of "meta" point
// past it (a "mdat" that runs to the end of the file, or item data placed
// after the boxes).
#include "iso_boxes.h"
#include "../../file_types.h"

#include <initializer_list>

namespace {

constexpr int k_max_brands = 16;
constexpr uint64_t k_max_boxes = 1u << 16;
// The item-location box is read whole into memory up to this size; a
// larger one is not followed (its extents are not needed to end the file
// when the boxes do).
constexpr uint64_t k_max_iloc = 1u << 20;
constexpr uint32_t k_max_items = 1u << 16;

const char *const k_heif_brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs", "avci"};
const char *const k_avif_brands[] = {"avif", "avis"};
const char *const k_generic_brands[] = {"mif1", "msf1", "miaf"};

template <size_t N>
bool one_of(const unsigned char *brand, const char *const (&list)[N]) {
    for (const char *k : list)
        if (memcmp(brand, k, 4) == 0) return true;
    return false;
}

// The suffix the brands name, or null when they are not a still picture.
const char *picture_suffix(const unsigned char *brands, int n) {
    if (n == 0) return nullptr;
    if (memcmp(brands, "crx ", 4) == 0) return "cr3";
    if (one_of(brands, k_avif_brands)) return "avif";
    if (one_of(brands, k_heif_brands)) return "heic";
    if (!one_of(brands, k_generic_brands)) return nullptr;
    // A generic major brand: the compatible brands tell the codec.
    for (int i = 1; i < n; ++i)
        if (one_of(brands + 4 * i, k_avif_brands)) return "avif";
    return "heic";
}

bool top_level_box(const lmr::iso_box &b) {
    static const char *const known[] = {"meta", "mdat", "free", "skip", "moov", "uuid", "wide", "pdin",
                                        "moof", "mfra", "sidx", "styp", "bloc", "udta", "prft", "emsg"};
    for (const char *k : known)
        if (memcmp(b.type, k, 4) == 0) return true;
    return false;
}

// Big-endian field of `n` bytes (0, 4 or 8) at `p`; false past `end`.
bool field(const unsigned char *&p, const unsigned char *end, unsigned n, uint64_t *v) {
    if (size_t(end - p) < n) return false;
    uint64_t x = 0;
    for (unsigned i = 0; i < n; ++i) x = x << 8 | p[i];
    p += n;
    *v = x;
    return true;
}

// The end of the furthest extent placed by file offset in an item-location
// box's payload (after its box header); 0 when there is none or the box is
// malformed.
uint64_t iloc_end(const unsigned char *p, const unsigned char *end) {
    uint64_t v;
    if (!field(p, end, 4, &v)) return 0;
    const unsigned version = unsigned(v >> 24);
    if (version > 2 || end - p < 2) return 0;
    const unsigned offset_size = p[0] >> 4, length_size = p[0] & 15, base_size = p[1] >> 4;
    const unsigned index_size = version ? p[1] & 15 : 0;
    p += 2;
    for (unsigned s : {offset_size, length_size, base_size, index_size})
        if (s != 0 && s != 4 && s != 8) return 0;
    uint64_t items;
    if (!field(p, end, version < 2 ? 2 : 4, &items) || items > k_max_items) return 0;
    uint64_t furthest = 0;
    for (uint64_t i = 0; i < items; ++i) {
        uint64_t id, method = 0, dref, base, extents;
        if (!field(p, end, version < 2 ? 2 : 4, &id)) return 0;
        if (version && !field(p, end, 2, &method)) return 0;
        if (!field(p, end, 2, &dref) || !field(p, end, base_size, &base) || !field(p, end, 2, &extents)) return 0;
        // Extents of no bytes at all place nothing, and would let a count
        // spin the loop without reading.
        if (offset_size + length_size + index_size == 0) continue;
        for (uint64_t e = 0; e < extents; ++e) {
            uint64_t index, off, len;
            if (!field(p, end, index_size, &index) || !field(p, end, offset_size, &off) ||
                !field(p, end, length_size, &len))
                return 0;
            // Only data in this file, placed by its offset, and of a
            // length that is written.
            if ((method & 15) != 0 || dref != 0 || len == 0) continue;
            if (base > ~0ull - off || base + off > ~0ull - len) continue;
            if (base + off + len > furthest) furthest = base + off + len;
        }
    }
    return furthest;
}

// Looks for "iloc" among the children of the "meta" box `meta` and returns
// the end of its furthest extent (0: none).
uint64_t meta_extents_end(lmr::probe_reader &in, const lmr::iso_box &meta, uint64_t bound) {
    const uint64_t meta_end = meta.size ? meta.at + meta.size : bound;
    in.skip(meta.head + 4);  // full box: version and flags
    for (int children = 0; children < 64 && in.tell() < meta_end; ++children) {
        lmr::iso_box c;
        if (!lmr::peek_iso_box(in, &c) || c.size == 0 || c.size > meta_end - in.tell()) return 0;
        if (lmr::box_is(c, "iloc")) {
            if (c.size > k_max_iloc) return 0;
            static thread_local unsigned char buf[k_max_iloc];
            if (!in.peek_exact(buf, uint32_t(c.size))) return 0;
            return iloc_end(buf + c.head, buf + c.size);
        }
        in.skip(c.size);
    }
    return 0;
}

}  // namespace

uint64_t lmr::deep_heif(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                               int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;

    unsigned char brands[4 * k_max_brands];
    const char *suffix = picture_suffix(brands, lmr::read_brands(in, brands, k_max_brands));
    if (!suffix) return 0;

    bool meta = false, mdat = false, moov = false, open_end = false;
    uint64_t end = 0, extents = 0;
    for (uint64_t boxes = 0; boxes < k_max_boxes; ++boxes) {
        lmr::iso_box b;
        if (!lmr::peek_iso_box(in, &b)) break;
        if (lmr::box_is(b, "ftyp")) {
            if (boxes > 0) break;  // the next file's
        } else if (!top_level_box(b)) {
            break;
        }
        if (b.size == 0) {
            // Runs to the end of the file: only the item locations can say
            // where that is.
            open_end = lmr::box_is(b, "mdat");
            mdat = mdat || open_end;
            break;
        }
        if (b.size > bound - b.at) break;  // cut: the whole boxes before it stay
        if (lmr::box_is(b, "meta") && !meta) {
            meta = true;
            extents = meta_extents_end(in, b, bound);
            in.renew();
            in.skip(b.at);
        }
        mdat = mdat || lmr::box_is(b, "mdat");
        moov = moov || lmr::box_is(b, "moov");
        in.skip(b.size);
        end = in.tell();
    }
    // Item data placed after the boxes (or in a "mdat" that runs to the
    // end of the file) belongs to the file, as far as the input holds it.
    if (extents > end && extents <= bound) end = extents;
    else if (open_end) return 0;

    // A picture has its items described ("meta") and a sequence or a raw
    // photo its tracks ("moov"); either way the data is in "mdat".
    const bool whole = strcmp(suffix, "cr3") == 0 ? moov && mdat : (meta || moov) && mdat;
    if (!whole || end == 0) return 0;
    entry->suffix = suffix;
    if (!lmr::name_requested(entry, suffix)) return 0;
    lmr::diag("found a %s file, offset: %llu, file_size: %llu", suffix, (unsigned long long)offset,
              (unsigned long long)end);
    *found = 1;
    return end;
}
