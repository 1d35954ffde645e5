// Placeholder until this family's probes land: no finds.
#include "../../engine_internal.h"

extern "C" {
uint64_t probe_sqlite(recovery_state *, search_spec_entry *, const unsigned char *, int32_t, uint64_t, uint64_t,
            int32_t *) {
    return 0;
}
}
