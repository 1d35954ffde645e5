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
    MemFile(const uint8_t *data, size_t size) {
        fd_ = memfd_create("lmr-fuzz", 0);
        if (fd_ < 0) abort();
        size_t off = 0;
        while (off < size) {
            ssize_t w = write(fd_, data + off, size - off);
            if (w <= 0) abort();
            off += size_t(w);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { close(fd_); }
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
    recovery_state state{};
    init_state(&state, "/dev/null");
    set_search_suffix(&state, types);
    for (int i = 0; i < state.spec_count; ++i) {
        search_spec_entry *e = &search_spec[i];
        std::string cand;
        if (e->type_key == 32) cand.assign("\0\0\0\x18", 4);  // "ftyp" stands at byte 4
        cand.append(reinterpret_cast<const char *>(e->header.value), size_t(e->header.len));
        cand.append(reinterpret_cast<const char *>(data), size);
        MemFile file(reinterpret_cast<const uint8_t *>(cand.data()), cand.size());
        free(state.InputFile);
        state.InputFile = strdup(file.path());
        size_t in_memory = cand.size() * head_share / 255;
        // The scan buffer holds at least the header when a probe is called.
        if (in_memory < size_t(e->header.len)) in_memory = std::min(cand.size(), size_t(e->header.len));
        // The in-memory part lives in its own allocation, so that a read past
        // it is caught.
        auto *head = static_cast<unsigned char *>(malloc(in_memory ? in_memory : 1));
        memcpy(head, cand.data(), in_memory);
        int32_t found = 0;
        uint64_t len = probe_file(&state, e, head, int32_t(in_memory), 0, cand.size(), &found);
        (void)len;
        free(head);
    }
    free(state.InputFile);
}

}  // namespace lmrfuzz
