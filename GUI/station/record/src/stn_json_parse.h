// A report line's full parse, for the record's own sources (nlohmann-json
// is private to the rooms that read JSON).
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

// The line as a JSON object, or a discarded value.
inline nlohmann::json stn_json_parse_object(std::string_view line) {
    nlohmann::json j = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (!j.is_object()) return nlohmann::json(nlohmann::json::value_t::discarded);
    return j;
}
