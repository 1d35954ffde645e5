/* Compiled as C: the engine's interface must stay valid C. */
#include "engine/recovery_engine.h"

int lmr_c_header_check(void) {
    r_info info;
    recovery_state state;
    bs reader;
    chunk_list list;
    search_spec_entry entry;
    (void)reader;
    (void)list;
    (void)entry;
    state.spec_count = 0;
    info.offset = 0;
    return (int)(sizeof info.path + sizeof info.suffix) + state.spec_count + (int)info.offset;
}
