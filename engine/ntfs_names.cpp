// Deleted files of an NTFS volume with their names.  The MFT is read
// record by record through its own data runs (record 0); a record not in
// use that still holds a $FILE_NAME and an unnamed $DATA is a deleted
// file: its name and parent reference, its times ($STANDARD_INFORMATION's,
// else $FILE_NAME's), and its bytes, resident in the record or in its
// runs.  The path is built from the parent references up to the root
// (record 5); a parent that is gone, reused (its sequence number moved on)
// or part of a loop leaves the file under "_orphans".  Runs that point at
// clusters now in use mark the file overwritten.
//
// Records are read in fixed pieces; no more than kMaxRecords are looked
// at, whatever the MFT's size claims.
#include "named_finds.h"
#include "volume_geometry.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace lmr {
namespace {

constexpr uint64_t kMaxRecords = 1u << 22;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kRefMask = 0xFFFFFFFFFFFFull;

struct mft_extent {
    uint64_t first_record_byte;  // bytes of the MFT before it
    uint64_t offset;             // bytes from the volume's start
    uint64_t length;
};

struct record_info {
    bool valid = false;  // a sound base record with a name
    bool in_use = false;
    bool folder = false;
    uint16_t seq = 0;
    uint64_t parent = 0;
    uint16_t parent_seq = 0;
    std::string name;
};

struct deleted_file {
    uint64_t record;
    uint64_t size;
    int64_t modified, created, accessed;
    std::vector<r_run> runs;
    bool resident = false;  // its bytes are in its record
};

int64_t filetime(uint64_t t) {
    if (t == 0) return kNoTime;
    return int64_t(t / 10000000) - 11644473600LL;
}

class ntfs_walk {
public:
    ntfs_walk(const volume_span &v, const ntfs_geometry &g) : v_(v), g_(g) {}

    bool read_mft_runs();
    void read_records(std::vector<named_find> *out);

private:
    // Where byte `at` of the MFT lies in the volume; ~0 when nowhere.
    uint64_t mft_byte(uint64_t at) const {
        for (const mft_extent &e : mft_)
            if (at >= e.first_record_byte && at - e.first_record_byte < e.length)
                return e.offset + (at - e.first_record_byte);
        return ~uint64_t(0);
    }
    bool read_record(uint64_t n, std::vector<unsigned char> *rec) const;
    void parse(uint64_t n, const unsigned char *rec, record_info *info, std::vector<deleted_file> *files) const;
    std::vector<r_run> resident_runs(uint64_t n, const unsigned char *rec, size_t from, size_t length) const;
    std::string path_of(uint64_t n, const std::vector<record_info> &records) const;

    const volume_span &v_;
    const ntfs_geometry &g_;
    std::vector<mft_extent> mft_;
    uint64_t records_ = 0;
};

bool ntfs_walk::read_record(uint64_t n, std::vector<unsigned char> *rec) const {
    const uint64_t bytes = g_.record_bytes;
    rec->assign(size_t(bytes), 0);
    // A record lies in one extent unless clusters are smaller than records.
    for (uint64_t done = 0; done < bytes;) {
        const uint64_t at = mft_byte(n * bytes + done);
        if (at == ~uint64_t(0) || at >= v_.size) return false;
        uint64_t piece = g_.bytes_per_sector < bytes - done ? g_.bytes_per_sector : bytes - done;
        if (piece > v_.size - at) return false;
        if (read_at(v_.f, v_.base + at, rec->data() + done, size_t(piece)) != piece) return false;
        done += piece;
    }
    return apply_fixups(rec->data(), rec->size());
}

bool ntfs_walk::read_mft_runs() {
    // Record 0 ($MFT) is read where the boot sector says the MFT starts.
    mft_.push_back({0, g_.mft_offset, g_.record_bytes});
    std::vector<unsigned char> rec;
    if (!read_record(0, &rec)) return false;
    const size_t used = le32(rec.data() + 24), end = used < rec.size() ? used : rec.size();
    for (size_t at = le16(rec.data() + 20); at + 16 <= end;) {
        const unsigned char *a = rec.data() + at;
        const uint32_t type = le32(a);
        const size_t len = le32(a + 4);
        if (type == 0xFFFFFFFFu || len < 16 || len % 8 || len > end - at) break;
        if (type == 0x80 && a[8] == 1 && a[9] == 0 && len >= 64 && le64(a + 16) == 0) {
            std::vector<data_run> runs;
            decode_runs(a, len, g_.clusters, &runs);
            mft_.clear();
            uint64_t vcn_bytes = 0;
            for (const data_run &r : runs) {
                if (r.lcn == ~uint64_t(0) || r.length > g_.clusters) break;
                mft_.push_back({vcn_bytes, r.lcn * g_.cluster_bytes, r.length * g_.cluster_bytes});
                vcn_bytes += r.length * g_.cluster_bytes;
            }
            uint64_t size = le64(a + 48);
            if (size > vcn_bytes) size = vcn_bytes;
            records_ = size / g_.record_bytes;
            // Runs may overlap: no more records than the volume could hold.
            if (records_ > v_.size / g_.record_bytes) records_ = v_.size / g_.record_bytes;
            if (records_ > kMaxRecords) {
                diag("NTFS volume at %llu: only the first %llu MFT records are walked", (unsigned long long)v_.base,
                     (unsigned long long)kMaxRecords);
                records_ = kMaxRecords;
            }
            return !mft_.empty();
        }
        at += len;
    }
    return false;
}

// The input's bytes of a resident value: bytes [from, from + length) of
// record n.  The last two bytes of each sector of a record hold its update
// sequence number on disk; their own bytes are kept in the update
// sequence array, so the runs point there for them.
std::vector<r_run> ntfs_walk::resident_runs(uint64_t n, const unsigned char *rec, size_t from, size_t length) const {
    std::vector<r_run> runs;
    const size_t usa = le16(rec + 4);
    auto add = [&](uint64_t record_byte, uint64_t count) {
        const uint64_t at = mft_byte(n * g_.record_bytes + record_byte);
        if (at == ~uint64_t(0)) return false;
        if (!runs.empty() && runs.back().offset + runs.back().length == v_.base + at)
            runs.back().length += count;
        else
            runs.push_back({v_.base + at, count});
        return true;
    };
    for (size_t i = from; i < from + length;) {
        const size_t sector_end = (i / 512 + 1) * 512;
        if (i >= sector_end - 2) {  // a fixed-up byte
            const size_t k = i / 512 + 1;
            if (!add(usa + 2 * k + (i - (sector_end - 2)), 1)) return {};
            ++i;
            continue;
        }
        const size_t count = std::min(from + length, sector_end - 2) - i;
        if (!add(i, count)) return {};
        i += count;
    }
    return runs;
}

void ntfs_walk::parse(uint64_t n, const unsigned char *rec, record_info *info,
                      std::vector<deleted_file> *files) const {
    const uint16_t flags = le16(rec + 22);
    if (le64(rec + 32) & kRefMask) return;  // an extension of another record
    info->in_use = flags & 1;
    info->folder = flags & 2;
    info->seq = le16(rec + 16);
    const size_t used = le32(rec + 24), end = used < g_.record_bytes ? used : size_t(g_.record_bytes);
    int name_rank = -1;
    bool have_data = false, data_usable = false, have_si = false;
    deleted_file file{n, 0, kNoTime, kNoTime, kNoTime, {}, false};
    int64_t fn_times[3] = {kNoTime, kNoTime, kNoTime};
    for (size_t at = le16(rec + 20); at + 16 <= end;) {
        const unsigned char *a = rec + at;
        const uint32_t type = le32(a);
        const size_t len = le32(a + 4);
        if (type == 0xFFFFFFFFu || len < 16 || len % 8 || len > end - at) break;
        const bool resident = a[8] == 0;
        const size_t value_len = resident && len >= 24 ? le32(a + 16) : 0;
        const size_t value_at = resident && len >= 24 ? le16(a + 20) : 0;
        const bool value_fits = resident && len >= 24 && value_at <= len && value_len <= len - value_at;
        const unsigned char *value = a + value_at;
        if (type == 0x10 && value_fits && value_len >= 32) {
            have_si = true;
            file.created = filetime(le64(value));
            file.modified = filetime(le64(value + 8));
            file.accessed = filetime(le64(value + 24));
        } else if (type == 0x30 && value_fits && value_len >= 66 && 66 + size_t(value[64]) * 2 <= value_len) {
            // Win32 names before POSIX ones before DOS 8.3 ones.
            const int rank = value[65] == 2 ? 0 : value[65] == 0 ? 1 : 2;
            if (rank > name_rank && value[64] > 0) {
                name_rank = rank;
                info->name = utf16_to_utf8(value + 66, value[64]);
                info->parent = le64(value) & kRefMask;
                info->parent_seq = le16(value + 6);
                fn_times[0] = filetime(le64(value + 8));
                fn_times[1] = filetime(le64(value + 16));
                fn_times[2] = filetime(le64(value + 32));
            }
        } else if (type == 0x80 && a[9] == 0 && !have_data) {
            have_data = true;
            if (value_fits) {
                file.size = value_len;
                file.resident = true;
                file.runs = resident_runs(n, rec, at + value_at, value_len);
                data_usable = value_len == 0 || !file.runs.empty();
            } else if (!resident && len >= 64 && le64(a + 16) == 0 && (le16(a + 12) & 0xC0FF) == 0 &&
                       le16(a + 34) == 0) {
                // Not compressed, encrypted or sparse-coded: its runs are its bytes.
                std::vector<data_run> runs;
                const bool inside = decode_runs(a, len, g_.clusters, &runs);
                uint64_t left = le64(a + 48);
                file.size = left;
                data_usable = inside;
                for (const data_run &r : runs) {
                    if (!left) break;
                    if (r.lcn == ~uint64_t(0)) {
                        data_usable = false;  // a hole reads as zeros, which no run of the input holds
                        break;
                    }
                    uint64_t bytes = r.length * g_.cluster_bytes;
                    if (bytes > left) bytes = left;
                    file.runs.push_back({v_.base + r.lcn * g_.cluster_bytes, bytes});
                    left -= bytes;
                }
                if (left) data_usable = false;  // the runs stop short of the size
            }
        }
        at += len;
    }
    if (name_rank < 0) return;
    info->valid = true;
    if (info->in_use || info->folder || !have_data || !data_usable || file.size == 0) return;
    if (!have_si) {
        file.created = fn_times[0];
        file.modified = fn_times[1];
        file.accessed = fn_times[2];
    }
    files->push_back(std::move(file));
}

std::string ntfs_walk::path_of(uint64_t n, const std::vector<record_info> &records) const {
    std::vector<std::string> parts{records[n].name};
    std::unordered_set<uint64_t> seen{n};
    uint64_t parent = records[n].parent, seq = records[n].parent_seq;
    for (unsigned depth = 0;; ++depth) {
        if (parent == kRootRecord) break;
        // The parent must still be the folder the reference meant: the
        // same sequence number, or the next one when it was deleted since.
        const bool known = parent < records.size() && records[parent].valid && records[parent].folder &&
                           (records[parent].seq == seq || (!records[parent].in_use && records[parent].seq == uint16_t(seq + 1)));
        if (!known || depth >= kMaxFolderDepth || !seen.insert(parent).second) {
            parts.push_back("_orphans");
            break;
        }
        parts.push_back(records[parent].name);
        seq = records[parent].parent_seq;
        parent = records[parent].parent;
    }
    return safe_path(std::vector<std::string>(parts.rbegin(), parts.rend()));
}

void ntfs_walk::read_records(std::vector<named_find> *out) {
    std::vector<record_info> records(static_cast<size_t>(records_));
    std::vector<deleted_file> files;
    std::vector<unsigned char> rec;
    for (uint64_t n = 0; n < records_; ++n)
        if (read_record(n, &rec)) parse(n, rec.data(), &records[n], &files);
    volume_free fr = read_ntfs_free(v_);
    free_map free(fr.list);
    free_chunk_list(fr.list);
    for (deleted_file &d : files) {
        if (out->size() >= kMaxNamedFinds) break;
        named_find f;
        f.path = path_of(d.record, records);
        f.size = d.size;
        f.modified = d.modified;
        f.created = d.created;
        f.accessed = d.accessed;
        f.runs = std::move(d.runs);
        for (const r_run &r : f.runs)
            if (r.offset + r.length > v_.base + v_.size) f.overwritten = true;
        // Resident bytes live in the record itself; clusters must still be free.
        if (!d.resident && !free.all_free(f.runs)) f.overwritten = true;
        f.head_free = d.resident || free.head_free(f.runs, g_.cluster_bytes);
        f.runs_known = true;
        out->push_back(std::move(f));
    }
}

}  // namespace

std::vector<named_find> walk_ntfs_names(const volume_span &v) {
    std::vector<named_find> out;
    unsigned char boot[512];
    const size_t got = v.size >= sizeof boot ? read_at(v.f, v.base, boot, sizeof boot) : 0;
    ntfs_geometry g;
    if (!parse_ntfs_boot(boot, got, &g)) return out;
    ntfs_walk walk(v, g);
    if (!walk.read_mft_runs()) {
        diag("NTFS volume at %llu: the MFT's own record is damaged; no names are read", (unsigned long long)v.base);
        return out;
    }
    walk.read_records(&out);
    return out;
}

}  // namespace lmr
