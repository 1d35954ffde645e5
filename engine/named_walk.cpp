// The C interface of the directory walks: the input is a volume or a disk
// whose partitions are walked one by one; the finds go out as one block of
// fixed-layout records followed by their runs.
#include "named_finds.h"
#include "partition_table.h"
#include "volume_geometry.h"

#include <cstdlib>
#include <cstring>

namespace lmr {
namespace {

struct walked_volume {
    const char *file_system;
    std::vector<named_find> finds;
};

walked_volume walk_volume(const volume_span &v) {
    unsigned char boot[512];
    const size_t got = v.size >= sizeof boot ? read_at(v.f, v.base, boot, sizeof boot) : 0;
    fat_geometry fg;
    if (parse_fat_boot(boot, got, &fg))
        return {fg.bits == 12 ? "FAT12" : fg.bits == 16 ? "FAT16" : "FAT32", walk_fat_names(v)};
    if (got >= 11 && memcmp(boot + 3, "EXFAT   ", 8) == 0) return {"exFAT", walk_exfat_names(v)};
    ntfs_geometry ng;
    if (parse_ntfs_boot(boot, got, &ng)) return {"NTFS", walk_ntfs_names(v)};
    return {"", {}};
}

}  // namespace
}  // namespace lmr

extern "C" {

int list_named_finds(const char *path, lmr_named_find **finds) {
    if (finds) *finds = nullptr;
    lmr::InputHandle input(path);
    FILE *f = input.get();
    if (!f || !finds) return -1;
    const uint64_t size = lmr::measure_input(f);
    std::vector<std::pair<std::string, lmr::walked_volume>> walked;  // (prefix, finds)
    lmr::disk_layout disk;
    if (lmr::read_partition_table(f, size, &disk)) {
        const int32_t only = lmr::load_flag(&scan_partition);
        for (const lmr::disk_partition &p : disk.partitions) {
            if (only && p.number != only) continue;
            lmr::walked_volume w = lmr::walk_volume(lmr::volume_span{f, p.start, p.size});
            if (!w.finds.empty()) walked.push_back({"partition " + std::to_string(p.number) + "/", std::move(w)});
        }
        if (walked.size() == 1) walked[0].first.clear();
    } else {
        walked.push_back({"", lmr::walk_volume(lmr::volume_span{f, 0, size})});
    }
    size_t count = 0, runs = 0;
    for (auto &w : walked)
        for (auto &n : w.second.finds)
            if (!n.runs.empty() && count < lmr::kMaxNamedFinds) {
                ++count;
                runs += n.runs.size();
            }
    if (!count) return 0;
    auto *block = static_cast<unsigned char *>(calloc(1, count * sizeof(lmr_named_find) + runs * sizeof(r_run)));
    if (!block) return 0;
    auto *out = reinterpret_cast<lmr_named_find *>(block);
    auto *run_at = reinterpret_cast<r_run *>(block + count * sizeof(lmr_named_find));
    size_t k = 0;
    for (auto &w : walked)
        for (auto &n : w.second.finds) {
            if (n.runs.empty() || k >= count) continue;
            lmr_named_find &r = out[k++];
            std::string full = w.first + n.path;
            if (full.size() >= sizeof r.path) full = n.path;
            memcpy(r.path, full.data(), full.size() < sizeof r.path ? full.size() : sizeof r.path - 1);
            r.size = 0;
            for (const r_run &x : n.runs) r.size += x.length;
            r.modified = n.modified;
            r.created = n.created;
            r.accessed = n.accessed;
            r.state = n.overwritten ? LMR_NAMED_OVERWRITTEN : LMR_NAMED_INTACT;
            r.head_free = n.head_free ? 1 : 0;
            r.runs_known = n.runs_known ? 1 : 0;
            r.run_count = int32_t(n.runs.size());
            r.runs = run_at;
            memcpy(run_at, n.runs.data(), n.runs.size() * sizeof(r_run));
            run_at += n.runs.size();
            strncpy(r.file_system, w.second.file_system, sizeof r.file_system - 1);
        }
    *finds = out;
    return int(count);
}

void free_named_finds(lmr_named_find *finds) { free(finds); }

}  // extern "C"
