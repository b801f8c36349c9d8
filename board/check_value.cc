#include "protocol.h"

namespace zb {

U32 check_value_feed(U32 reg, const U8 *bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++)
        for (U8 mask = 0x80; mask != 0; mask >>= 1)
            reg = (reg << 1) ^ ((bytes[i] & mask) ? 0x1021u : 0u);
    return reg;
}

U32 block_check_value(U32 offset, const U8 *block)
{
    static constexpr char hex[] = "0123456789abcdef";
    U8 text[8];
    for (int i = 0; i < 8; i++)
        text[i] = static_cast<U8>(hex[(offset >> (28 - 4 * i)) & 0xF]);
    U32 reg = check_value_feed(CHECK_VALUE_START, text, sizeof text);
    return check_value_feed(reg, block, MON_BLOCK_BYTES);
}

}  // namespace zb
