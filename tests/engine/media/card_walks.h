// Calls one of the deep walks of a modern card's formats directly, with an
// entry of its own (requested names, size limit), as the dispatcher would.
#pragma once

#include "engine/file_types.h"
#include "probe_helpers.h"

namespace lmrtest {

struct WalkResult {
    int32_t found;
    uint64_t length;
    std::string suffix;
};

inline WalkResult walk(probe_fn fn, const Bytes &input, const char *requested, size_t in_memory,
                       uint64_t max_len = 0) {
    TempFile f(input);
    recovery_state state{};
    init_state(&state, f.path().c_str());
    search_spec_entry entry{};
    strncpy(entry.requested, requested, sizeof entry.requested - 1);
    entry.suffix = "";
    entry.max_len = max_len;
    int32_t found = 0;
    if (in_memory > input.size()) in_memory = input.size();
    DiagCapture quiet;
    const uint64_t len = fn(&state, &entry, input.data(), int32_t(in_memory), 0, input.size(), &found);
    free(state.InputFile);
    return {found, len, entry.suffix ? entry.suffix : ""};
}

// Every name the walks of this suite report.
inline constexpr const char *k_card_names = "heic,avif,cr3,m4a,ogg,opus,oga,flac,mkv,webm,aac";

}  // namespace lmrtest
