// The command line: input bytes split into words at blanks and newlines, as a shell would pass
// them, then matched and applied by parse_args.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_exit.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size; i++) {
        char c = static_cast<char>(data[i]);
        if (c == ' ' || c == '\n')
            words.emplace_back();
        else if (c != '\0')
            words.back() += c;
    }
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    try {
        parse_args(static_cast<int>(words.size()), argv.data());
    } catch (const fuzz_exit &) {
    }
    return 0;
}
