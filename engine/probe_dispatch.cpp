// Hands a candidate to the probe of its type: in a deep scan the type's deep
// walk where it has one, else its built-in probe.  Which probes serve which
// type key is said once, in the list of file types; this builds the lookup.
#include "engine_internal.h"
#include "file_types.h"

#include <array>

namespace {

constexpr int32_t k_max_key = 64;

constexpr std::array<probe_fn, k_max_key> probes_by_key(bool deep) {
    std::array<probe_fn, k_max_key> by_key{};
    for (int32_t key = 0; key < k_max_key; ++key) by_key[size_t(key)] = lmr::probe_for(key, deep);
    return by_key;
}

constexpr std::array<probe_fn, k_max_key> k_probes[2] = {probes_by_key(false), probes_by_key(true)};

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
    if (probe_fn probe = k_probes[lmr::deep_mode()][size_t(entry->type_key)])
        return probe(state, entry, data, available, offset, limit, found);
    // A signature without a probe (htm, wpd, cpp, gz, exe, elf, reg):
    // searched, never reported; or a type only the deep scan finds, probed
    // in a scan with the built-in rules.
    return 0;
}
