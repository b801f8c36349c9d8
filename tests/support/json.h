// JSON files read as any consumer reads them: by a parser, not by their layout.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "harness.h"

namespace zt {

// The whole file as one JSON value; a file that is not valid JSON gives a discarded value
// (is_discarded()), so a test can say what it read instead of ending in an exception.
inline nlohmann::json read_json(const std::string &path)
{
    return nlohmann::json::parse(read_file(path), nullptr, false);
}

// A JSON-lines file: one value per line, an invalid line as a discarded value.
inline std::vector<nlohmann::json> read_json_lines(const std::string &path)
{
    std::vector<nlohmann::json> values;
    const std::string text = read_file(path);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        values.push_back(nlohmann::json::parse(text.substr(at, end - at), nullptr, false));
        at = end + 1;
    }
    return values;
}

}  // namespace zt
