// Partition tables: MBR with its chain of extended boot records, and GPT
// with header and entry-array checksums and the backup header at the end of
// the disk when the primary is damaged.
//
// Every field is distrusted: partitions that start past the input are left
// out, those that run past it are cut at its end, overlapping ones are cut
// where the previous one ends, the chain of logical partitions is bounded
// and may not revisit a record, and the GPT entry array is read only when
// its size is within a fixed bound.
#include "partition_table.h"

#include "utf16_text.h"
#include "volume_readers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

namespace lmr {
namespace {

constexpr uint64_t kSector = 512;         // MBR sectors
constexpr int kMaxLogical = 128;          // logical partitions followed at most
constexpr uint64_t kMaxGptArray = 1u << 20;  // bytes of GPT entries read at most

uint32_t crc32(const unsigned char *p, size_t n) {
    // Made once, the first time any thread needs it.
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool is_extended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

std::string hex_type(uint8_t type) {
    char buf[8];
    snprintf(buf, sizeof buf, "0x%02x", type);
    return buf;
}

// A GUID as text, its first three fields little-endian.
std::string guid_text(const unsigned char *g) {
    char buf[40];
    snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", le32(g), le16(g + 4),
             le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

std::string gpt_type_name(const unsigned char *g) {
    static const struct {
        const char *guid, *name;
    } known[] = {
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Basic data"},
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
        {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
        {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
        {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
        {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS+"},
    };
    std::string text = guid_text(g);
    for (auto &k : known)
        if (text == k.guid) return k.name;
    return text;
}

// UTF-16LE name of up to `units` code units, to UTF-8 (unpaired
// surrogates become '?').
std::string utf16_name(const unsigned char *p, size_t units) { return utf16le_to_utf8(p, units, true, '?'); }

// Checks the GPT header at `lba` (sectors of `sector` bytes) and its entry
// array; fills `parts` from it.
bool read_gpt_at(FILE *f, uint64_t size, uint64_t sector, uint64_t lba, std::vector<disk_partition> *parts,
                 uint64_t *alternate) {
    if (lba == 0 || lba > (size / sector) - 1 || size / sector == 0) return false;
    std::vector<unsigned char> h(sector);
    if (read_at(f, lba * sector, h.data(), h.size()) != h.size()) return false;
    if (memcmp(h.data(), "EFI PART", 8) != 0) return false;
    const uint32_t header_size = le32(h.data() + 12);
    if (header_size < 92 || header_size > sector) return false;
    const uint32_t stored = le32(h.data() + 16);
    memset(h.data() + 16, 0, 4);
    if (crc32(h.data(), header_size) != stored) return false;
    if (le64(h.data() + 24) != lba) return false;
    *alternate = le64(h.data() + 32);
    const uint64_t array_lba = le64(h.data() + 72);
    const uint64_t count = le32(h.data() + 80), entry = le32(h.data() + 84);
    if (entry < 128 || entry % 8 || count == 0) return false;
    if (count * entry > kMaxGptArray) return false;
    const uint64_t array_bytes = count * entry;
    if (array_lba == 0 || array_lba >= size / sector || array_bytes > size - array_lba * sector) return false;
    std::vector<unsigned char> array(array_bytes);
    if (read_at(f, array_lba * sector, array.data(), array.size()) != array.size()) return false;
    if (crc32(array.data(), array.size()) != le32(h.data() + 88)) return false;
    static const unsigned char zero[16] = {};
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned char *e = array.data() + i * entry;
        if (memcmp(e, zero, 16) == 0) continue;
        const uint64_t first = le64(e + 32), last = le64(e + 40);
        if (last < first || first > UINT64_MAX / sector || last + 1 > UINT64_MAX / sector) {
            diag("GPT entry %llu: its sectors make no sense, left out", (unsigned long long)(i + 1));
            continue;
        }
        parts->push_back({int(i + 1), first * sector, (last - first + 1) * sector, gpt_type_name(e),
                          utf16_name(e + 56, std::min<uint64_t>(36, (entry - 56) / 2))});
    }
    return true;
}

bool read_gpt(FILE *f, uint64_t size, disk_layout *out) {
    for (uint64_t sector : {uint64_t(512), uint64_t(4096)}) {
        if (size < 2 * sector) continue;
        std::vector<disk_partition> parts;
        uint64_t alternate = 0;
        if (read_gpt_at(f, size, sector, 1, &parts, &alternate)) {
            out->scheme = "GPT";
            out->partitions = parts;
            return true;
        }
        // The primary is damaged: the backup header lies in the disk's
        // last sector (or where a primary with a sound header says).
        parts.clear();
        uint64_t unused = 0;
        const uint64_t last = size / sector - 1;
        bool backup = read_gpt_at(f, size, sector, last, &parts, &unused);
        if (!backup && alternate && alternate != last) {
            parts.clear();
            backup = read_gpt_at(f, size, sector, alternate, &parts, &unused);
        }
        if (backup) {
            diag("GPT primary header or entries damaged: the backup is used");
            out->scheme = "GPT";
            out->partitions = parts;
            return true;
        }
    }
    diag("GPT header and backup damaged: the disk is scanned as one volume");
    return false;
}

bool read_mbr(FILE *f, uint64_t size, const unsigned char *mbr, disk_layout *out) {
    std::vector<disk_partition> parts;
    uint64_t extended = 0, extended_size = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char *e = mbr + 446 + 16 * i;
        const uint8_t type = e[4];
        const uint64_t start = le32(e + 8), count = le32(e + 12);
        if (type == 0 || count == 0) continue;
        if (start == 0) return false;
        if (is_extended(type)) {
            if (!extended) {
                extended = start;
                extended_size = count;
            }
            continue;
        }
        parts.push_back({i + 1, start * kSector, count * kSector, hex_type(type), ""});
    }
    if (extended) {
        std::set<uint64_t> seen;
        uint64_t ebr = extended;
        int number = 5;
        while (number < 5 + kMaxLogical) {
            if (!seen.insert(ebr).second) {
                diag("extended partition: its chain of logical partitions loops; followed no further");
                break;
            }
            unsigned char rec[kSector];
            if (ebr >= size / kSector || read_at(f, ebr * kSector, rec, sizeof rec) != sizeof rec ||
                rec[510] != 0x55 || rec[511] != 0xAA) {
                diag("extended partition: a logical partition's record is missing or damaged");
                break;
            }
            const unsigned char *l = rec + 446, *next = rec + 462;
            if (l[4] && le32(l + 12)) {
                const uint64_t start = ebr + le32(l + 8);
                parts.push_back({number, start * kSector, uint64_t(le32(l + 12)) * kSector, hex_type(l[4]), ""});
                ++number;
            }
            if (!is_extended(next[4]) || le32(next + 8) == 0) break;
            ebr = extended + le32(next + 8);
            if (ebr >= extended + extended_size) {
                diag("extended partition: a logical partition's record lies outside it");
                break;
            }
        }
        if (number >= 5 + kMaxLogical) diag("extended partition: more than %d logical partitions; the rest left out", kMaxLogical);
    }
    if (parts.empty()) return false;
    out->scheme = "MBR";
    out->partitions = parts;
    return true;
}

}  // namespace

bool read_partition_table(FILE *f, uint64_t size, disk_layout *out) {
    out->scheme.clear();
    out->partitions.clear();
    unsigned char mbr[kSector];
    if (size < kSector || read_at(f, 0, mbr, sizeof mbr) != sizeof mbr) return false;
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) return false;
    if (looks_like_fat_boot(mbr, sizeof mbr) || looks_like_exfat_boot(mbr, sizeof mbr) ||
        looks_like_ntfs_boot(mbr, sizeof mbr))
        return false;
    bool protective = false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char *e = mbr + 446 + 16 * i;
        if (e[0] != 0x00 && e[0] != 0x80) return false;  // boot code, not a table
        if (e[4] == 0xEE) protective = true;
    }
    const bool found = protective ? read_gpt(f, size, out) : read_mbr(f, size, mbr, out);
    if (!found) return false;

    // In order of their start, inside the input, not overlapping.
    std::stable_sort(out->partitions.begin(), out->partitions.end(),
                     [](const disk_partition &a, const disk_partition &b) { return a.start < b.start; });
    std::vector<disk_partition> kept;
    uint64_t end_of_last = 0;
    for (disk_partition p : out->partitions) {
        if (p.start >= size) {
            diag("partition %d starts past the end of the input; left out", p.number);
            continue;
        }
        if (p.start < end_of_last) {
            diag("partition %d overlaps the partition before it; cut where that one ends", p.number);
            const uint64_t cut = end_of_last - p.start;
            if (cut >= p.size) continue;
            p.start = end_of_last;
            p.size -= cut;
        }
        if (p.size > size - p.start) {
            diag("partition %d runs past the end of the input; cut at its end", p.number);
            p.size = size - p.start;
        }
        end_of_last = p.start + p.size;
        kept.push_back(p);
    }
    out->partitions = kept;
    if (kept.empty()) {
        diag("partition table (%s) has no partition inside the input: the disk is scanned as one volume",
             out->scheme.c_str());
        return false;
    }
    return true;
}

}  // namespace lmr
