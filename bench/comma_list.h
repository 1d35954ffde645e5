// The items of a comma-separated option value ("random,dense"), empty
// items left out.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t c = s.find(',', start);
        if (c == std::string::npos) c = s.size();
        if (c > start) out.push_back(s.substr(start, c - start));
        start = c + 1;
    }
    return out;
}
