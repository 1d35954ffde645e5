// The list of file types against what the engine does with it: the exported
// signature rows and aliases keep their values, every probe is reached by a
// group of the carver, and every type of the carver's "all" is found in a
// sample when the whole group is configured.
#include "engine/archive/zip_writer.h"
#include "engine/compound/ole_writer.h"
#include "engine/image/raw_layouts.h"
#include "engine/file_types.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

using lmrtest::Bytes;

namespace {

std::set<std::string> split(const std::string &list) {
    std::set<std::string> out;
    std::stringstream in(list);
    for (std::string n; std::getline(in, n, ',');) out.insert(n);
    return out;
}

// Configures `list` in a fresh run state; the entries are in search_spec.
struct Configured {
    recovery_state state{};
    explicit Configured(const char *list) {
        init_state(&state, "/nonexistent");
        set_search_suffix(&state, list);
    }
    ~Configured() { free(state.InputFile); }
};

TEST(FileTypes, SignatureRowsAndAliasesKeepTheirValues) {
    const struct {
        const char *name;
        int32_t key;
    } rows[LMR_BUILTIN_COUNT] = {
        {"jpg", 0},  {"png", 24}, {"gif", 1},  {"bmp", 2},  {"mp3", 33}, {"mp4", 32},    {"wmv", 7},   {"mpg", 3},
        {"rif", 17}, {"exe", 26}, {"rar", 25}, {"gz", 16},  {"zip", 9},  {"ole", 15},    {"pdf", 4},   {"htm", 8},
        {"cpp", 14}, {"elf", 27}, {"reg", 28}, {"wpd", 13}, {"amr", 35}, {"sqlite", 36}, {"txt", 37},
    };
    for (int i = 0; i < LMR_BUILTIN_COUNT; ++i) {
        ASSERT_NE(builtin_types[i].name, nullptr) << "row " << i;
        EXPECT_STREQ(builtin_types[i].name, rows[i].name) << "row " << i;
        EXPECT_EQ(builtin_types[i].type_key, rows[i].key) << rows[i].name;
    }

    // Each alias configures its row under the requested name; a name the
    // alias table lacks (another spelling, a suffix only the object layer
    // knows) configures nothing on its own.
    const std::map<std::string, int32_t> aliases = {
        {"zip", 9},  {"apk", 9},  {"docx", 9}, {"pptx", 9}, {"xlsx", 9}, {"sxw", 9},  {"sxc", 9},
        {"sxi", 9},  {"snb", 9},  {"ole", 15}, {"doc", 15}, {"ppt", 15}, {"xls", 15}, {"rif", 17},
        {"wav", 17}, {"avi", 17}, {"mp4", 32}, {"mov", 32}, {"3gp", 32}, {"heic", 32}, {"avif", 32},
        {"cr3", 32}, {"m4a", 32}, {"opus", lmr::row_key("ogg")}, {"oga", lmr::row_key("ogg")},
        {"webm", lmr::row_key("mkv")}, {"html", 37}, {"xml", 37}, {"json", 37}, {"csv", 37}, {"eml", 37},
    };
    for (const auto &a : aliases) {
        recovery_state state{};
        init_state(&state, "/nonexistent");
        set_search_def(&state, a.first.c_str());
        ASSERT_EQ(state.spec_count, 1) << a.first;
        EXPECT_EQ(search_spec[0].type_key, a.second) << a.first;
        EXPECT_STREQ(search_spec[0].requested, a.first.c_str());
        free(state.InputFile);
    }
    for (const char *other : {"jpeg", "gzip", "mpeg", "3gpp", "wma", "office"}) {
        recovery_state state{};
        init_state(&state, "/nonexistent");
        set_search_def(&state, other);
        EXPECT_EQ(state.spec_count, 0) << other;
        free(state.InputFile);
    }
    int alias_names = 0;
    for (const lmr::file_type &t : lmr::k_file_types) alias_names += (t.roles & lmr::role_alias) != 0;
    EXPECT_EQ(alias_names, LMR_ALIAS_COUNT);

    // Other spellings are asked for under the row's own name.
    Configured spelled("jpeg,gzip,mpeg");
    ASSERT_EQ(spelled.state.spec_count, 3);
    EXPECT_STREQ(search_spec[0].requested, "jpg");
    EXPECT_STREQ(search_spec[1].requested, "gz");
    EXPECT_STREQ(search_spec[2].requested, "mpg");
    EXPECT_EQ(search_spec[2].num_markers, 1);
}

TEST(FileTypes, EveryProbeIsInAGroupAndEveryGroupNamesAReportedType) {
    const std::set<std::string> all = split(lmr::carver_group(0));
    std::set<std::string> names;
    for (const lmr::file_type &t : lmr::k_file_types) {
        EXPECT_TRUE(names.insert(t.name).second) << t.name << " is defined twice";
        if (t.roles & (lmr::role_alias | lmr::role_spelling)) {
            EXPECT_NE(lmr::row_entry(t.key), nullptr) << t.name << " names a row that does not exist";
        }
        // A type in a group is one a probe reports.
        if (t.cli || all.count(t.name)) {
            EXPECT_TRUE(t.reported) << t.name;
            const lmr::file_type *row = lmr::row_entry(t.key);
            ASSERT_NE(row, nullptr) << t.name;
            EXPECT_TRUE(row->probe || row->deep) << t.name << " is in a group, but no probe follows its signature";
        }
        EXPECT_EQ(all.count(t.name) == 1, t.reported) << t.name;
    }

    // Every probe reports at least one type of "all", except the MPEG
    // program stream's, which reads the pack header and never reports (the
    // end of such a stream cannot be told).
    for (const lmr::file_type &row : lmr::k_file_types) {
        if (!(row.roles & lmr::role_row) || !(row.probe || row.deep)) continue;
        bool reached = false;
        for (const lmr::file_type &t : lmr::k_file_types)
            reached |= t.key == row.key && t.roles && all.count(t.name);
        // The big-endian TIFF row is configured by the names of the
        // little-endian one.
        if (std::string(row.name) == "tiff") {
            Configured both("nef");
            reached = both.state.spec_count == 2 && search_spec[1].type_key == row.key;
        }
        EXPECT_EQ(reached, std::string(row.name) != "mpg") << "the probe of " << row.name;
    }

    // The named groups are parts of "all"; no group starts with a type
    // whose run scans for text, so a scan for a group is never a text scan.
    auto text_first = [](const std::string &list) {
        const lmr::file_type *t = lmr::find_type(list.substr(0, list.find(',')).c_str());
        return t && lmr::scan_rule_of(t->key).text_run;
    };
    for (uint8_t g : {lmr::cli_images, lmr::cli_documents, lmr::cli_media, lmr::cli_archives}) {
        const std::string list = lmr::carver_group(g);
        ASSERT_FALSE(list.empty());
        EXPECT_FALSE(text_first(list)) << list;
        for (const std::string &n : split(list)) EXPECT_TRUE(all.count(n)) << n;
    }
    EXPECT_FALSE(text_first(lmr::carver_group(0)));
    EXPECT_FALSE(text_first(lmr::searched_names()));
}

// The deep walks and scan rules as the scan driver and the dispatch use
// them: a row the deep scan alone finds is still configured from its name,
// and the driver's rules that it keeps for one entry of a run exist at most
// once in the table.
TEST(FileTypes, DeepWalksAndScanRulesAreUsable) {
    int own_tests = 0, text_runs = 0, fallbacks = 0;
    for (const lmr::file_type &t : lmr::k_file_types) {
        const lmr::scan_rule &rule = t.scan;
        own_tests += rule.deep_start != nullptr;
        text_runs += rule.text_run;
        fallbacks += rule.deep_fallback != nullptr;
        if (rule.deep_start) {
            EXPECT_NE(rule.deep_leads[0], 0) << t.name << ": no first byte reaches its test";
        }
        if (!(t.roles & lmr::role_row)) {
            EXPECT_TRUE(t.deep == nullptr && rule.header_at == 0 && !rule.deep_start && !rule.own.header &&
                        !rule.deep_fallback)
                << t.name << ": probes and scan rules belong on the row's own name";
            continue;
        }
        if (!t.probe && !t.deep) continue;
        EXPECT_NE(t.fam, lmr::family::none) << t.name << " has a probe but no family";
        // Each probe serves its own mode; the built-in one serves deep mode
        // too where the row has no deep walk.
        EXPECT_EQ(lmr::probe_for(t.key, false), t.probe) << t.name;
        EXPECT_EQ(lmr::probe_for(t.key, true), t.deep ? t.deep : t.probe) << t.name;
        // Configured from its name with its signature, wherever that comes from.
        Configured run(t.name);
        // One entry, or (a name of the TIFF family) one per byte order.
        int at = -1;
        for (int i = 0; i < run.state.spec_count; ++i)
            if (search_spec[i].type_key == t.key) at = i;
        ASSERT_GE(at, 0) << t.name << " cannot be searched for";
        EXPECT_LE(run.state.spec_count, 2) << t.name;
        EXPECT_GT(search_spec[at].header.len, 0) << t.name;
        if (rule.own.header_len > 0) {
            ASSERT_EQ(search_spec[at].header.len, rule.own.header_len) << t.name;
            EXPECT_EQ(0, memcmp(search_spec[at].header.value, rule.own.header, size_t(rule.own.header_len)));
            EXPECT_EQ(search_spec[at].max_len, rule.own.max_len);
        }
    }
    EXPECT_LE(own_tests, 1) << "the scan driver runs one type's own block test per run";
    EXPECT_LE(text_runs, 1);
    EXPECT_LE(fallbacks, 1) << "a block without a signature goes to one type's walk";
}

// A deep fallback's pair test is what the scan driver decides most blocks
// by: wherever the fallback's own test holds, the pair test holds too, or
// the deep scan would pass over blocks that start a find.
TEST(FileTypes, AFallbacksPairTestHoldsWhereverItsTestDoes) {
    // Tails after the first two bytes: what text goes on with (letters, a
    // line end, zeros after a short text, more characters of a sequence)
    // and bytes that are no text.
    std::vector<Bytes> tails = {Bytes(14, 'a'), Bytes(14, 0), Bytes(14, 0x80), Bytes(14, 0xFF)};
    Bytes mixed(14);
    for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = "\n\x80\xA0 b\xC3\xA9\0"[i % 8];
    tails.push_back(mixed);
    int rows = 0;
    for (const lmr::file_type &t : lmr::k_file_types) {
        const lmr::scan_rule &rule = t.scan;
        if (!rule.deep_fallback) continue;
        ++rows;
        if (!rule.fallback_pair) continue;
        for (unsigned v = 0; v < 65536; ++v) {
            for (const Bytes &tail : tails) {
                unsigned char p[lmr::k_fallback_reach];
                p[0] = (unsigned char)(v >> 8);
                p[1] = (unsigned char)v;
                memcpy(p + 2, tail.data(), sizeof p - 2);
                if (rule.deep_fallback(p)) {
                    ASSERT_TRUE(rule.fallback_pair(p[0], p[1]))
                        << t.name << ": first bytes " << (v >> 8) << ", " << (v & 255);
                }
            }
        }
    }
    EXPECT_GT(rows, 0);
}

void collect(void *context, r_info *info) {
    (*static_cast<std::map<uint64_t, std::string> *>(context))[info->offset] = info->suffix;
}

TEST(FileTypes, EveryTypeOfAllIsFoundInItsSample) {
    auto data = [](const char *name) { return lmrtest::read_file(lmrtest::data_path(name)); };
    auto zip = [](std::vector<lmrtest::ZipMember> members) { return lmrtest::make_zip(members); };
    auto ole = [](const char *stream) { return lmrtest::make_ole({{stream, 2, 100}}).bytes; };
    std::map<std::string, Bytes> samples = {
        {"jpg", data("image/jfif.jpg")},
        {"png", data("image/png_edge_10240.png")},
        {"gif", data("image/gif89a_comment.gif")},
        {"bmp", data("image/palette.bmp")},
        {"docx", data("archive/docx_lo_repacked_ct_first.docx")},
        {"xlsx", data("archive/xlsx_lo_repacked_ct_first.xlsx")},
        {"pptx", data("archive/pptx_lo_repacked_ct_first.pptx")},
        {"doc", data("compound/doc_lo_text.doc")},
        {"xls", data("compound/xls_xlwt.xls")},
        {"ppt", ole("PowerPoint Document")},
        {"ole", ole("Contents")},
        {"pdf", data("document/gs_lf.pdf")},
        {"sqlite", data("document/p1024.sqlite")},
        {"txt", data("document/bom_5001.txt")},
        {"zip", zip({{"a.txt", std::string(3000, 'a'), ""}, {"b.txt", "bb", ""}})},
        {"apk", zip({{"AndroidManifest.xml", "<manifest/>", ""}, {"classes.dex", "dex\n035", ""}})},
        {"snb", zip({{"snote/snote.xml", "<n/>", ""}, {"snote/media/a.jpg", "x", ""}})},
        {"rar", data("archive/rar4_single.rar")},
        {"mp4", data("media/moov_first.mp4")},
        {"mov", data("media/quicktime.mov")},
        {"3gp", data("media/h263.3gp")},
        {"avi", data("media/mpeg4_mp3.avi")},
        {"wmv", data("media/wmv2_wma2.wmv")},
        {"mp3", data("media/id3v23_v1.mp3")},
        {"amr", data("media/nb_mode0.amr")},
        {"wav", data("media/pcm_mono.wav")},
        {"webp", data("image/alpha.webp")},
        {"tif", data("image/lzw.tif")},
        {"7z", data("archive/notes.7z")},
        {"gz", data("archive/readme.txt.gz")},
        {"tar.gz", data("archive/notes.tar.gz")},
        {"tar", data("archive/notes.tar")},
        {"html", data("document/users-and-groups.html")},
        {"xml", data("document/apache-site.xml")},
        {"json", data("document/synopsis.json")},
        {"csv", data("document/debian-releases.csv")},
        {"eml", data("document/licence.eml")},
    };
    for (const lmrtest::Raw &r : lmrtest::raws()) samples[r.suffix] = r.file;
    // Still pictures and audio in ISO boxes, Ogg, FLAC, Matroska, ADTS.
    for (const char *name : {"heic:media/photo.heic", "avif:media/photo.avif", "cr3:media/cr3_layout.cr3",
                             "m4a:media/voice.m4a", "ogg:media/voice.ogg", "opus:media/voice.opus",
                             "oga:media/voice.oga", "flac:media/voice.flac", "mkv:media/clip.mkv",
                             "webm:media/live.webm", "aac:media/voice.aac"}) {
        const std::string n(name);
        samples[n.substr(0, n.find(':'))] = data(n.substr(n.find(':') + 1).c_str());
    }
    const std::set<std::string> all = split(lmr::carver_group(0));
    for (const std::string &n : all) EXPECT_TRUE(samples.count(n)) << "no sample of " << n;

    // Each sample at a 64 KiB boundary, zeros between them.
    Bytes image;
    std::map<uint64_t, std::string> expected;
    for (const auto &s : samples) {
        ASSERT_FALSE(s.second.empty()) << s.first;
        image.resize((image.size() + 65535) / 65536 * 65536 + 65536, 0);
        expected[image.size()] = s.first;
        image.insert(image.end(), s.second.begin(), s.second.end());
    }
    image.resize(image.size() + 65536, 0);
    lmrtest::TempFile f(image, "lmr-all-types");

    std::map<uint64_t, std::string> finds;
    skip_exist = 0;
    is_formated = 1;
    lmrtest::DiagCapture quiet;
    // The newer types are found in deep mode only.
    lmrtest::DeepScan deep;
    set_callbacks(&finds, collect, nullptr, nullptr);
    start_recovery2(f.path().c_str(), lmr::carver_group(0).c_str(), "", 0);
    set_callbacks(nullptr, nullptr, nullptr, nullptr);
    is_formated = 0;

    EXPECT_EQ(get_last_run_outcome(), LMR_RUN_SCANNED);
    for (const auto &e : expected) {
        auto it = finds.find(e.first);
        ASSERT_NE(it, finds.end()) << e.second << " was not found at " << e.first;
        EXPECT_EQ(it->second, e.second) << "at " << e.first;
    }
    // Whatever else was found (a picture inside a document, say) is still a
    // type of "all".
    for (const auto &x : finds) EXPECT_TRUE(all.count(x.second)) << x.second << " at " << x.first;
}

}  // namespace
