// What the walk for deleted files with their names costs on a full card,
// against the scan it runs beside.
//
//   lumarek-bench --cards fat32,exfat,ntfs [--gib N] [--dir DIR] [--repeat N]
//                 [--dump PREFIX]
//
// The volumes are camera and phone cards of N GiB (32 by default), full and
// with about half their files deleted, as bench/card_volume.py writes them
// with the real tools into sparse image files; each is built once into DIR
// as card-KIND-NG.img and used again by later runs.  For each volume, in one
// run: a plain sequential read of the whole volume in 50 MiB freads, the
// scan of its free space as lumarek-carve scans a volume (the built-in
// rules, then deep), and the walk through list_named_finds, first with the
// image's pages dropped from the page cache, then again with them cached.
// The walk runs in a child process of its own, so that its peak memory is
// its own: the growth of the resident set over what the child had at the
// start.
//
// With --dump, each walk's finds go to PREFIX-KIND.txt, one line each
// (path, size, times, state, runs), to compare the walk's output before
// and after a change; the line "digest" is a hash of the same.
#include "comma_list.h"
#include "engine/file_types.h"
#include "engine/recovery_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int card_walk_main(int argc, char **argv);

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The image's pages leave the page cache: the next pass reads what it
// needs from the disk, and a pass over 32 GiB leaves no cache behind.
void drop_cached(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

double plain_read_seconds(const std::string &path, uint64_t *bytes) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    setvbuf(f, nullptr, _IONBF, 0);
    std::vector<unsigned char> buf(LMR_SCAN_BUFFER_SIZE);
    auto t0 = Clock::now();
    uint64_t total = 0;
    unsigned sum = 0;
    size_t got;
    while ((got = fread(buf.data(), 1, buf.size(), f)) > 0) {
        total += got;
        sum += buf[got - 1];
    }
    const double s = seconds_since(t0);
    fclose(f);
    *bytes = total + (sum & 0);
    return s;
}

// ---- the scan, as lumarek-carve scans a volume ----------------------------

struct Receiver {
    std::atomic<unsigned long long> finds{0};
};
void on_recovered(void *ctx, r_info *) { ++static_cast<Receiver *>(ctx)->finds; }
void on_recovered_runs(void *ctx, r_info *, const r_run *, int32_t) { ++static_cast<Receiver *>(ctx)->finds; }
void on_progress(void *, float) {}
void on_proceed(void *, unsigned long long, unsigned long long) {}

// Bytes of the volume's free space, as its reader lists them.
uint64_t free_bytes(const std::string &path, const std::string &kind) {
    chunk_list *list = kind == "fat32"   ? get_fat32_chunk_list(path.c_str())
                       : kind == "exfat" ? get_exfat_chunk_list(path.c_str())
                                         : get_ntfs_chunk_list(path.c_str());
    uint64_t bytes = 0;
    for (const chunk *c = list ? list->head : nullptr; c; c = c->next) bytes += c->length;
    free_chunk_list(list);
    return bytes;
}

// Seconds of a scan of the volume's free space, and its finds in *finds.
double scan_seconds(const std::string &path, bool deep, Receiver &rx, unsigned long long *finds) {
    static const std::string all_types = lmr::carver_group(0);
    rx.finds = 0;
    skip_exist = 1;
    is_formated = 0;
    deep_scan = deep ? 1 : 0;
    auto t0 = Clock::now();
    start_recovery2(path.c_str(), all_types.c_str(), "", 0);
    const double s = seconds_since(t0);
    deep_scan = 0;
    *finds = rx.finds;
    return s;
}

// ---- the walk, in a child process --------------------------------------------

struct WalkResult {
    double seconds = -1;
    int32_t finds = 0, intact = 0, overwritten = 0;
    uint64_t runs = 0;
    long peak_kib = 0;  // growth of the resident set at its peak
    uint64_t digest = 0;
};

long status_kib(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kib = 0;
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0) kib = atol(line + n);
    fclose(f);
    return kib;
}

struct Fnv {
    uint64_t h = 1469598103934665603ull;
    void add(const void *p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char *>(p)[i]) * 1099511628211ull;
    }
    template <class T> void add(const T &v) { add(&v, sizeof v); }
};

WalkResult walk_in_child(const std::string &path, const std::string &dump) {
    WalkResult r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return r;
    }
    if (pid == 0) {
        close(fds[0]);
        WalkResult w;
        const long rss_at_start = status_kib("VmRSS:");
        lmr_named_find *found = nullptr;
        auto t0 = Clock::now();
        const int n = list_named_finds(path.c_str(), &found);
        w.seconds = seconds_since(t0);
        w.peak_kib = status_kib("VmHWM:") - rss_at_start;
        FILE *out = dump.empty() ? nullptr : fopen(dump.c_str(), "w");
        Fnv digest;
        for (int i = 0; i < n; ++i) {
            const lmr_named_find &f = found[i];
            ++w.finds;
            (f.state == LMR_NAMED_INTACT ? w.intact : w.overwritten) += 1;
            w.runs += uint64_t(f.run_count);
            digest.add(f.path, strnlen(f.path, sizeof f.path));
            digest.add(f.size);
            digest.add(f.modified);
            digest.add(f.created);
            digest.add(f.accessed);
            digest.add(f.state);
            digest.add(f.head_free);
            digest.add(f.file_system, strnlen(f.file_system, sizeof f.file_system));
            for (int32_t k = 0; k < f.run_count; ++k) {
                digest.add(f.runs[k].offset);
                digest.add(f.runs[k].length);
            }
            if (out) {
                fprintf(out, "%s\t%" PRIu64 "\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t%d\t%d\t%s", f.path, f.size,
                        f.modified, f.created, f.accessed, f.state, f.head_free, f.file_system);
                for (int32_t k = 0; k < f.run_count; ++k)
                    fprintf(out, "\t%" PRIu64 "+%" PRIu64, f.runs[k].offset, f.runs[k].length);
                fputc('\n', out);
            }
        }
        if (out) fclose(out);
        w.digest = digest.h;
        free_named_finds(found);
        if (n < 0) w.seconds = -1;
        (void)!write(fds[1], &w, sizeof w);
        _exit(0);
    }
    close(fds[1]);
    if (read(fds[0], &r, sizeof r) != ssize_t(sizeof r)) r = WalkResult{};
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return r;
}

// ---- the volumes ----------------------------------------------------------------

// The image of `kind`, built when it is not there yet.
bool card_image(const std::string &dir, const std::string &kind, int gib, std::string *path) {
    *path = dir + "/card-" + kind + "-" + std::to_string(gib) + "G.img";
    struct stat st;
    if (stat(path->c_str(), &st) == 0 && uint64_t(st.st_size) == uint64_t(gib) << 30) return true;
    const std::string cmd = std::string("python3 '") + LUMAREK_SOURCE_DIR + "/bench/card_volume.py' " + kind + " '" +
                            *path + "' --gib " + std::to_string(gib);
    fprintf(stderr, "building %s (a few minutes for 32 GiB)\n", path->c_str());
    return system(cmd.c_str()) == 0 && stat(path->c_str(), &st) == 0;
}

}  // namespace

int card_walk_main(int argc, char **argv) {
    std::string kinds = "fat32,exfat,ntfs", dir = "bench-data", dump;
    int gib = 32, repeat = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--cards") {
            if (i + 1 < argc && argv[i + 1][0] != '-') kinds = value();
        } else if (a == "--gib") gib = std::max(1, atoi(value().c_str()));
        else if (a == "--dir") dir = value();
        else if (a == "--repeat") repeat = std::max(1, atoi(value().c_str()));
        else if (a == "--dump") dump = value();
        else {
            fprintf(stderr, "usage: %s --cards [fat32,exfat,ntfs] [--gib N] [--dir DIR] [--repeat N] [--dump PREFIX]\n",
                    argv[0]);
            return 2;
        }
    }
    mkdir(dir.c_str(), 0755);
    FILE *devnull = fopen("/dev/null", "w");
    set_diagnostic_output(devnull);
    Receiver rx;
    set_callbacks(&rx, on_recovered, on_progress, on_proceed);
    set_runs_callback(on_recovered_runs);

    printf("%-6s %4s %8s %9s %9s %9s %9s %9s %9s %7s %7s %7s %8s\n", "volume", "GiB", "read s", "free GiB",
           "scan s", "deep s", "walk s", "warm s", "walk/scn", "/deep", "/read", "finds", "peak MiB");
    int failed = 0;
    for (const std::string &kind : split(kinds)) {
        std::string path;
        if (!card_image(dir, kind, gib, &path)) {
            fprintf(stderr, "cannot build the %s volume\n", kind.c_str());
            ++failed;
            continue;
        }
        std::vector<double> reads, scans, deeps, colds, warms, per_scan, per_deep, per_read;
        WalkResult last;
        const uint64_t scanned = free_bytes(path, kind);
        for (int r = 0; r < repeat; ++r) {
            uint64_t bytes = 0;
            unsigned long long finds = 0, deep_finds = 0;
            drop_cached(path);
            const double read = plain_read_seconds(path, &bytes);
            drop_cached(path);
            const double scan = scan_seconds(path, false, rx, &finds);
            drop_cached(path);
            const double deep = scan_seconds(path, true, rx, &deep_finds);
            drop_cached(path);
            const WalkResult cold = walk_in_child(path, dump.empty() ? "" : dump + "-" + kind + ".txt");
            const WalkResult warm = walk_in_child(path, "");
            drop_cached(path);
            if (cold.seconds < 0 || warm.seconds < 0 || cold.digest != warm.digest) {
                fprintf(stderr, "%s: the walk failed or gave two answers\n", kind.c_str());
                ++failed;
                break;
            }
            last = cold;
            reads.push_back(read);
            scans.push_back(scan);
            deeps.push_back(deep);
            colds.push_back(cold.seconds);
            warms.push_back(warm.seconds);
            per_scan.push_back(cold.seconds / scan);
            per_deep.push_back(cold.seconds / deep);
            per_read.push_back(cold.seconds / read);
            printf("%-6s %4d %8.2f %9.2f %9.2f %9.2f %9.3f %9.3f %8.2f%% %6.2f%% %6.2f%% %7d %8.1f\n", kind.c_str(), gib,
                   read, double(scanned) / double(1ull << 30), scan, deep, cold.seconds, warm.seconds,
                   100 * cold.seconds / scan, 100 * cold.seconds / deep, 100 * cold.seconds / read, cold.finds,
                   double(std::max(cold.peak_kib, warm.peak_kib)) / 1024);
            fflush(stdout);
            (void)finds;
            (void)deep_finds;
        }
        if (reads.size() > 2)
            printf("%-6s %4d %8.2f %9s %9.2f %9.2f %9.3f %9.3f %8.2f%% %6.2f%% %6.2f%%   (median of %zu)\n",
                   kind.c_str(), gib, median(reads), "", median(scans), median(deeps), median(colds), median(warms),
                   100 * median(per_scan), 100 * median(per_deep), 100 * median(per_read), reads.size());
        if (last.seconds >= 0)
            printf("%-6s finds %d (%d intact, %d overwritten), %" PRIu64 " runs, digest %016" PRIx64 "\n",
                   kind.c_str(), last.finds, last.intact, last.overwritten, last.runs, last.digest);
        fflush(stdout);
    }
    set_diagnostic_output(nullptr);
    fclose(devnull);
    return failed ? 1 : 0;
}
