// Matroska and WebM: the EBML header names the file by its DocType
// ("matroska": mkv, "webm": webm), and the Segment that follows holds the
// rest.  Where the Segment's size is written the file ends with it; where
// it is unknown (a recording written as it went) the walk steps over its
// top-level elements, into Clusters of unknown size, and the file ends
// after the last whole element.
#include "../probe_reader.h"
#include "../../file_types.h"

namespace {

constexpr uint32_t k_ebml = 0x1A45DFA3;
constexpr uint32_t k_segment = 0x18538067;
constexpr uint32_t k_cluster = 0x1F43B675;
constexpr uint32_t k_doctype = 0x4282;
constexpr uint64_t k_unknown = ~0ull;
constexpr uint64_t k_max_elements = 1u << 24;

// An element's ID (marker bits kept) and size (k_unknown when all its
// value bits are set).
struct element {
    uint32_t id = 0;
    uint64_t size = 0;
    uint32_t head = 0;  // bytes of ID and size
};

// Reads an element header from `p` (`n` bytes); false when it is not one.
bool parse_element(const unsigned char *p, uint32_t n, element *e) {
    if (n < 2 || p[0] == 0) return false;
    uint32_t idlen = 1;
    while (idlen <= 4 && !(p[0] & (0x80 >> (idlen - 1)))) ++idlen;
    if (idlen > 4 || idlen >= n) return false;
    uint32_t id = 0;
    for (uint32_t i = 0; i < idlen; ++i) id = id << 8 | p[i];
    const unsigned char lead = p[idlen];
    if (lead == 0) return false;
    uint32_t szlen = 1;
    while (!(lead & (0x80 >> (szlen - 1)))) ++szlen;
    if (idlen + szlen > n) return false;
    uint64_t size = lead & (0xFF >> szlen);
    bool all_ones = size == (0xFFu >> szlen);
    for (uint32_t i = 1; i < szlen; ++i) {
        size = size << 8 | p[idlen + i];
        all_ones = all_ones && p[idlen + i] == 0xFF;
    }
    e->id = id;
    e->size = all_ones ? k_unknown : size;
    e->head = idlen + szlen;
    return true;
}

bool peek_element(lmr::probe_reader &in, element *e) {
    unsigned char h[12];
    const uint32_t n = in.peek(h, sizeof h);
    return parse_element(h, n, e);
}

// The Segment's direct children.
bool top_level(uint32_t id) {
    switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case k_cluster:
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
        return true;
    default:
        return false;
    }
}

// A Cluster's children.
bool in_cluster(uint32_t id) {
    switch (id) {
    case 0xE7:    // Timestamp
    case 0x5854:  // SilentTracks
    case 0xA7:    // Position
    case 0xAB:    // PrevSize
    case 0xA3:    // SimpleBlock
    case 0xA0:    // BlockGroup
    case 0xAF:    // EncryptedBlock
    case 0xEC:    // Void
    case 0xBF:    // CRC-32
        return true;
    default:
        return false;
    }
}

// Walks the Segment's elements from the reader's position; returns where
// the last whole one ends (0: none).
uint64_t walk_segment(lmr::probe_reader &in, uint64_t bound) {
    uint64_t end = 0, count = 0;
    bool in_open_cluster = false;
    while (count++ < k_max_elements) {
        element e;
        if (!peek_element(in, &e)) break;
        const uint64_t at = in.tell();
        if (at + e.head > bound) break;
        if (in_open_cluster && in_cluster(e.id)) {
            if (e.size == k_unknown || e.size > bound - at - e.head) break;
            in.skip(e.head + e.size);
            end = in.tell();
            continue;
        }
        if (!top_level(e.id)) break;
        in_open_cluster = false;
        if (e.size == k_unknown) {
            // Only a Cluster may leave its size open; its children follow.
            if (e.id != k_cluster) break;
            in_open_cluster = true;
            in.skip(e.head);
            end = in.tell();
            continue;
        }
        if (e.size > bound - at - e.head) break;
        in.skip(e.head + e.size);
        end = in.tell();
    }
    return end;
}

}  // namespace

uint64_t lmr::deep_mkv(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    if (!entry || !found) return 0;
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    const uint64_t bound = entry->max_len && entry->max_len < limit ? entry->max_len : limit;

    element e;
    if (!peek_element(in, &e) || e.id != k_ebml || e.size == k_unknown || e.size > 4096) return 0;
    in.skip(e.head);
    const uint64_t header_end = in.tell() + e.size;
    const char *suffix = nullptr;
    while (in.tell() < header_end) {
        element c;
        if (!peek_element(in, &c) || c.size == k_unknown || c.head > header_end - in.tell() ||
            c.size > header_end - in.tell() - c.head)
            return 0;
        if (c.id == k_doctype) {
            char type[16] = {};
            const uint32_t n = c.size < sizeof type - 1 ? uint32_t(c.size) : uint32_t(sizeof type - 1);
            in.skip(c.head);
            if (!in.peek_exact(type, n)) return 0;
            in.skip(c.size);
            if (strcmp(type, "matroska") == 0)
                suffix = "mkv";
            else if (strcmp(type, "webm") == 0)
                suffix = "webm";
            else
                return 0;
            continue;
        }
        in.skip(c.head + c.size);
    }
    if (!suffix || in.tell() != header_end) return 0;

    if (!peek_element(in, &e) || e.id != k_segment) return 0;
    in.skip(e.head);
    const uint64_t segment_start = in.tell();
    if (segment_start >= bound) return 0;
    uint64_t end;
    if (e.size != k_unknown && e.size <= bound - segment_start) {
        // The written size, once its first element is one of the Segment's.
        element first;
        if (!peek_element(in, &first) || !top_level(first.id)) return 0;
        end = segment_start + e.size;
    } else {
        // Unknown, or larger than the input holds: as far as its elements go.
        end = walk_segment(in, bound);
        if (end == 0) return 0;
    }
    entry->suffix = suffix;
    if (!lmr::name_requested(entry, suffix)) return 0;
    lmr::diag("found a %s file, offset: %llu, file_size: %llu", suffix, (unsigned long long)offset,
              (unsigned long long)end);
    *found = 1;
    return end;
}
