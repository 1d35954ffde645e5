// Hands a candidate to the probe of its type.  The table is the only place
// that knows which probe serves which type key.
#include "engine_internal.h"

namespace {

struct probe_row {
    int32_t type_key;
    probe_fn probe;
};

const probe_row k_probes[] = {
    {0, probe_jpg},   {1, probe_gif},   {2, probe_bmp},     {3, probe_mpg},
    {4, probe_pdf},   {7, probe_wmv},   {9, probe_zip},     {15, probe_ole},
    {17, probe_riff}, {24, probe_png},  {25, probe_rar},    {32, probe_mp4},
    {33, probe_mp3},  {35, probe_amr},  {36, probe_sqlite}, {37, probe_txt},
};

constexpr int32_t k_max_key = 64;
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
    if (!entry) return 0;
    if (entry->type_key >= 0 && entry->type_key < k_max_key && overrides[entry->type_key])
        return overrides[entry->type_key](state, entry, data, available, offset, limit, found);
    for (const probe_row &row : k_probes) {
        if (row.type_key == entry->type_key)
            return row.probe(state, entry, data, available, offset, limit, found);
    }
    return 0;  // htm, wpd, cpp, gz, exe, elf, reg: searched, never reported
}
