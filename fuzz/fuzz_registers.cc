// The register listing: the input is what the monitor sends after its "RR" echo, collected
// character by character as the register dump does, with every value parsed as soon as it is
// complete.
#include <cstddef>
#include <cstdint>

#include "monitor/inspect.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    register_text t;
    for (std::size_t i = 0; i < size && t.more != 0 && !register_text_full(t); i++)
        take_register_char(t, static_cast<char>(data[i]));
    // The text stays terminated within its buffer whatever came in.
    if (t.text[static_cast<std::size_t>(t.pos)] != 0 || t.pos > REGISTER_TEXT_MAX_CHARS)
        __builtin_trap();
    return 0;
}
