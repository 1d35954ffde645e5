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
#include <iterator>
#include <random>
#include <set>
#include <string>
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

inline std::string data_path(const std::string &name) { return std::string(LUMAREK_TEST_DATA) + "/" + name; }

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

// A candidate at the start of `input`, probed as the scan driver would, with
// `input` also as the file the probe reads on from.
inline ProbeRun::Result probe_once(const Bytes &input, const char *suffixes, size_t in_memory) {
    TempFile f(input);
    ProbeRun run(f.path(), suffixes);
    return run.probe(input, 0, in_memory);
}

}  // namespace lmrtest
