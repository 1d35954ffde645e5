// The built-in signature table and the configuration of a run's search
// table from its suffix list.  The rows' names, the requested-name aliases
// and the other spellings come from the list of file types.
#include "engine_internal.h"
#include "file_types.h"
#include "scan_run.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

const unsigned char k_jpg_h[] = {0xFF, 0xD8, 0xFF};
const unsigned char k_jpg_f[] = {0xFF, 0xD9};
const unsigned char k_png_h[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const unsigned char k_png_f[] = {0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
const unsigned char k_gif_h[] = {'G', 'I', 'F', '8'};
const unsigned char k_gif_f[] = {0x00, 0x3B};
const unsigned char k_bmp_h[] = {'B', 'M'};
const unsigned char k_mp3_h[] = {0x49, 0x44, 0x33, 0x03};
const unsigned char k_mp3_f[] = {'T', 'A', 'G'};
const unsigned char k_mp4_h[] = {'f', 't', 'y', 'p'};
const unsigned char k_wmv_h[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11};
const unsigned char k_wmv_f[] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9};
const unsigned char k_mpg_h[] = {0x00, 0x00, 0x01, 0xBA};
const unsigned char k_mpg_f[] = {0x00, 0x00, 0x01, 0xB9};
const unsigned char k_rif_h[] = {'R', 'I', 'F', 'F'};
const unsigned char k_rif_f[] = {'I', 'N', 'F', 'O'};
const unsigned char k_exe_h[] = {'M', 'Z'};
const unsigned char k_rar_h[] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const unsigned char k_rar_f[] = {0, 0, 0, 0, 0, 0, 0, 0};
const unsigned char k_gz_h[] = {0x1F, 0x8B};
const unsigned char k_gz_f[] = {0, 0, 0, 0};
const unsigned char k_zip_h[] = {0x50, 0x4B, 0x03, 0x04};
const unsigned char k_zip_f[] = {0x50, 0x4B, 0x05, 0x06};
const unsigned char k_ole_h[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0, 0, 0, 0, 0, 0, 0};
const unsigned char k_pdf_h[] = {'%', 'P', 'D', 'F', '-', '1', '.'};
const unsigned char k_pdf_f[] = {'%', '%', 'E', 'O', 'F', 0x0D};
const unsigned char k_htm_h[] = {'<', 'h', 't', 'm', 'l'};
const unsigned char k_htm_f[] = {'<', '/', 'h', 't', 'm', 'l', '>'};
const unsigned char k_cpp_h[] = {'#', 'i', 'n', 'c', 'l', 'u', 'd', 'e'};
const unsigned char k_cpp_f[] = {'c', 'h', 'a', 'r'};
const unsigned char k_elf_h[] = {'0', 'x', '7', 'f'};
const unsigned char k_reg_h[] = {'r', 'e', 'g', 'f'};
const unsigned char k_wpd_h[] = {0xFF, 0x57, 0x50, 0x43};
const unsigned char k_amr_h[] = {'#', '!', 'A', 'M', 'R', '\n'};
const unsigned char k_sqlite_h[] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
const unsigned char k_txt_h[] = {0xEF, 0xBB, 0xBF};

#define ROW(key, h, f, max, cs) {key, lmr::row_name(key), h, int32_t(sizeof h), f, int32_t(sizeof f), max, cs}
#define ROWN(key, h, max, cs) {key, lmr::row_name(key), h, int32_t(sizeof h), nullptr, 0, max, cs}

constexpr int count_roles(uint8_t role) {
    int n = 0;
    for (const lmr::file_type &t : lmr::k_file_types)
        if (t.roles & role) ++n;
    return n;
}
// Rows added beside the built-in signature rows bring their own signature.
constexpr int count_own_signatures() {
    int n = 0;
    for (const lmr::file_type &t : lmr::k_file_types)
        if ((t.roles & lmr::role_row) && t.scan.own.header_len > 0) ++n;
    return n;
}
static_assert(count_roles(lmr::role_row) - count_own_signatures() == LMR_BUILTIN_COUNT,
              "one row name per built-in signature row");
static_assert(count_roles(lmr::role_alias) == LMR_ALIAS_COUNT, "the alias table keeps its size");

const unsigned char k_mark_gif[] = {0x00, 0x00, 0x3B};
const unsigned char k_mark_mpg[] = {0x00, 0x00, 0x01};
const unsigned char k_mark_obj[] = {'o', 'b', 'j'};
const unsigned char k_mark_xref[] = {'x', 'r', 'e', 'f'};
const unsigned char k_mark_trailer[] = {'t', 'r', 'a', 'i', 'l', 'e', 'r'};
const unsigned char k_mark_int[] = {'i', 'n', 't'};

constexpr int32_t k_tif_le = lmr::row_key("tif");
constexpr int32_t k_tif_be = lmr::row_key("tiff");
static_assert(k_tif_le >= 0 && k_tif_be >= 0, "both TIFF rows exist");

// Configures the signature row of `key` for the requested `name`.
void configure_row(recovery_state *state, int32_t key, const char *name);

// The name copies each entry of search_spec owns, released when the entry
// is reused.
char *owned_names[LMR_MAX_SPECS];

// The table a state's types are configured into: its run's, or for a state
// of no run the C interface's search_spec.
struct table_ref {
    search_spec_entry *entries;
    char **names;
};

table_ref table_of(const recovery_state *state) {
    if (const lmr::scan_run *run = lmr::run_of(state); run && run->types && run->type_names)
        return {run->types, run->type_names};
    return {search_spec, owned_names};
}

void release_entry(const table_ref &t, int index) {
    search_spec_entry *e = &t.entries[index];
    free(e->header.value);
    free(e->footer.value);
    for (auto &m : e->markers) free(m.value);
    free(t.names[index]);
    t.names[index] = nullptr;
    memset(e, 0, sizeof *e);
}

unsigned char *copy_bytes(const unsigned char *p, int32_t n) {
    if (!p || n <= 0) return nullptr;
    auto *c = static_cast<unsigned char *>(malloc(size_t(n)));
    if (c) memcpy(c, p, size_t(n));
    return c;
}

}  // namespace

extern "C" {

const builtin_type builtin_types[LMR_BUILTIN_COUNT] = {
    ROW(0, k_jpg_h, k_jpg_f, 10485760ull, 1),
    ROW(24, k_png_h, k_png_f, 1048576ull, 1),
    ROW(1, k_gif_h, k_gif_f, 1048576ull, 1),
    ROWN(2, k_bmp_h, 2097152ull, 1),
    ROW(33, k_mp3_h, k_mp3_f, 20971520ull, 1),
    ROWN(32, k_mp4_h, 524288000ull, 1),
    ROW(7, k_wmv_h, k_wmv_f, 20971520ull, 1),
    ROW(3, k_mpg_h, k_mpg_f, 52428800ull, 1),
    ROW(17, k_rif_h, k_rif_f, 20971520ull, 1),
    ROWN(26, k_exe_h, 1048576ull, 1),
    ROW(25, k_rar_h, k_rar_f, 104857600ull, 1),
    ROW(16, k_gz_h, k_gz_f, 104857600ull, 1),
    ROW(9, k_zip_h, k_zip_f, 10485760ull, 1),
    ROWN(15, k_ole_h, 10485760ull, 1),
    ROW(4, k_pdf_h, k_pdf_f, 20971520ull, 1),
    ROW(8, k_htm_h, k_htm_f, 1048576ull, 0),
    ROW(14, k_cpp_h, k_cpp_f, 1048576ull, 1),
    ROWN(27, k_elf_h, 1048576ull, 1),
    ROWN(28, k_reg_h, 2097152ull, 1),
    ROWN(13, k_wpd_h, 1048576ull, 1),
    ROWN(35, k_amr_h, 1048576ull, 1),
    ROWN(36, k_sqlite_h, 10485760ull, 1),
    ROWN(37, k_txt_h, 1048576ull, 1),
};

search_spec_entry search_spec[LMR_MAX_SPECS];

void set_search_suffix(recovery_state *state, const char *suffixs) {
    if (!state || !suffixs) return;
    // Lists are meant to be shorter than 1024 bytes; a longer one is taken
    // up to that limit.
    char list[LMR_SUFFIX_LIST_MAX];
    size_t n = strnlen(suffixs, sizeof list - 1);
    memcpy(list, suffixs, n);
    list[n] = '\0';
    char *start = list;
    for (;;) {
        char *comma = strchr(start, ',');
        if (comma) *comma = '\0';
        set_search(state, start);
        if (!comma) break;
        start = comma + 1;
    }
}

void set_search(recovery_state *state, const char *name) {
    if (!name) return;
    // Another spelling ("jpeg", "gzip") is asked for under the row's name.
    const lmr::file_type *t = lmr::find_type(name);
    if (t && (t->roles & lmr::role_spelling)) return set_search_def(state, lmr::row_name(t->key));
    // A name of the TIFF family is searched in both byte orders.
    if (t && (t->key == k_tif_le || t->key == k_tif_be) && (t->roles & (lmr::role_row | lmr::role_alias))) {
        configure_row(state, k_tif_le, name);
        configure_row(state, k_tif_be, name);
        return;
    }
    if (strcmp(name, "office") == 0) {
        for (const char *n : {"doc", "ppt", "xls", "docx", "pptx", "xlsx"}) set_search_def(state, n);
        return;
    }
    set_search_def(state, name);
}

void set_search_def(recovery_state *state, const char *name) {
    if (!state || !name || !*name) return;
    // A row's own name or an alias; other spellings were rewritten by
    // set_search, and a name without a signature is not searched for.
    const lmr::file_type *type = lmr::find_type(name);
    if (!type || !(type->roles & (lmr::role_row | lmr::role_alias))) return;
    configure_row(state, type->key, name);
}

}  // extern "C"

namespace {

void configure_row(recovery_state *state, int32_t key, const char *name) {
    const builtin_type *row = nullptr;
    for (const builtin_type &t : builtin_types) {
        if (t.type_key == key) {
            row = &t;
            break;
        }
    }
    if (!row) {
        // A row added beside the built-in ones, with its own signature.
        const lmr::file_type *own = lmr::row_entry(key);
        if (!own || own->scan.own.header_len <= 0) return;
        const lmr::signature &sig = own->scan.own;
        init_builtin(state, key, name, sig.header, nullptr, sig.header_len, 0, sig.max_len, 1);
        return;
    }
    const char *canonical = row->name;
    int before = state->spec_count;
    int index = init_builtin(state, row->type_key, name, row->header, row->footer, row->header_len,
                             row->footer_len, row->max_len, row->case_sen);
    if (index < 0 || state->spec_count == before) return;  // already configured
    if (strcmp(canonical, "gif") == 0) {
        add_marker(state, index, k_mark_gif, sizeof k_mark_gif);
    } else if (strcmp(canonical, "mpg") == 0) {
        add_marker(state, index, k_mark_mpg, sizeof k_mark_mpg);
    } else if (strcmp(canonical, "pdf") == 0) {
        add_marker(state, index, k_mark_obj, sizeof k_mark_obj);
        add_marker(state, index, k_mark_xref, sizeof k_mark_xref);
        add_marker(state, index, k_mark_trailer, sizeof k_mark_trailer);
    } else if (strcmp(canonical, "cpp") == 0) {
        add_marker(state, index, k_mark_int, sizeof k_mark_int);
    }
}

}  // namespace

extern "C" {

int init_builtin(recovery_state *state, int32_t key, const char *name,
                 const unsigned char *header, const unsigned char *footer, int32_t header_len,
                 int32_t footer_len, uint64_t max_len, int32_t case_sen) {
    if (!state || !name) return -1;
    const table_ref table = table_of(state);
    for (int i = 0; i < state->spec_count && i < LMR_MAX_SPECS; ++i) {
        search_spec_entry *e = &table.entries[i];
        if (e->type_key != key) continue;
        size_t have = strlen(e->requested);
        size_t add = strlen(name);
        if (have + 1 + add < sizeof e->requested) {
            e->requested[have] = ',';
            memcpy(e->requested + have + 1, name, add + 1);
        }
        return i;
    }
    if (state->spec_count >= LMR_MAX_SPECS) return -1;
    int index = state->spec_count;
    search_spec_entry *e = &table.entries[index];
    release_entry(table, index);
    table.names[index] = strdup(name);
    e->suffix = table.names[index] ? table.names[index] : "";
    strncpy(e->requested, name, sizeof e->requested - 1);
    e->type_key = key;
    e->max_len = max_len;
    e->header.value = copy_bytes(header, header_len);
    e->header.len = e->header.value ? header_len : 0;
    e->footer.value = copy_bytes(footer, footer_len);
    e->footer.len = e->footer.value ? footer_len : 0;
    e->num_markers = 0;
    e->case_sen = case_sen;
    init_bm_table(e->header.value, e->header.table, e->header.len, case_sen, 0);
    init_bm_table(e->footer.value, e->footer.table, e->footer.len, case_sen, 0);
    state->spec_count = index + 1;
    return index;
}

void add_marker(recovery_state *state, int index, const unsigned char *pattern, int32_t len) {
    if (!state || index < 0 || index >= LMR_MAX_SPECS) return;
    search_spec_entry *e = &table_of(state).entries[index];
    if (!pattern) {
        e->num_markers = 0;
        return;
    }
    if (e->num_markers >= LMR_MAX_MARKERS || len <= 0) return;
    search_pattern &m = e->markers[e->num_markers];
    free(m.value);
    m.value = copy_bytes(pattern, len);
    if (!m.value) return;
    m.len = len;
    init_bm_table(m.value, m.table, len, 1, 0);
    ++e->num_markers;
}

}  // extern "C"

lmr::search_table::search_table() {
    memset(entries, 0, sizeof entries);
    memset(names, 0, sizeof names);
}

lmr::search_table::~search_table() {
    for (int i = 0; i < LMR_MAX_SPECS; ++i) release_entry({entries, names}, i);
}

void lmr::use_process_table(scan_run &run) {
    run.types = search_spec;
    run.type_names = owned_names;
}
