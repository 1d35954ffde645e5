// MPEG program streams are searched for but never reported: their end
// cannot be told from the pack headers alone.
#include "../probe_reader.h"

extern "C" uint64_t probe_mpg(recovery_state *state, search_spec_entry *, const unsigned char *data,
                              int32_t available, uint64_t offset, uint64_t limit, int32_t *) {
    lmr::probe_reader in(state, data, available, offset, limit);
    if (!in) return 0;
    unsigned char pack[16];
    in.read(pack, sizeof pack);
    return 0;
}
