// Hands a candidate to the probe of its type.  Which probe serves which type
// key is said once, in the list of file types; this builds the lookup.
#include "engine_internal.h"
#include "file_types.h"

#include <array>

namespace {

constexpr int32_t k_max_key = 64;

constexpr std::array<probe_fn, k_max_key> probes_by_key() {
    std::array<probe_fn, k_max_key> by_key{};
    for (const lmr::file_type &t : lmr::k_file_types)
        if ((t.roles & lmr::role_row) && t.key >= 0 && t.key < k_max_key) by_key[size_t(t.key)] = t.probe;
    return by_key;
}

constexpr std::array<probe_fn, k_max_key> k_probes = probes_by_key();

probe_fn overrides[k_max_key];

}  // namespace

extern "C" probe_fn register_probe(int32_t type_key, probe_fn probe) {
    if (type_key < 0 || type_key >= k_max_key) return nullptr;
    probe_fn previous = overrides[type_key];
    overrides[type_key] = probe;
    return previous;
}

extern "C" uint64_t probe_file(recovery_state *state, search_spec_entry *entry,
                               const unsigned char *data, int32_t available, uint64_t offset,
                               uint64_t limit, int32_t *found) {
    if (!entry || entry->type_key < 0 || entry->type_key >= k_max_key) return 0;
    if (probe_fn own = overrides[entry->type_key]) return own(state, entry, data, available, offset, limit, found);
    if (probe_fn probe = k_probes[size_t(entry->type_key)])
        return probe(state, entry, data, available, offset, limit, found);
    return 0;  // a signature without a probe (htm, wpd, cpp, gz, exe, elf, reg): searched, never reported
}
