// Hands a candidate to the probe of its type: in a deep scan the type's deep
// walk where it has one, else its built-in probe.  Which probes serve which
// type key is said once, in the list of file types; this builds the lookup.
#include "engine_internal.h"
#include "file_types.h"
#include "scan_run.h"

#include <array>

namespace {

constexpr int32_t k_max_key = 64;

// The rows' built-in probes (deep: false) or deep walks (true) by key.  No
// pointer is compared with null here: a sanitizer build could not do that
// at compile time.
constexpr std::array<probe_fn, k_max_key> column_by_key(bool deep) {
    std::array<probe_fn, k_max_key> by_key{};
    for (const lmr::file_type &t : lmr::k_file_types)
        if ((t.roles & lmr::role_row) && t.key >= 0 && t.key < k_max_key)
            by_key[size_t(t.key)] = deep ? t.deep : t.probe;
    return by_key;
}

constexpr std::array<probe_fn, k_max_key> k_builtin = column_by_key(false);
constexpr std::array<probe_fn, k_max_key> k_deep = column_by_key(true);

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
    // The run's mode; a probe called outside a run takes the deep flag as
    // it is now.
    const lmr::scan_run *run = lmr::run_of(state);
    const bool deep = run ? run->deep : lmr::load_flag(&deep_scan) != 0;
    const size_t key = size_t(entry->type_key);
    probe_fn probe = deep && k_deep[key] ? k_deep[key] : k_builtin[key];
    if (probe) return probe(state, entry, data, available, offset, limit, found);
    // A signature without a probe (htm, wpd, cpp, gz, exe, elf, reg):
    // searched, never reported; or a type only the deep scan finds, probed
    // in a scan with the built-in rules.
    return 0;
}
