// zelk's protocol trace ("trace FILE") read back: the bytes each way, when each write went out
// and each byte came in, and the speeds.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace zt {

struct Trace {
    std::string sent, received;
    // Each write as zelk stamped it going out: microseconds on the monotonic clock (the steady
    // clock's), and its bytes.
    std::vector<std::pair<long long, std::string>> writes;
    std::vector<long long> received_at;  // when zelk's read took each byte of `received`
    std::vector<int> speeds;
    bool ordered = true;  // timestamps never go back
    bool short_lines = true;
};

inline Trace read_trace(const std::string &path)
{
    Trace t;
    std::istringstream in(read_file(path));
    std::string line;
    long long last = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        long long us = 0;
        std::string kind;
        words >> us >> kind;
        t.ordered = t.ordered && us >= last;
        last = us;
        if (kind == "speed") {
            int baud = 0;
            words >> baud;
            t.speeds.push_back(baud);
            continue;
        }
        EXPECT_TRUE(kind == ">" || kind == "<") << line;
        std::string bytes;
        for (std::string h; words >> h && h[0] != '|';) {
            EXPECT_EQ(h.size(), 2u) << line;
            bytes += static_cast<char>(std::stoi(h, nullptr, 16));
        }
        t.short_lines = t.short_lines && !bytes.empty() && bytes.size() <= 16;
        (kind == ">" ? t.sent : t.received) += bytes;
        if (kind == ">")
            t.writes.emplace_back(us, bytes);
        else
            t.received_at.insert(t.received_at.end(), bytes.size(), us);
    }
    return t;
}

}  // namespace zt
