// Every file type the engine knows, defined once.
//
// One row per name: the names a scan can be asked for, the names finds are
// reported under, their other spellings, and the few suffixes the object
// layer classifies without the engine searching for them.  Everything else
// that knows about types is built from this table:
//   - the names of the signature rows and the requested-name aliases
//     (signatures.cpp), and the expansion of other spellings ("jpeg");
//   - the probe dispatch (probe_dispatch.cpp): the built-in probe, or in a
//     deep scan the row's deep walk where it has one;
//   - what the scan driver does apart for a type (its scan rule: a header
//     that stands some bytes into the file, a test of its own at a block
//     start in deep mode, a run that scans for text);
//   - the object layer's suffix classes and its group strings;
//   - the groups of lumarek-carve, and the type lists of the benchmark and
//     of the fuzz harnesses.
// The signature bytes of the built-in rows (headers, footers, size limits)
// stay with the signature rows in signatures.cpp, keyed by the same type
// keys.
//
// To add a format the deep scan finds:
//   1. write its walk, a probe_fn, in one new unit
//      engine/probes/<family>/<format>.cpp (a function in namespace lmr,
//      reading through lmr::probe_reader; it never asks which mode runs);
//   2. declare it below with LMR_DEEP_WALK(name), and give it a signature
//      (its header bytes and its size limit) with
//      LMR_SIGNATURE;
//   3. add one row: its name, a key of its own below 64 (40 and up are
//      free), role R, no built-in probe, the walk in the deep column, its
//      family and groups, and the signature as its scan rule:
//        {"heic", 40, R, nullptr, deep_heic, f::image, yes, c::image,
//         d::image, IMG, {k_heic_signature}},
//      (`header_at` in the rule when the header stands some bytes into
//      the file, as mp4's "ftyp" at byte 4).
// Such a row is searched for only in deep mode: a scan with built-in rules
// leaves it out of its signature test, so it takes no block from another
// type.  A name a probe reports is in the carver's "all" group by that
// alone.
#pragma once

#include "recovery_engine.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace lmr {

// How a name reaches a signature row (bits).  A name with none of them has
// no signature: the object layer only classifies it.
enum name_role : uint8_t {
    role_row = 1,       // the row's own name (a signature row)
    role_alias = 2,     // a requested name mapped onto the row (the alias table)
    role_spelling = 4,  // rewritten to the row's own name before anything else ("jpeg")
};

// The object layer's suffix classes.
enum class category : uint8_t { none, image, document, video, audio, archive };

// The desktop program's fixed groups; a name is in one of them at most.
enum class desktop : uint8_t { none, image, document, program, archive, video, audio };

// Groups of lumarek-carve (bits); its "all" is every reported name.
enum cli_group : uint8_t { cli_images = 1, cli_documents = 2, cli_media = 4, cli_archives = 8 };

// Where a row's probe lives: engine/probes/<family>/.
enum class family : uint8_t { none, image, archive, media, document, compound };

// A test of the bytes at a block start; `p` holds at least 4 bytes
// (k_fallback_reach for a deep fallback).
using block_test = bool (*)(const unsigned char *p);
constexpr int k_fallback_reach = 16;
// A quick test of a block's first two bytes that a deep fallback needs to
// hold: where it fails, the fallback's own test fails too.
using pair_test = bool (*)(unsigned char first, unsigned char second);

// The signature of a row that is not among the built-in signature rows.
struct signature {
    const unsigned char *header = nullptr;
    int32_t header_len = 0;
    uint64_t max_len = 0;
};

#define LMR_SIGNATURE(name, max_len, ...)                                                 \
    inline constexpr unsigned char name##_bytes[] = {__VA_ARGS__};                        \
    inline constexpr ::lmr::signature name = {name##_bytes, int32_t(sizeof name##_bytes), max_len}

// What the scan driver does apart for a type; most rows keep the defaults.
struct scan_rule {
    signature own{};                 // the signature of a row added beside the built-in ones
    uint16_t header_at = 0;          // bytes from the file's first byte to its header
    block_test deep_start = nullptr; // deep mode: a block start is a candidate when this holds,
                                     // instead of when the header is there
    const char *deep_leads = "";     // the first bytes deep_start can accept (with its test)
    bool text_run = false;           // a run whose first type this is tests each block for text
    block_test deep_fallback = nullptr;  // deep mode: a block where no signature stands is this
                                         // row's candidate when this holds
    pair_test fallback_pair = nullptr;   // the first two bytes deep_fallback can accept (null: any)
};

struct file_type {
    const char *name;
    int32_t key;      // the signature row's type key; -1: no signature
    uint8_t roles;    // name_role bits
    probe_fn probe;   // on the row's own name: its probe (null: no find with the built-in rules)
    probe_fn deep;    // on the row's own name: its deep walk (null: the probe serves both modes)
    family fam;       // on the row's own name: the probe's family
    bool reported;    // a probe reports finds under exactly this name
    category cat;
    desktop desk;
    uint8_t cli;      // cli_group bits
    scan_rule scan{};
};

// The deep walks: a probe_fn each, in the unit of their format (exported,
// as the table is read outside the library too).
#define LMR_DEEP_WALK(name)                                                                       \
    LMR_API uint64_t name(recovery_state *state, search_spec_entry *entry, const unsigned char *data,     \
                  int32_t available, uint64_t offset, uint64_t limit, int32_t *found)
LMR_DEEP_WALK(deep_jpg);
LMR_DEEP_WALK(deep_png);
LMR_DEEP_WALK(deep_pdf);
LMR_DEEP_WALK(deep_zip);
LMR_DEEP_WALK(deep_rar);
LMR_DEEP_WALK(deep_mp3);
LMR_DEEP_WALK(deep_mp4);
LMR_DEEP_WALK(deep_bmp);
LMR_DEEP_WALK(deep_riff);
LMR_DEEP_WALK(deep_webp);
LMR_DEEP_WALK(deep_tif);
LMR_DEEP_WALK(deep_7z);
LMR_DEEP_WALK(deep_gz);
LMR_DEEP_WALK(deep_tar);
// Plain text of any kind (txt, html, xml, json, csv, eml), found in deep
// mode at a block where no signature stands when the block starts like text.
LMR_DEEP_WALK(deep_text);
LMR_API bool text_block_start(const unsigned char *p);
LMR_API bool text_block_pair(unsigned char first, unsigned char second);

// TIFF of either byte order; the little-endian row also takes the RAW
// variants with a magic of their own (ORF "IIRO", RW2 "IIU").
LMR_SIGNATURE(k_tif_signature, 209715200ull, 'I', 'I');
LMR_SIGNATURE(k_tiff_signature, 209715200ull, 'M', 'M', 0x00);
LMR_SIGNATURE(k_7z_signature, 1073741824ull, '7', 'z', 0xBC, 0xAF, 0x27, 0x1C);
// tar: the "ustar" magic of the first header block, at its byte 257.
LMR_SIGNATURE(k_tar_signature, 4294967296ull, 'u', 's', 't', 'a', 'r');

// The deep scan's test at a block start for MP3: an ID3v2 header, or an
// MPEG audio frame header (an MP3 without a tag starts with its first
// frame).  The MP3 unit decides.
LMR_API bool mp3_deep_start(const unsigned char *p);

// A modern card's pictures and sounds: still pictures and audio in ISO
// boxes (reached through mp4's "ftyp" by their brands), Ogg, FLAC,
// Matroska/WebM, AAC in ADTS, and AMR with its pauses.
LMR_DEEP_WALK(deep_heif);
LMR_DEEP_WALK(deep_m4a);
LMR_DEEP_WALK(deep_ogg);
LMR_DEEP_WALK(deep_flac);
LMR_DEEP_WALK(deep_mkv);
LMR_DEEP_WALK(deep_aac);
LMR_DEEP_WALK(deep_amr);
LMR_SIGNATURE(k_ogg_signature, 524288000ull, 'O', 'g', 'g', 'S');
LMR_SIGNATURE(k_flac_signature, 1073741824ull, 'f', 'L', 'a', 'C');
LMR_SIGNATURE(k_mkv_signature, 4294967296ull, 0x1A, 0x45, 0xDF, 0xA3);
LMR_SIGNATURE(k_aac_signature, 209715200ull, 0xFF, 0xF1);

namespace types_detail {
constexpr uint8_t R = role_row, A = role_alias, S = role_spelling;
constexpr bool yes = true, no = false;
using c = category;
using d = desktop;
using f = family;
constexpr uint8_t IMG = cli_images, DOC = cli_documents, MED = cli_media, ARC = cli_archives;

// The order of the rows is the order of every list built from them: the
// desktop program's group strings depend on it.  Columns as in file_type
// ("rep." is `reported`; the scan rule, where a row has one, ends the row).
inline constexpr file_type table[] = {
    // name      key roles  probe         deep          family       rep. class        desktop      carver
    {"jpg",      0, R,     probe_jpg,    deep_jpg,     f::image,    yes, c::image,    d::image,    IMG},
    {"png",     24, R,     probe_png,    deep_png,     f::image,    yes, c::image,    d::image,    IMG},
    {"gif",      1, R,     probe_gif,    nullptr,      f::image,    yes, c::image,    d::image,    IMG},
    {"bmp",      2, R,     probe_bmp,    deep_bmp,     f::image,    yes, c::image,    d::none,     IMG},
    {"jpeg",     0, S,     nullptr,      nullptr,      f::none,     no,  c::image,    d::none,     0},

    {"docx",     9, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::document, DOC},
    {"pptx",     9, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::document, DOC},
    {"xlsx",     9, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::document, DOC},
    {"doc",     15, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::document, DOC},
    {"ppt",     15, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::document, DOC},
    {"xls",     15, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::document, DOC},
    {"pdf",      4, R,     probe_pdf,    deep_pdf,     f::document, yes, c::document, d::document, DOC},
    {"sqlite",  36, R,     probe_sqlite, nullptr,      f::document, yes, c::none,     d::none,     DOC},
    {"txt",     37, R,     probe_txt,    deep_text,    f::document, yes, c::document, d::none,     DOC,
                                                                   {{}, 0, nullptr, "", true, text_block_start, text_block_pair}},
    // The kinds of text the deep scan tells apart, asked for on the text
    // row.  (The built-in table's "<html" row keeps its own name, htm.)
    {"html",    37, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::none,     DOC},
    {"xml",     37, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::none,     DOC},
    {"json",    37, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::none,     DOC},
    {"csv",     37, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::none,     DOC},
    {"eml",     37, A,     nullptr,      nullptr,      f::none,     yes, c::document, d::none,     DOC},

    {"apk",      9, A,     nullptr,      nullptr,      f::none,     yes, c::none,     d::program,  0},
    {"exe",     26, R,     nullptr,      nullptr,      f::none,     no,  c::none,     d::program,  0},

    {"zip",      9, R | A, probe_zip,    deep_zip,     f::archive,  yes, c::archive,  d::archive,  ARC},
    {"rar",     25, R,     probe_rar,    deep_rar,     f::archive,  yes, c::archive,  d::archive,  ARC},
    {"gzip",    16, S,     nullptr,      nullptr,      f::none,     no,  c::archive,  d::archive,  0},
    {"gz",      16, R,     nullptr,      deep_gz,      f::archive,  yes, c::archive,  d::none,     ARC},

    {"mp4",     32, R | A, probe_mp4,    deep_mp4,     f::media,    yes, c::video,    d::video,    MED, {{}, 4}},
    {"avi",     17, A,     nullptr,      nullptr,      f::none,     yes, c::video,    d::video,    MED},
    {"mov",     32, A,     nullptr,      nullptr,      f::none,     yes, c::video,    d::video,    MED},
    {"3gp",     32, A,     nullptr,      nullptr,      f::none,     yes, c::video,    d::video,    MED},
    {"wmv",      7, R,     probe_wmv,    nullptr,      f::media,    yes, c::video,    d::none,     MED},
    {"mpg",      3, R,     probe_mpg,    nullptr,      f::media,    no,  c::video,    d::none,     0},
    {"mpeg",     3, S,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"3gpp",    -1, 0,     nullptr,      nullptr,      f::none,     no,  c::video,    d::none,     0},
    {"mp3",     33, R,     probe_mp3,    deep_mp3,     f::media,    yes, c::audio,    d::audio,    MED,
                                                                                       {{}, 0, mp3_deep_start, "I\xFF"}},
    {"amr",     35, R,     probe_amr,    deep_amr,     f::media,    yes, c::audio,    d::audio,    MED},
    {"wav",     17, A,     nullptr,      nullptr,      f::none,     yes, c::audio,    d::audio,    MED},
    {"wma",     -1, 0,     nullptr,      nullptr,      f::none,     no,  c::audio,    d::none,     0},

    // Reported, but in no group of their own: only "all" has them.
    {"snb",      9, A,     nullptr,      nullptr,      f::none,     yes, c::none,     d::none,     0},
    {"ole",     15, R | A, probe_ole,    nullptr,      f::compound, yes, c::none,     d::none,     0},

    // Searched for, never reported: the probe names what it found instead
    // (rif: avi or wav), or no probe follows the signature.
    {"rif",     17, R | A, probe_riff,   deep_riff,     f::media,    no,  c::none,     d::none,     0},
    {"sxw",      9, A,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"sxc",      9, A,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"sxi",      9, A,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"htm",      8, R,     nullptr,      nullptr,      f::none,     no,  c::document, d::none,     0},
    {"cpp",     14, R,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"elf",     27, R,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"reg",     28, R,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},
    {"wpd",     13, R,     nullptr,      nullptr,      f::none,     no,  c::none,     d::none,     0},

    // Found in deep mode only.  Their class sorts them in the desktop
    // program; its fixed group strings stay as they are.  WebP is a RIFF
    // form: the RIFF row's deep walk hands it on.
    {"webp",    17, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    // TIFF and the camera RAW files built on it: the "II" and "MM" byte
    // orders are two rows; a name of the family configures both.
    {"tif",     50, R,     nullptr,      deep_tif,     f::image,    yes, c::image,    d::none,     IMG, {k_tif_signature}},
    {"tiff",    51, R,     nullptr,      deep_tif,     f::image,    no,  c::none,     d::none,     0,   {k_tiff_signature}},
    {"cr2",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"nef",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"arw",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"dng",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"orf",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"rw2",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"pef",     50, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"7z",      52, R,     nullptr,      deep_7z,      f::archive,  yes, c::archive,  d::none,     ARC, {k_7z_signature}},
    {"tar.gz",  16, A,     nullptr,      nullptr,      f::none,     yes, c::archive,  d::none,     ARC},
    // A modern card's: still pictures and audio that mp4's deep walk tells
    // apart by their brands, and the formats only a deep scan finds.  The
    // desktop program's groups are fixed strings its window repeats: they
    // do not name these types; their finds take their place by class.
    {"heic",    32, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"avif",    32, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"cr3",     32, A,     nullptr,      nullptr,      f::none,     yes, c::image,    d::none,     IMG},
    {"m4a",     32, A,     nullptr,      nullptr,      f::none,     yes, c::audio,    d::none,     MED},
    {"ogg",     48, R,     nullptr,      deep_ogg,     f::media,    yes, c::audio,    d::none,     MED, {k_ogg_signature}},
    {"opus",    48, A,     nullptr,      nullptr,      f::none,     yes, c::audio,    d::none,     MED},
    {"oga",     48, A,     nullptr,      nullptr,      f::none,     yes, c::audio,    d::none,     MED},
    {"flac",    49, R,     nullptr,      deep_flac,    f::media,    yes, c::audio,    d::none,     MED, {k_flac_signature}},
    {"mkv",     53, R,     nullptr,      deep_mkv,     f::media,    yes, c::video,    d::none,     MED, {k_mkv_signature}},
    {"webm",    53, A,     nullptr,      nullptr,      f::none,     yes, c::video,    d::none,     MED},
    {"aac",     54, R,     nullptr,      deep_aac,     f::media,    yes, c::audio,    d::none,     MED, {k_aac_signature}},
    {"tar",     55, R,     nullptr,      deep_tar,     f::archive,  yes, c::archive,  d::none,     ARC, {k_tar_signature, 257}},
};
}  // namespace types_detail

inline constexpr const auto &k_file_types = types_detail::table;

inline constexpr int k_file_type_count = int(sizeof k_file_types / sizeof k_file_types[0]);

constexpr bool same_text(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// The key of the row named `name` (its own name), or -1.
constexpr int32_t row_key(const char *name) {
    for (const file_type &t : k_file_types)
        if ((t.roles & role_row) && same_text(t.name, name)) return t.key;
    return -1;
}

// The row's own entry for `key`, or null.
constexpr const file_type *row_entry(int32_t key) {
    for (const file_type &t : k_file_types)
        if ((t.roles & role_row) && t.key == key) return &t;
    return nullptr;
}

// The scan rule of the row for `key` (the defaults when there is none).
inline const scan_rule &scan_rule_of(int32_t key) {
    static constexpr scan_rule plain{};
    const file_type *t = row_entry(key);
    return t ? t->scan : plain;
}

// The probe that serves `key` in the given mode: the deep walk in deep mode
// where the row has one, else the built-in probe (null: none, the
// signature is searched for and never reported).
// (Not constexpr: a sanitizer build cannot compare the address of a
// function or of the table with null at compile time.)
inline probe_fn probe_for(int32_t key, bool deep) {
    const file_type *t = row_entry(key);
    if (!t) return nullptr;
    return deep && t->deep ? t->deep : t->probe;
}

constexpr const char *row_name(int32_t key) {
    const file_type *t = row_entry(key);
    return t ? t->name : nullptr;
}

// The entry named exactly `name`, or null.
inline const file_type *find_type(const char *name) {
    if (!name) return nullptr;
    for (const file_type &t : k_file_types)
        if (strcmp(t.name, name) == 0) return &t;
    return nullptr;
}

// The row a requested name is configured on: its own, its alias's, or (for
// another spelling) its row's.  -1 when the engine does not search for it.
inline int32_t key_for(const char *name) {
    const file_type *t = find_type(name);
    return t && t->roles ? t->key : -1;
}

// True when a scan asked for `name` can report a find: the name itself is
// reported, or it is another spelling of a reported row name ("jpeg").
inline bool findable(const char *name) {
    const file_type *t = find_type(name);
    if (!t) return false;
    if (t->roles & role_spelling) t = row_entry(t->key);
    return t && t->reported;
}

// The names `pick` accepts, in table order, joined by commas.
template <class Pick>
std::string join_names(Pick pick) {
    std::string out;
    for (const file_type &t : k_file_types) {
        if (!pick(t)) continue;
        if (!out.empty()) out += ',';
        out += t.name;
    }
    return out;
}

// A desktop group as the object layer's fixed string.
inline std::string desktop_group(desktop g) {
    return join_names([g](const file_type &t) { return g != desktop::none && t.desk == g; });
}

// A group of lumarek-carve; 0 gives "all", every reported name.
inline std::string carver_group(uint8_t group) {
    return join_names([group](const file_type &t) { return t.reported && (group == 0 || (t.cli & group)); });
}

// Every name that reaches a probe of `fam` (reported or not): what a fuzz
// harness of that family configures.
inline std::string family_names(family fam) {
    return join_names([fam](const file_type &t) {
        const file_type *row = (t.roles & (role_row | role_alias)) ? row_entry(t.key) : nullptr;
        return row && (row->probe || row->deep) && row->fam == fam;
    });
}

// Every name the signature table takes as it is (rows and aliases).  The
// first is not txt, so a scan for all of them is not a text scan.
inline std::string searched_names() {
    return join_names([](const file_type &t) { return (t.roles & (role_row | role_alias)) != 0; });
}

}  // namespace lmr
