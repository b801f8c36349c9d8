// JSON files read as any consumer reads them: by a parser, not by their layout.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <regex>
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

// A time as the files write it, "2026-12-01T10:00:00.25Z" (UTC, a fraction of a second), in
// seconds since the epoch; -1 for anything else.
inline double utc_seconds(const nlohmann::json &time)
{
    const std::string text = time.is_string() ? time.get<std::string>() : "";
    std::tm tm{};
    int used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used) != 6 ||
        !std::regex_match(text.substr(static_cast<std::size_t>(used)), std::regex(R"(\.\d{1,6}Z)")))
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) +
           std::stod(text.substr(static_cast<std::size_t>(used)));
}

}  // namespace zt
