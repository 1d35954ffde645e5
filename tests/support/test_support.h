// Small helpers shared by the engine's tests.
#pragma once

#include "engine/recovery_engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace lmrtest {

using Bytes = std::vector<unsigned char>;

// `n` pseudo-random bytes, the same for the same seed.
inline Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &c : b) c = static_cast<unsigned char>(rng());
    return b;
}

// `n` bytes of a pattern that a misplaced or repeated piece of them would not
// reproduce: byte i is i * step + i / drift.
inline Bytes pattern_bytes(size_t n, unsigned step = 13, size_t drift = 509) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (unsigned char)(i * step + i / drift);
    return b;
}

// The parts one after the other.
inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Deep scan on (or off) for the life of the object; the setting before it
// comes back afterwards.
class DeepScan {
public:
    explicit DeepScan(bool on = true) : before_(deep_scan) { deep_scan = on ? 1 : 0; }
    ~DeepScan() { deep_scan = before_; }
    DeepScan(const DeepScan &) = delete;
    DeepScan &operator=(const DeepScan &) = delete;

private:
    int32_t before_;
};

// Routes the engine's diagnostic lines into a temporary file for the life
// of the object.
class DiagCapture {
public:
    DiagCapture() : f_(tmpfile()) { set_diagnostic_output(f_); }
    ~DiagCapture() {
        set_diagnostic_output(nullptr);
        if (f_) fclose(f_);
    }
    DiagCapture(const DiagCapture &) = delete;
    DiagCapture &operator=(const DiagCapture &) = delete;

    // Everything written so far.
    std::string text() const {
        std::string s;
        if (!f_) return s;
        fflush(f_);
        rewind(f_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f_)) > 0) s.append(buf, n);
        return s;
    }
    // The complete lines written so far.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        if (!f_) return out;
        fflush(f_);
        rewind(f_);
        std::string cur;
        for (int c; (c = fgetc(f_)) != EOF;) {
            if (c == '\n') {
                out.push_back(cur);
                cur.clear();
            } else {
                cur.push_back(char(c));
            }
        }
        fseek(f_, 0, SEEK_END);
        return out;
    }
    bool has(const std::string &line) const {
        auto l = lines();
        return std::find(l.begin(), l.end(), line) != l.end();
    }

private:
    FILE *f_;
};

inline Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The size of a file; 0 when it cannot be read.
inline uint64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Bytes this process has read through system calls so far.
inline uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}

// Runs a shell command; its standard output, and its status in `status`.
inline std::string run(const std::string &cmd, int *status = nullptr) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = st;
    return out;
}

// True when `name` is a command the shell finds.
inline bool have_tool(const char *name) {
    return run(std::string("command -v ") + name + " >/dev/null 2>&1 && echo yes") == "yes\n";
}

inline std::string data_path(const std::string &name) { return std::string(LUMAREK_TEST_DATA) + "/" + name; }

// Writes the demo volume (FAT32, 512-byte clusters, deleted samples of every
// kind) to `image`, and the names of the deleted samples to `deleted_list`
// when one is given.  False when it could not be made (mkfs.vfat or mtools
// missing).
inline bool make_demo_volume(const std::string &image, const std::string &deleted_list = "") {
    std::string cmd = "'" LUMAREK_SOURCE_DIR "/scripts/make-demo-volume' '" + image + "'";
    if (!deleted_list.empty()) cmd += " '" + deleted_list + "'";
    int status = 0;
    run(cmd + " 2>/dev/null", &status);
    return status == 0;
}

// What `body` writes to standard output.
template <typename F>
std::string stdoutOf(F body) {
    fflush(stdout);
    FILE *capture = tmpfile();
    if (!capture) return std::string();
    int saved = dup(1);
    dup2(fileno(capture), 1);
    body();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(capture);
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, capture)) > 0;) text.append(buf, n);
    fclose(capture);
    return text;
}

// A file in the temporary folder, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const Bytes &content = {}, const std::string &tag = "lmr") {
        std::string tmpl = std::string(P_tmpdir) + "/" + tag + "-XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        path_ = name.data();
        if (fd >= 0) {
            size_t off = 0;
            while (off < content.size()) {
                ssize_t w = ::write(fd, content.data() + off, content.size() - off);
                if (w <= 0) break;
                off += size_t(w);
            }
            ::close(fd);
        }
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A folder in the temporary folder, removed with what is in it.
class TempDir {
public:
    explicit TempDir(const std::string &tag = "lmr") {
        std::string tmpl = std::string(P_tmpdir) + "/" + tag + "-XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (mkdtemp(name.data())) path_ = name.data();
    }
    ~TempDir() {
        if (!path_.empty()) run("rm -rf '" + path_ + "'");
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string at(const std::string &name) const { return path_ + "/" + name; }
    // The names in the folder.
    std::set<std::string> entries() const {
        std::set<std::string> names;
        if (DIR *d = opendir(path_.c_str())) {
            while (dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.insert(e->d_name);
            closedir(d);
        }
        return names;
    }

private:
    std::string path_;
};

// The index of the entry of the signature row `key` among the entries of a
// configured run (the last, where a name configures two rows), or -1.
inline int entry_index(const recovery_state *state, int32_t key) {
    int at = -1;
    for (int i = 0; i < state->spec_count; ++i)
        if (search_spec[i].type_key == key) at = i;
    return at;
}

// A run state configured for the given suffix list, as start_recovery2
// would build it, so a probe can be called directly.
class ProbeRun {
public:
    ProbeRun(const std::string &input, const char *suffixes) {
        init_state(&state_, input.c_str());
        set_search_suffix(&state_, suffixes);
    }
    ~ProbeRun() { free(state_.InputFile); }
    recovery_state *state() { return &state_; }
    search_spec_entry *entry(int i = 0) { return &search_spec[i]; }

    // Calls the dispatcher as the scan driver would for a candidate at
    // `offset` of the input, with `in_memory` of its bytes in the scan
    // buffer (the rest must come through the probe's own reads).
    struct Result {
        int32_t found;
        uint64_t length;
        std::string suffix;
    };
    Result probe(const Bytes &input, uint64_t offset, size_t in_memory, int entry_index = 0) {
        int32_t found = 0;
        size_t avail = input.size() - offset;
        if (in_memory > avail) in_memory = avail;
        uint64_t len = probe_file(&state_, entry(entry_index), input.data() + offset, int32_t(in_memory), offset,
                                  input.size() - offset, &found);
        const char *s = entry(entry_index)->suffix;
        return {found, len, s ? s : ""};
    }

private:
    recovery_state state_{};
};

// What a probe made of a candidate of one signature row.
struct ProbeOutcome {
    bool found;
    uint64_t length;
    std::string suffix;
};

// Probes a candidate at `offset` of `input` on the entry of the row `key` of
// a run configured for `suffixes`, with `in_memory` bytes handed over as the
// scan buffer and `input` as the file read on from.  Nothing is found when
// the suffixes configure no entry of that row.
inline ProbeOutcome probe_row(int32_t key, const Bytes &input, const char *suffixes, size_t offset = 0,
                         size_t in_memory = SIZE_MAX) {
    TempFile f(input);
    ProbeRun run(f.path(), suffixes);
    const int at = entry_index(run.state(), key);
    if (at < 0) return {false, 0, ""};
    auto r = run.probe(input, offset, in_memory, at);
    return {r.found == 1, r.length, r.suffix};
}

// A candidate at `offset` of `input` (its start unless given), probed as the
// scan driver would, with `input` also as the file the probe reads on from.
inline ProbeRun::Result probe_once(const Bytes &input, const char *suffixes, size_t in_memory, uint64_t offset = 0) {
    TempFile f(input);
    ProbeRun run(f.path(), suffixes);
    return run.probe(input, offset, in_memory);
}

}  // namespace lmrtest
