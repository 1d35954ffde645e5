// Helpers of the directory walks: safe names, UTF-16, dates, free runs.
#include "named_finds.h"

#include "utf16_text.h"

#include <algorithm>
#include <fcntl.h>

namespace lmr {

std::string safe_part(const std::string &utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (unsigned char c : utf8) out += (c < 0x20 || c == 0x7F || c == '/' || c == '\\') ? '_' : char(c);
    // Trailing dots and blanks are dropped by some file systems, which
    // would make two names one; "." and ".." would leave the folder.
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.back() = '_';
    if (out.empty()) out = "_";
    if (out.size() > 255) {
        size_t cut = 255;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
        out.resize(cut);
    }
    return out;
}

std::string safe_path(const std::vector<std::string> &parts) {
    std::vector<std::string> safe;
    for (const std::string &p : parts) safe.push_back(safe_part(p));
    size_t first = 0;
    auto length = [&](size_t from) {
        size_t n = 0;
        for (size_t i = from; i < safe.size(); ++i) n += safe[i].size() + 1;
        return n ? n - 1 : 0;
    };
    while (first + 1 < safe.size() && length(first) > kMaxPathBytes) ++first;
    std::string out;
    for (size_t i = first; i < safe.size(); ++i) {
        if (!out.empty()) out += '/';
        out += safe[i];
    }
    return out;
}

std::string utf16_to_utf8(const unsigned char *le, size_t units) { return utf16le_to_utf8(le, units, false, 0xFFFD); }

int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return kNoTime;
    // Days from 1970-01-01 of a proleptic Gregorian date.
    const int y = year - (month <= 2);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = int64_t(era) * 146097 + doe - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

void read_ahead(FILE *f, uint64_t offset, uint64_t length) {
    if (offset <= uint64_t(INT64_MAX) && length <= uint64_t(INT64_MAX))
        posix_fadvise(fileno(f), off_t(offset), off_t(length), POSIX_FADV_WILLNEED);
}

free_map::free_map(const chunk_list *list) {
    for (const chunk *c = list ? list->head : nullptr; c; c = c->next) free_.push_back({c->offset, c->length});
}

bool free_map::all_free(const std::vector<r_run> &runs) const {
    for (const r_run &r : runs) {
        if (!r.length) continue;
        // The free run that starts at or before the run's start must hold it.
        auto it = std::upper_bound(free_.begin(), free_.end(), r.offset,
                                   [](uint64_t at, const r_run &f) { return at < f.offset; });
        if (it == free_.begin()) return false;
        --it;
        if (r.offset - it->offset > it->length || r.length > it->length - (r.offset - it->offset)) return false;
    }
    return true;
}

}  // namespace lmr
