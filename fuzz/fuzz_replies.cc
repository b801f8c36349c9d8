// The monitor's 8-digit replies: the flash codes and the block check value are read with the
// same number parser, from exactly 8 received bytes that may be anything.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "monitor/link/link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    char reply[NUMBER_DIGITS];  // no terminator: the parser must stop within the 8 bytes
    if (size < sizeof reply)
        return 0;
    std::memcpy(reply, data, sizeof reply);
    U32 v = 0xDEADBEEF;
    if (parse_hex8(reply, v)) {
        // Accepted only when all 8 are hex digits, and then the value reads back the same.
        char again[NUMBER_DIGITS + 1];
        std::snprintf(again, sizeof again, "%08X", v);
        for (int i = 0; i < NUMBER_DIGITS; i++)
            if ((reply[i] | 0x20) != (again[i] | 0x20))
                __builtin_trap();
    } else if (v != 0xDEADBEEF) {
        __builtin_trap();  // a refused reply leaves the value alone
    }
    return 0;
}
