// Plain text in a deep scan: found at a block where no signature stands,
// named by its first line, ended at the first byte that cannot be text
// with the zeros of its last block left out; never cut out of another find;
// the rules that keep random and binary bytes from passing as text.
#include "../media/probe_helpers.h"

#include <map>

using namespace lmrtest;

namespace {

struct Sample {
    const char *file;
    const char *kind;
};

const Sample k_samples[] = {
    {"document/users-and-groups.html", "html"}, {"document/apache-site.xml", "xml"},
    {"document/synopsis.json", "json"},         {"document/debian-releases.csv", "csv"},
    {"document/licence.eml", "eml"},            {"document/note_utf8.txt", "txt"},
    {"document/short_note.txt", "txt"},
};

std::map<uint64_t, Find> by_offset(const std::vector<Find> &finds) {
    std::map<uint64_t, Find> m;
    for (const Find &f : finds) m[f.offset] = f;
    return m;
}

// Every sample at a 4 KiB boundary, with zeros, random bytes and a PDF
// (whose text must not be found on its own) between them.
TEST(DeepText, SamplesAreFoundWholeWithTheirKind) {
    Bytes image(4096, 0);
    std::map<uint64_t, std::pair<size_t, std::string>> expected;
    int n = 0;
    for (const Sample &s : k_samples) {
        const Bytes b = sample(s.file);
        ASSERT_FALSE(b.empty());
        expected[image.size()] = {b.size(), s.kind};
        append(image, b);
        pad_to(image, 4096);
        // Random bytes after every other one, zeros after the rest.
        if (++n % 2) append(image, random_bytes(8192, uint32_t(n)));
        else image.resize(image.size() + 4096, 0);
    }
    const uint64_t pdf_at = image.size();
    const Bytes pdf = sample("document/gs_lf.pdf");
    append(image, pdf);
    pad_to(image, 4096);
    image.resize(image.size() + 4096, 0);
    TempFile f(image);

    {
        DeepScan deep;
        auto finds = by_offset(scan(f.path(), "jpg,pdf,txt,html,xml,json,csv,eml"));
        for (const auto &e : expected) {
            auto it = finds.find(e.first);
            ASSERT_NE(it, finds.end()) << e.second.second << " at " << e.first;
            EXPECT_EQ(it->second.length, e.second.first) << e.second.second;
            EXPECT_EQ(it->second.suffix, e.second.second);
        }
        ASSERT_TRUE(finds.count(pdf_at));
        EXPECT_EQ(finds[pdf_at].length, pdf.size());
        EXPECT_EQ(finds.size(), expected.size() + 1) << "nothing else, no piece of the PDF";

        // Asked for one kind, the others are passed over.
        auto json = scan(f.path(), "jpg,json");
        ASSERT_EQ(json.size(), 1u);
        EXPECT_EQ(json[0].suffix, "json");
        // "html" is the other spelling of the HTML row: its finds alone.
        auto html = scan(f.path(), "jpg,html");
        ASSERT_EQ(html.size(), 1u);
        EXPECT_EQ(html[0].suffix, "html");
    }
    // The built-in rules find none of them: none has a byte-order mark.
    auto builtin = scan(f.path(), "jpg,pdf,txt");
    ASSERT_EQ(builtin.size(), 1u);
    EXPECT_EQ(builtin[0].offset, pdf_at);
}

struct TextCase {
    const char *what;
    std::string text;
    const char *kind;  // null: no find
};

// The kind from the first line; short texts only as a file ends on disk.
TEST(DeepText, KindAndShortTexts) {
    DeepScan deep;
    const std::string body = "and the text goes on for a while, line after line.\n";
    const TextCase cases[] = {
        {"doctype", "\n<!DOCTYPE html>\n<html><body>" + body, "html"},
        {"html tag", "<HTML lang=en>" + body, "html"},
        {"xml", "<?xml version=\"1.0\"?>\n<a>" + body + "</a>\n", "xml"},
        {"json object", "{\n  \"name\": \"" + body + "\"}\n", "json"},
        {"json array", "[1, 2, 3]\n" + body, "json"},
        {"ini section", "[section]\nkey=value\n" + body, "txt"},
        {"csv", "a,b,c\n1,2,3\n4,5,6\n" + body, "csv"},
        {"semicolons", "name;size;date\nx;1;2024\n" + body, "csv"},
        {"prose with commas", "Hello, world, again\nThis, too, goes\n" + body, "txt"},
        {"mail", "From: a@example.org\nTo: b@example.org\n\n" + body, "eml"},
        {"byte-order mark", "\xEF\xBB\xBF<?xml version=\"1.0\"?>" + body, "xml"},
        {"no line end", "DCIM", nullptr},
        {"two letters", "ab\n", nullptr},
        {"a name in a record", "README  TXT ", nullptr},
        {"short note", "Buy milk\nCall mum\n", "txt"},
    };
    for (const TextCase &c : cases) {
        Bytes b = bytes_of(c.text);
        pad_to(b, 512);
        if (b.size() == c.text.size()) b.resize(b.size() + 512, 0);
        append(b, random_bytes(512, 3));
        auto r = probe_once(b, "txt", b.size());
        if (!c.kind) {
            EXPECT_EQ(r.found, 0) << c.what;
            continue;
        }
        EXPECT_EQ(r.found, 1) << c.what;
        EXPECT_EQ(r.length, c.text.size()) << c.what;
        EXPECT_EQ(r.suffix, c.kind) << c.what;
    }
    // A short text whose sector goes on with other bytes after its NUL is
    // no file's end: a string among binary data ends so.
    Bytes stray = bytes_of("Buy milk\nCall mum\n");
    stray.resize(200, 0);
    stray.push_back(0x17);
    stray.resize(1024, 0);
    EXPECT_EQ(probe_once(stray, "txt", stray.size()).found, 0);
}

// The end: the first byte that cannot be text, however the bytes are read.
TEST(DeepText, EndsAtTheFirstByteThatCannotBeText) {
    DeepScan deep;
    std::string text;
    for (int i = 0; i < 12; ++i) text += "A line of a note, with \xC3\xA4 and \xE4\xB8\xAD\xE6\x96\x87 in it.\n";
    const struct {
        const char *what;
        std::string after;
    } ends[] = {
        {"NUL", std::string("\0\0\0", 3)},
        {"control byte", "\x01zz"},
        {"DEL", "\x7Fzz"},
        {"continuation byte alone", "\x80zz"},
        {"overlong form", "\xC0\x80zz"},
        {"surrogate", "\xED\xA0\x80zz"},
        {"past U+10FFFF", "\xF4\x90\x80\x80zz"},
        {"cut sequence", "\xE4\xB8"},
        {"invalid lead", "\xFF\xFE"},
    };
    for (const auto &e : ends) {
        Bytes b = bytes_of(text + e.after);
        append(b, Bytes(600, 0));
        for (size_t in_memory : {b.size(), size_t(20), size_t(0)}) {
            TempFile f(b);
            ProbeRun run(f.path(), "txt");
            auto r = run.probe(b, 0, in_memory);
            EXPECT_EQ(r.found, 1) << e.what;
            EXPECT_EQ(r.length, text.size()) << e.what << ", " << in_memory << " in memory";
        }
    }
    // A shorter text that other bytes follow is text when it shows it:
    // words between blanks, line ends.  Program tables (names between
    // NULs) pass for some tens of bytes and are none.
    Bytes note = bytes_of("Line one of a note.\nLine two of it, and on.\n");
    note.push_back(0x01);
    append(note, random_bytes(1024, 6));
    auto r = probe_once(note, "txt", note.size());
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, 44u);
    Bytes table = bytes_of("GLIBC_2.2.5 memcpy strlen __cxa_finalize");
    table.push_back(0x01);
    append(table, random_bytes(1024, 6));
    EXPECT_EQ(probe_once(table, "txt", table.size()).found, 0);
    // One character over and over (a picture's filler, blank padding) is
    // no text, however long.
    Bytes filler(6000, 'x');
    filler.resize(7000, 0);
    EXPECT_EQ(probe_once(filler, "txt", filler.size()).found, 0);
    // A text longer than the reads, with a character across each boundary.
    std::string long_text;
    while (long_text.size() < 20000) long_text += "\xE4\xB8\xAD" "abc def, ghi.\n";
    Bytes b = bytes_of(long_text);
    b.push_back(0);
    r = probe_once(b, "txt", 100);
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.length, long_text.size());
    // Random bytes and zeros are no text.
    EXPECT_EQ(probe_once(random_bytes(4096, 8), "txt", 4096).found, 0);
    EXPECT_EQ(probe_once(Bytes(4096, 0), "txt", 4096).found, 0);
    probe_damaged_copies(sample("document/licence.eml"), "txt", 100, 43);
}


// The lines of a note, `n` bytes or a little more.
std::string lines_of(size_t n) {
    static const char *const words[] = {"the", "card", "holds", "pictures", "of", "a", "trip", "and", "notes",
                                        "written", "on", "phone", "every", "evening", "about", "weather"};
    std::string s;
    std::mt19937 rng(17);
    while (s.size() < n) {
        std::string line;
        for (int w = 0; w < 9; ++w) line += std::string(w ? " " : "") + words[rng() % 16];
        s += line + ".\n";
    }
    return s;
}

// Texts followed by random bytes come back whole (the rare random bytes
// that look like the text's own last ones aside), by zeros whole, and
// never run into the next sector's file.
TEST(DeepText, EndsWhereTheTextEndsWhateverFollows) {
    DeepScan deep;
    size_t cases = 0, exact = 0;
    for (const Sample &s : k_samples) {
        const Bytes text = sample(s.file);
        for (uint32_t seed = 1; seed <= 12; ++seed) {
            Bytes b = text;
            append(b, random_bytes(1536, seed));
            auto r = probe_once(b, "txt", b.size());
            ++cases;
            if (!r.found) {
                ADD_FAILURE() << s.file << " seed " << seed << ": not found";
                continue;
            }
            exact += r.length == text.size();
            EXPECT_LE(r.length, text.size() + 16) << s.file << " seed " << seed;
            EXPECT_GE(r.length + 16, text.size()) << s.file << " seed " << seed;
            EXPECT_EQ(r.suffix, s.kind) << s.file;
        }
        Bytes z = text;
        z.resize(z.size() + 1024, 0);
        auto r = probe_once(z, "txt", z.size());
        EXPECT_EQ(r.found, 1) << s.file;
        EXPECT_EQ(r.length, text.size()) << s.file << " followed by zeros";
    }
    EXPECT_GE(exact * 100, cases * 90) << exact << " of " << cases << " exact";

    // A text that fills its sectors and another file right after it: the
    // text ends at the file's first byte, and the file is found too.
    const std::string note = lines_of(1024).substr(0, 1023) + "\n";
    const struct {
        const char *what;
        Bytes next;
        const char *suffix;
    } nexts[] = {
        {"PDF", sample("document/gs_lf.pdf"), "pdf"},
        {"XML text", sample("document/apache-site.xml"), "xml"},
    };
    for (const auto &n : nexts) {
        Bytes image(512, 0);
        append(image, bytes_of(note));
        append(image, n.next);
        pad_to(image, 512);
        image.resize(image.size() + 1024, 0);
        TempFile f(image);
        auto finds = by_offset(scan(f.path(), "jpg,pdf,txt,html,xml,json,csv,eml"));
        ASSERT_TRUE(finds.count(512)) << n.what;
        EXPECT_EQ(finds[512].length, note.size()) << n.what;
        ASSERT_TRUE(finds.count(512 + note.size())) << n.what;
        EXPECT_EQ(finds[512 + note.size()].suffix, n.suffix);
        EXPECT_EQ(finds[512 + note.size()].length, n.next.size()) << n.what;
    }
    // A picture whose first byte completes a character the text's last
    // byte began: the text ends before that character.
    const Bytes png = sample("image/png_small.png");
    Bytes image(512, 0);
    append(image, bytes_of(note.substr(0, 1022) + "\n\xC3"));
    append(image, png);
    pad_to(image, 512);
    image.resize(image.size() + 1024, 0);
    TempFile f(image);
    auto finds = by_offset(scan(f.path(), "jpg,png,pdf,txt,html,xml,json,csv,eml"));
    ASSERT_TRUE(finds.count(512));
    EXPECT_EQ(finds[512].length, 1023u);
    ASSERT_TRUE(finds.count(512 + 1024));
    EXPECT_EQ(finds[512 + 1024].suffix, "png");
}

// Where the kind has a structure, its close ends the text, whatever
// text-like bytes follow; what may stand after a close is kept.
TEST(DeepText, StructuredTextsEndAtTheirClose) {
    DeepScan deep;
    std::string items, elements, paragraphs;
    for (int i = 0; i < 24; ++i) {
        items += "  {\"name\": \"note " + std::to_string(i) + "\", \"text\": \"a } and a ] in a string\"},\n";
        elements += "  <note id=\"" + std::to_string(i) + "\">Buy milk, call mum</note>\n";
        paragraphs += "<p>Paragraph " + std::to_string(i) + " of the page, in a few words.</p>\n";
    }
    const std::string mail_body = lines_of(700);
    const struct {
        const char *what;
        std::string text;
        std::string after;  // bytes that pass as text, then one that cannot
        const char *kind;
    } cases[] = {
        {"JSON object", "{\n \"notes\": [\n" + items + "  {}\n ]\n}\n", "Tea", "json"},
        {"JSON without a line end", "[\n" + items + "  {}\n]", "ab", "json"},
        {"JSON, one value a line", items.substr(2) + "{\"last\": 1}\n", "xy", "json"},
        {"XML", "<?xml version=\"1.0\"?>\n<notes>\n" + elements + "</notes>\n", "eat", "xml"},
        {"XML, blank lines after the root", "<?xml version=\"1.0\"?>\n<notes>\n\n" + elements + "</notes>\n\n\n",
         "", "xml"},
        {"HTML", "<!DOCTYPE html>\n<html><body>\n" + paragraphs + "</body></HTML\n>\n", "ok", "html"},
        {"a picture in markup", "<svg width=\"16\" height=\"16\">\n" + elements + "</svg>", "Zz", "txt"},
        {"MIME message",
         "From: a@example.org\r\nTo: b@example.org\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"part-b1\"\r\n\r\n--part-b1\r\n"
         "Content-Type: text/plain\r\n\r\n" + mail_body + "\r\n--part-b1--\r\n",
         "Hi", "eml"},
    };
    for (const auto &c : cases) {
        Bytes b = bytes_of(c.text + c.after);
        b.push_back(0x02);
        append(b, random_bytes(600, 9));
        auto r = probe_once(b, "txt", b.size());
        ASSERT_EQ(r.found, 1) << c.what;
        EXPECT_EQ(r.length, c.text.size()) << c.what;
        EXPECT_EQ(r.suffix, c.kind) << c.what;
    }
    // A JSON text that leaves no line empty: a blank after its close and
    // line end is not its own.
    const std::string json = "[\n" + items + "  {}\n]\n";
    Bytes b = bytes_of(json + "\n");
    b.push_back(0x03);
    auto r = probe_once(b, "txt", b.size());
    EXPECT_EQ(r.length, json.size());
}

// A note shorter than a sector that random bytes follow is found by its
// words and line ends; strings among binary data and pixels are not.
TEST(DeepText, ShortNotesAndTextLikeBinaryData) {
    DeepScan deep;
    const std::string note = "Buy milk\nCall mum\n";
    for (const char *after : {"\x01", "Z\x10~", "q}\xFF", "#\x80"}) {
        Bytes b = bytes_of(note + after);
        append(b, random_bytes(1024, 4));
        auto r = probe_once(b, "txt", b.size());
        EXPECT_EQ(r.found, 1) << after;
        EXPECT_EQ(r.length, note.size()) << after;
    }
    // A short picture in markup or JSON value: its close vouches for it.
    for (const std::string &t : {std::string("<svg width=\"16\" height=\"16\"><path d=\"M8 1a7 7 0 100 14\"/></svg>"),
                                std::string("{\"volume\": 7, \"muted\": false, \"eq\": [1, 2]}\n")}) {
        Bytes b = bytes_of(t + "x");
        b.push_back(0x01);
        append(b, random_bytes(1024, 6));
        auto r = probe_once(b, "txt", b.size());
        EXPECT_EQ(r.found, 1) << t;
        EXPECT_EQ(r.length, t.size()) << t;
    }
    const char *none[] = {
        "{\"a\": [1]}\n",                   // too short to tell
        "ilk\nCall mum and dad\n",           // a piece of a longer text: starts inside a word
        "Hi mum\n",                          // too short to tell
        "README  TXT DCIM    JPG \n",        // names in a directory record
        "@#$%^ &*+= ~|`^ @#$%\n!?*&^~\n",    // no words
    };
    for (const char *t : none) {
        Bytes b = bytes_of(t);
        b.push_back(0x01);
        append(b, random_bytes(1024, 5));
        EXPECT_EQ(probe_once(b, "txt", b.size()).found, 0) << t;
    }
    // A string a NUL ends, other bytes after it (a program's messages).
    Bytes msg = bytes_of("Cannot open the file.\nPlease try again.\n");
    msg.push_back(0);
    append(msg, bytes_of("Next message\n"));
    msg.resize(1024, 0x01);
    EXPECT_EQ(probe_once(msg, "txt", msg.size()).found, 0);

    // The pixels of a photo: two thirds of their bytes are printable.
    const Bytes bmp = sample("image/top_down.bmp");
    ASSERT_GT(bmp.size(), 1078u);
    const Bytes pixels(bmp.begin() + 54, bmp.end());
    for (size_t at = 0; at + 64 < pixels.size(); at += 8) {
        Bytes b(pixels.begin() + long(at), pixels.end());
        EXPECT_EQ(probe_once(b, "txt", b.size()).found, 0) << "pixels from " << at;
    }
    // Random bytes at many starts.
    const Bytes noise = random_bytes(1 << 16, 11);
    size_t finds = 0;
    for (size_t at = 0; at + 512 < noise.size(); at += 16) {
        Bytes b(noise.begin() + long(at), noise.begin() + long(at) + 512);
        finds += probe_once(b, "txt", b.size()).found != 0;
    }
    EXPECT_EQ(finds, 0u);
}

}  // namespace
