// Suggestions for a word that names no option: the option within two edits of what was typed.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace {

// Edits (insertion, deletion, substitution, swap of neighbours) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); i++)
        for (std::size_t j = 1; j <= b.size(); j++) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The row nearest to what was typed: the fewest edits as `edits` counts them for each row (the
// earlier row on a tie), within two. `edits` gives SIZE_MAX for a row that is no candidate.
template <typename Edits> const OPTION *nearest_option(Edits edits)
{
    constexpr std::size_t MAX_EDITS = 2;
    const OPTION *best = nullptr;
    std::size_t best_edits = MAX_EDITS + 1;
    for (const OPTION *opt = general_options; opt->name; ++opt) {
        const std::size_t e = edits(std::string_view(opt->name));
        if (e < best_edits) {
            best = opt;
            best_edits = e;
        }
    }
    return best;
}

// A text no longer than its edits is no misspelling of anything: every name that short is that
// many edits away from it.
std::size_t misspelling(std::size_t edits, std::string_view typed)
{
    return edits < typed.size() ? edits : SIZE_MAX;
}

}  // namespace

const OPTION *closest_option(std::string_view word)
{
    // A word of a longer name is compared with that name's first word: "devce" for "device id".
    return nearest_option([word](std::string_view name) {
        return misspelling(std::min(edit_distance(word, name),
                                    edit_distance(word, name.substr(0, name.find(' ')))),
                           word);
    });
}

const OPTION *closest_option_line(char **words, int known)
{
    return nearest_option([words, known](std::string_view name) {
        const int n = name_words(name);
        if (n <= known)
            return SIZE_MAX;
        std::string typed;
        for (int i = 0; i < n && words[i]; i++) {
            if (i)
                typed += ' ';
            typed += words[i];
        }
        return misspelling(edit_distance(typed, name), typed);
    });
}

int option_leading_words(char **words)
{
    int most = 0;
    for (const OPTION *opt = general_options; opt->name; ++opt)
        most = std::max(most, leading_words(opt->name, words));
    return most;
}

std::string suggestion(const OPTION *opt)
{
    if (!opt)
        return "";
    // One word with a blank inside ("erase sector" quoted) names no option.
    constexpr std::array<const char *, 5> counts{"", "", " (two words)", " (three words)",
                                                 " (four words)"};
    const auto n = static_cast<std::size_t>(name_words(opt->name));
    return std::string("Did you mean \"") + opt->name + "\"" +
           (n < counts.size() ? counts[n] : " (several words)") + "?";
}
