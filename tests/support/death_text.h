// Death tests match stderr against a POSIX extended regular expression; the tool's texts are
// full of brackets and dots, so they are quoted before they are matched.
#pragma once

#include <cstring>
#include <string>

namespace zt {

// A literal text as an extended regular expression that matches exactly that text.
inline std::string literal(const std::string &text)
{
    std::string re;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c))
            re += '\\';
        re += c;
    }
    return re;
}

}  // namespace zt
