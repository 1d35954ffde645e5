// Backs a fuzz input by an in-memory file, so that the engine's readers can
// open it by path like any image or device.
#pragma once

#include "engine/recovery_engine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace lmrfuzz {

class MemFile {
public:
    MemFile(const uint8_t *data, size_t size) { assign(data, size); }
    MemFile() = default;
    ~MemFile() {
        if (fd_ >= 0) close(fd_);
    }
    MemFile(const MemFile &) = delete;
    MemFile &operator=(const MemFile &) = delete;

    // Replaces the content; the same descriptor (and path) serves every
    // iteration of a fuzzer.
    void assign(const uint8_t *data, size_t size) {
        if (fd_ < 0) {
            fd_ = memfd_create("lmr-fuzz", 0);
            if (fd_ < 0) abort();
            path_ = "/proc/self/fd/" + std::to_string(fd_);
        }
        if (ftruncate(fd_, 0) != 0) abort();
        size_t off = 0;
        while (off < size) {
            ssize_t w = pwrite(fd_, data + off, size - off, off_t(off));
            if (w <= 0) abort();
            off += size_t(w);
        }
    }
    const char *path() const { return path_.c_str(); }

private:
    int fd_ = -1;
    std::string path_;
};

// Engine diagnostics would flood the fuzzer's output.
inline void quiet() {
    static FILE *null = fopen("/dev/null", "w");
    set_diagnostic_output(null);
}

// Calls every configured entry's probe on a candidate that starts with the
// entry's header followed by the fuzz bytes.  The first fuzz byte decides
// how much of the candidate is "in memory"; the probe reads the rest through
// its own handle, so both paths of its reader are exercised.
inline void probe_all(const char *types, const uint8_t *data, size_t size) {
    quiet();
    if (size < 1) return;
    const unsigned head_share = data[0];
    ++data;
    --size;
    // Its lowest bit turns deep mode on, so the probes' structure walks are
    // fuzzed too; in deep mode its second bit leaves the header out, as the
    // scan hands some probes candidates that start otherwise (an MP3 found
    // by its frames).
    deep_scan = int32_t(head_share & 1);
    const bool bare = deep_scan && (head_share & 2);
    static recovery_state state{};
    static std::string configured;
    if (configured != types) {
        free(state.InputFile);
        init_state(&state, "");
        set_search_suffix(&state, types);
        configured = types;
    }
    // Every entry's candidate, one after the other in one file: the
    // entry's header (after the 4-byte box size for mp4) and the fuzz bytes.
    std::string all;
    size_t starts[LMR_MAX_SPECS + 1];
    for (int i = 0; i < state.spec_count; ++i) {
        const search_spec_entry *e = &search_spec[i];
        starts[i] = all.size();
        if (!bare && e->type_key == 32) all.append("\0\0\0\x18", 4);
        if (!bare) all.append(reinterpret_cast<const char *>(e->header.value), size_t(e->header.len));
        all.append(reinterpret_cast<const char *>(data), size);
    }
    starts[state.spec_count] = all.size();
    static MemFile file;
    file.assign(reinterpret_cast<const uint8_t *>(all.data()), all.size());
    free(state.InputFile);
    state.InputFile = strdup(file.path());
    for (int i = 0; i < state.spec_count; ++i) {
        search_spec_entry *e = &search_spec[i];
        const size_t at = starts[i], len = starts[i + 1] - starts[i];
        // The first fuzz byte decides how much of the candidate is "in
        // memory"; the probe reads the rest through its own handle, so both
        // paths of its reader are exercised.  The scan buffer always holds
        // at least the header when a probe is called.
        size_t in_memory = len * head_share / 255;
        size_t header = bare ? 4 : size_t(e->header.len) + (e->type_key == 32 ? 4 : 0);
        if (in_memory < header) in_memory = std::min(len, header);
        // The in-memory part lives in its own allocation, so that a read
        // past it is caught.
        auto *head = static_cast<unsigned char *>(malloc(in_memory ? in_memory : 1));
        memcpy(head, all.data() + at, in_memory);
        int32_t found = 0;
        probe_file(&state, e, head, int32_t(in_memory), at, len, &found);
        free(head);
    }
}

// Runs a free-space reader over `data` as a whole input: its free runs are
// never empty, ascend, and stay inside the input.
inline int check_free_space_reader(chunk_list *(*reader)(const char *), const uint8_t *data, size_t size) {
    quiet();
    MemFile file(data, size);
    chunk_list *list = reader(file.path());
    uint64_t end = 0;
    for (chunk *c = list ? list->head : nullptr; c; c = c->next) {
        if (c->length == 0 || c->offset < end || c->offset + c->length > size) abort();
        end = c->offset + c->length;
    }
    free_chunk_list(list);
    return 0;
}

// Walks `data` as a whole input for deleted files with their names: every
// path stays inside the folder it is exported into, and the bytes of a
// find said intact lie in the input.
inline int check_named_walk(const uint8_t *data, size_t size) {
    quiet();
    MemFile file(data, size);
    lmr_named_find *finds = nullptr;
    const int n = list_named_finds(file.path(), &finds);
    for (int i = 0; i < n; ++i) {
        const lmr_named_find &f = finds[i];
        const std::string path(f.path, strnlen(f.path, sizeof f.path));
        if (path.empty() || path.size() >= sizeof f.path || path[0] == '/' || f.run_count < 1) abort();
        size_t part = 0;
        for (size_t k = 0; k <= path.size(); ++k) {
            if (k < path.size() && static_cast<unsigned char>(path[k]) < 0x20) abort();
            if (k == path.size() || path[k] == '/') {
                const std::string p = path.substr(part, k - part);
                if (p.empty() || p == "." || p == ".." || p.size() > 255) abort();
                part = k + 1;
            }
        }
        uint64_t sum = 0;
        for (int32_t r = 0; r < f.run_count; ++r) {
            sum += f.runs[r].length;
            if (f.state == LMR_NAMED_INTACT && (f.runs[r].offset > size || f.runs[r].length > size - f.runs[r].offset))
                abort();
        }
        if (sum != f.size) abort();
    }
    free_named_finds(finds);
    return 0;
}

}  // namespace lmrfuzz
