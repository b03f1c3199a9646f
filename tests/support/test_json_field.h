// The raw text of one field of a flat JSON line as the programs write it
// ("\"updated\"", "3", "null"), or "" when the line has none. Enough for
// the checks of report and --json lines; no nesting, no escapes in keys.
#pragma once

#include <string>

namespace test_support {

inline std::string field(const std::string &line, const char *key) {
    const std::string k = std::string("\"") + key + "\":";
    const std::size_t at = line.find(k);
    if (at == std::string::npos) return "";
    const std::size_t from = at + k.size();
    const std::size_t end =
        line.find_first_of(",}", line[from] == '"' ? line.find('"', from + 1) : from);
    return line.substr(from, end - from);
}

}  // namespace test_support
