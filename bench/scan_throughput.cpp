// Scan throughput against a plain sequential read of the same input.
//
// Builds its inputs once (random bytes, zeros, and a dense image of real
// sample files at block starts), then for each input measures, in the same
// run and on the same hot file: a plain read in 50 MiB freads, and the
// engine scan with every file type configured, through start_recovery2 with
// callbacks that do what the object layer's do.  Prints MB/s for both, the
// ratio scan/read, finds per second and where the probe time went.
//
//   lumarek-bench [--size MiB[,MiB...]] [--inputs random,zeros,dense,dense-ext2]
//                 [--dir DIR] [--samples DIR] [--repeat N] [--export DIR]
//                 [--deep]
//   lumarek-bench --cards [fat32,exfat,ntfs] ...   (the name walk on full cards: card_walk.cpp)
//
// dense-ext2 is the dense image (samples at 4 KiB block starts) made into
// an empty ext2 volume of 4 KiB blocks (mke2fs writes its metadata over a
// few blocks and leaves the rest): its scan is a scan of free space, which
// a deep scan reads as one stream, noting indirect blocks on the way.
//
// With --deep, each input is also scanned in deep mode, right after the
// scan by the built-in rules and against the same reads; its lines carry
// "deep" after the input's name.
//
// With --export, every find of each input's last scan is also exported into
// DIR (emptied afterwards), one file each, with the engine's export as the
// carver does it: without a digest (no report asked for) and with the
// SHA-256 taken while copying (--report).  The figure of merit is
// (scan + cp -r of the exported files) / (scan + export): what a run that
// exports costs against scanning and then copying the same files.
#include "comma_list.h"
#include "engine/file_types.h"
#include "engine/recovery_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Every type the engine can report: lumarek-carve's "all" group, its
// default.
const std::string k_all_types = lmr::carver_group(0);

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// ---- callbacks shaped like the object layer's ------------------------------

struct Receiver {
    std::mutex lock;
    std::deque<r_info> queue;  // the validation thread's queue
    std::atomic<unsigned long long> processed{0}, total{0};
    std::atomic<float> percent{0};
    size_t finds = 0;
    bool keep_all = false;
    std::vector<r_info> all;  // every find, when keep_all
};

void on_recovered(void *ctx, r_info *info) {
    auto *r = static_cast<Receiver *>(ctx);
    std::lock_guard<std::mutex> g(r->lock);
    r->queue.push_back(*info);
    if (r->queue.size() > 4096) r->queue.pop_front();
    if (r->keep_all) r->all.push_back(*info);
    ++r->finds;
}
void on_recovered_runs(void *ctx, r_info *info, const r_run *, int32_t) { on_recovered(ctx, info); }
void on_progress(void *ctx, float p) { static_cast<Receiver *>(ctx)->percent.store(p, std::memory_order_relaxed); }
void on_proceed(void *ctx, unsigned long long done, unsigned long long total) {
    auto *r = static_cast<Receiver *>(ctx);
    r->processed.store(done, std::memory_order_relaxed);
    r->total.store(total, std::memory_order_relaxed);
}

// ---- per-probe accounting ---------------------------------------------------

struct ProbeStat {
    const char *name;
    unsigned long long calls = 0, finds = 0;
    double seconds = 0;
};
std::map<int32_t, ProbeStat> g_stats;

// Times the probe the dispatch would call: the row's deep walk in deep mode
// where it has one, else its built-in probe.
uint64_t timed_probe(recovery_state *state, search_spec_entry *entry, const unsigned char *data,
                     int32_t available, uint64_t offset, uint64_t limit, int32_t *found) {
    ProbeStat &s = g_stats[entry->type_key];
    const probe_fn probe = lmr::probe_for(entry->type_key, __atomic_load_n(&deep_scan, __ATOMIC_RELAXED) != 0);
    if (!probe) return 0;
    auto t0 = Clock::now();
    uint64_t len = probe(state, entry, data, available, offset, limit, found);
    s.seconds += seconds_since(t0);
    ++s.calls;
    if (*found) ++s.finds;
    return len;
}

void install_timed_probes() {
    for (const lmr::file_type &t : lmr::k_file_types) {
        if (!(t.roles & lmr::role_row) || !(t.probe || t.deep)) continue;
        g_stats[t.key] = ProbeStat{t.name};
        register_probe(t.key, timed_probe);
    }
}

// ---- inputs -----------------------------------------------------------------

struct Sample {
    std::string name;
    std::vector<unsigned char> bytes;
};

void collect_samples(const std::string &dir, std::vector<Sample> &out) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string p = dir + "/" + n;
        struct stat st;
        if (stat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            collect_samples(p, out);
            continue;
        }
        static const char *exts[] = {".jpg", ".jpeg", ".png", ".gif", ".pdf", ".docx", ".xlsx", ".pptx", ".doc",
                                     ".xls", ".ppt", ".zip", ".mp3", ".mp4", ".mov", ".3gp", ".amr", ".wav",
                                     ".avi", ".rar", ".apk"};
        bool wanted = false;
        for (const char *x : exts)
            if (n.size() > strlen(x) && strcasecmp(n.c_str() + n.size() - strlen(x), x) == 0) wanted = true;
        if (!wanted || st.st_size <= 0 || st.st_size > (8 << 20)) continue;
        FILE *f = fopen(p.c_str(), "rb");
        if (!f) continue;
        Sample s{n, std::vector<unsigned char>(size_t(st.st_size))};
        size_t got = fread(s.bytes.data(), 1, s.bytes.size(), f);
        fclose(f);
        if (got == s.bytes.size()) out.push_back(std::move(s));
    }
    closedir(d);
}

bool make_input(const std::string &path, const std::string &kind, uint64_t size, const std::vector<Sample> &samples) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && uint64_t(st.st_size) == size) return true;  // built earlier
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<unsigned char> buf(1 << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    uint64_t written = 0;
    size_t next_sample = 0;
    while (written < size) {
        size_t n = size_t(std::min<uint64_t>(buf.size(), size - written));
        if (kind == "zeros") {
            memset(buf.data(), 0, n);
        } else if (kind == "random" || samples.empty()) {
            for (size_t i = 0; i < n; i += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                memcpy(&buf[i], &x, std::min<size_t>(8, n - i));
            }
        } else {  // dense: sample files back to back, each at a block start
            const size_t block = kind == "dense-ext2" ? 4096 : 512;
            size_t at = 0;
            while (at < n) {
                const Sample &s = samples[next_sample % samples.size()];
                if (at + s.bytes.size() > n) {
                    memset(&buf[at], 0, n - at);
                    break;
                }
                memcpy(&buf[at], s.bytes.data(), s.bytes.size());
                at += s.bytes.size();
                size_t pad = (block - at % block) % block;
                memset(&buf[at], 0, std::min(pad, n - at));
                at += pad;
                ++next_sample;
            }
        }
        if (fwrite(buf.data(), 1, n, f) != n) {
            fclose(f);
            return false;
        }
        written += n;
    }
    if (fclose(f) != 0) return false;
    if (kind == "dense-ext2") {
        const std::string cmd = "mke2fs -q -F -t ext2 -b 4096 -E nodiscard '" + path + "' >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0) {
            remove(path.c_str());
            return false;
        }
    }
    return true;
}

double plain_read_seconds(const std::string &path, uint64_t *bytes) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    setvbuf(f, nullptr, _IONBF, 0);
    // A pass takes its buffer as the scan does (one 50 MiB mapping per
    // pass, huge pages where the system offers them), so the ratio shows the
    // scan's own work and not a difference in buffers.
    auto t0 = Clock::now();
    void *map = mmap(nullptr, LMR_SCAN_BUFFER_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return -1;
    madvise(map, LMR_SCAN_BUFFER_SIZE, MADV_HUGEPAGE);
    madvise(map, LMR_SCAN_BUFFER_SIZE, MADV_POPULATE_WRITE);
    auto *buf = static_cast<unsigned char *>(map);
    uint64_t total = 0;
    unsigned long long sum = 0;
    size_t got;
    while ((got = fread(buf, 1, LMR_SCAN_BUFFER_SIZE, f)) > 0) {
        total += got;
        sum += buf[got - 1];  // touch the data
    }
    munmap(map, LMR_SCAN_BUFFER_SIZE);
    double s = seconds_since(t0);
    fclose(f);
    *bytes = total + (sum & 0);
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long peak_rss_kb() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Exports every find into `dir`, one file each, as the carver does (with
// the SHA-256 of each when `hash`); the seconds it took, and the bytes
// written in `bytes`.
double export_seconds(const std::string &input, const std::vector<r_info> &finds, const std::string &dir, bool hash,
                      uint64_t *bytes) {
    *bytes = 0;
    mkdir(dir.c_str(), 0755);
    unsigned char digest[32];
    char written[256];
    auto t0 = Clock::now();
    size_t n = 0;
    for (const r_info &f : finds) {
        const std::string name = std::to_string(n++) + "." + f.suffix;
        const r_run run{f.offset, f.length};
        if (general_file_export_into(input.c_str(), &run, 1, dir.c_str(), name.c_str(), written, sizeof written,
                                     hash ? digest : nullptr) == 0)
            *bytes += f.length;
    }
    return seconds_since(t0);
}

// Seconds of `cp -r from to`.
double copy_tree_seconds(const std::string &from, const std::string &to) {
    const std::string cmd = "cp -r '" + from + "' '" + to + "'";
    auto t0 = Clock::now();
    const int status = system(cmd.c_str());
    const double s = seconds_since(t0);
    return status == 0 ? s : -1;
}

void remove_tree(const std::string &dir) { (void)!system(("rm -rf '" + dir + "'").c_str()); }

}  // namespace

// The name walk on full cards (card_walk.cpp).
int card_walk_main(int argc, char **argv);

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--cards") == 0) return card_walk_main(argc, argv);
    std::string sizes = "256", kinds = "random,zeros,dense", dir = "bench-data";
    std::string samples_dir = std::string(LUMAREK_SOURCE_DIR) + "/tests/data";
    int repeat = 1;
    bool both_modes = false;
    std::string export_dir;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--size") sizes = value();
        else if (a == "--inputs") kinds = value();
        else if (a == "--dir") dir = value();
        else if (a == "--samples") samples_dir = value();
        else if (a == "--repeat") repeat = std::max(1, atoi(value().c_str()));
        else if (a == "--export") export_dir = value();
        else if (a == "--deep") both_modes = true;
        else {
            fprintf(stderr, "usage: %s [--size MiB[,MiB]] [--inputs random,zeros,dense,dense-ext2] [--dir DIR] [--samples DIR] [--repeat N] [--export DIR] [--deep]\n", argv[0]);
            return 2;
        }
    }
    mkdir(dir.c_str(), 0755);
    std::vector<Sample> samples;
    collect_samples(samples_dir, samples);

    FILE *devnull = fopen("/dev/null", "w");
    set_diagnostic_output(devnull);
    install_timed_probes();
    Receiver rx;
    set_callbacks(&rx, on_recovered, on_progress, on_proceed);
    set_runs_callback(on_recovered_runs);
    skip_exist = 0;
    is_formated = 1;

    const int label_width = both_modes ? 11 : 8;
    printf("%-*s %8s %12s %12s %7s %10s %12s\n", label_width, "input", "MiB", "read MB/s", "scan MB/s", "ratio", "finds",
           "finds/s");
    for (const std::string &ssize : split(sizes)) {
        uint64_t size = uint64_t(atoll(ssize.c_str())) << 20;
        for (const std::string &kind : split(kinds)) {
            std::string path = dir + "/" + kind + "-" + ssize + "M.img";
            if (!make_input(path, kind, size, samples)) {
                fprintf(stderr, "cannot build %s\n", path.c_str());
                return 1;
            }
            uint64_t bytes = 0;
            plain_read_seconds(path, &bytes);  // make the file hot
            // The built-in rules, then (with --deep) the deep mode, each
            // against the same two reads around them.
            const std::vector<bool> modes = both_modes ? std::vector<bool>{false, true} : std::vector<bool>{false};
            std::vector<double> reads;
            std::vector<std::vector<double>> scans(modes.size()), ratios(modes.size());
            double last_scan = 0;  // seconds of the last scan by the built-in rules
            for (int r = 0; r < repeat; ++r) {
                double read1 = plain_read_seconds(path, &bytes);
                std::vector<double> scan(modes.size());
                std::vector<size_t> finds(modes.size());
                std::vector<std::string> probe_lines(modes.size());
                for (size_t m = 0; m < modes.size(); ++m) {
                    for (auto &s : g_stats) s.second.calls = s.second.finds = 0, s.second.seconds = 0;
                    deep_scan = modes[m] ? 1 : 0;
                    rx.finds = 0;
                    // The finds of the built-in rules' last scan are the ones exported.
                    rx.keep_all = !export_dir.empty() && r == repeat - 1 && !modes[m];
                    if (rx.keep_all) rx.all.clear();
                    // A volume is scanned in its free space.
                    const bool volume = kind == "dense-ext2";
                    skip_exist = volume ? 1 : 0;
                    is_formated = volume ? 0 : 1;
                    auto t0 = Clock::now();
                    start_recovery2(path.c_str(), k_all_types.c_str(), "", 0);
                    scan[m] = seconds_since(t0);
                    if (!modes[m]) last_scan = scan[m];
                    skip_exist = 0;
                    is_formated = 1;
                    deep_scan = 0;
                    finds[m] = rx.finds;
                    double probe_total = 0;
                    for (auto &s : g_stats) probe_total += s.second.seconds;
                    if (probe_total > scan[m] * 0.01) {
                        char line[256];
                        snprintf(line, sizeof line, "         probe time %.3f s of %.3f s:", probe_total, scan[m]);
                        probe_lines[m] = line;
                        std::vector<ProbeStat> v;
                        for (auto &s : g_stats)
                            if (s.second.calls) v.push_back(s.second);
                        std::sort(v.begin(), v.end(), [](auto &a, auto &b) { return a.seconds > b.seconds; });
                        for (auto &s : v) {
                            snprintf(line, sizeof line, " %s %.3fs/%llu calls/%llu finds;", s.name, s.seconds,
                                     s.calls, s.finds);
                            probe_lines[m] += line;
                        }
                    }
                }
                double read2 = plain_read_seconds(path, &bytes);
                double read = (read1 + read2) / 2;
                double mb = double(bytes) / 1e6;
                reads.push_back(mb / read);
                for (size_t m = 0; m < modes.size(); ++m) {
                    std::string label = kind + (modes[m] ? " deep" : "");
                    printf("%-*s %8s %12.1f %12.1f %7.3f %10zu %12.1f\n", label_width, label.c_str(), ssize.c_str(),
                           mb / read, mb / scan[m], read / scan[m], finds[m], double(finds[m]) / scan[m]);
                    scans[m].push_back(mb / scan[m]);
                    ratios[m].push_back(read / scan[m]);
                    if (!probe_lines[m].empty()) printf("%s\n", probe_lines[m].c_str());
                }
                fflush(stdout);
            }
            if (!rx.all.empty()) {
                mkdir(export_dir.c_str(), 0755);
                const std::string files = export_dir + "/files", copy = export_dir + "/copy";
                uint64_t written = 0;
                std::vector<double> plain, hashed, copies, plain_ratios, hashed_ratios;
                for (int r = 0; r < repeat; ++r) {
                    const double e = export_seconds(path, rx.all, files, false, &written);
                    const double c = copy_tree_seconds(files, copy);
                    remove_tree(copy);
                    remove_tree(files);
                    const double h = export_seconds(path, rx.all, files, true, &written);
                    remove_tree(files);
                    plain.push_back(e);
                    hashed.push_back(h);
                    copies.push_back(c);
                    plain_ratios.push_back((last_scan + c) / (last_scan + e));
                    hashed_ratios.push_back((last_scan + c) / (last_scan + h));
                    printf("%-8s %8s export %zu finds, %.1f MB: scan %.2f s, export %.2f s, with SHA-256 %.2f s, "
                           "cp -r %.2f s; (scan+cp)/(scan+export) %.3f, with SHA-256 %.3f\n",
                           kind.c_str(), ssize.c_str(), rx.all.size(), double(written) / 1e6, last_scan, e, h, c,
                           plain_ratios.back(), hashed_ratios.back());
                    fflush(stdout);
                }
                if (repeat > 2)
                    printf("%-8s %8s export: %.2f s, with SHA-256 %.2f s, cp -r %.2f s; ratio %.3f, with SHA-256 "
                           "%.3f   (median of %d)\n",
                           kind.c_str(), ssize.c_str(), median(plain), median(hashed), median(copies),
                           median(plain_ratios), median(hashed_ratios), repeat);
                rx.all.clear();
                rx.all.shrink_to_fit();
            }
            if (repeat > 2) {
                // A shared machine slows single passes at random: the median
                // of the runs is the figure to compare.
                for (size_t m = 0; m < modes.size(); ++m) {
                    std::string label = kind + (modes[m] ? " deep" : "");
                    printf("%-*s %8s %12.1f %12.1f %7.3f   (median of %d)\n", label_width, label.c_str(),
                           ssize.c_str(), median(reads), median(scans[m]), median(ratios[m]), repeat);
                }
                fflush(stdout);
            }
        }
    }
    printf("peak RSS %ld KiB\n", peak_rss_kb());
    set_diagnostic_output(nullptr);
    fclose(devnull);
    return 0;
}
