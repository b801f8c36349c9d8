#include "monitor/block_crc.h"

#include <cstdio>

U32 block_crc_update(U32 crc, const U8 *p, std::size_t len)
{
    for (std::size_t i = 0; i < len; i++) {
        for (int bit = 7; bit >= 0; bit--) {
            crc <<= 1;
            if ((p[i] >> bit) & 1)
                crc ^= 0x1021;
        }
    }
    return crc;
}

U32 block_crc(U32 offset, const U8 *block)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", offset);
    U32 crc = block_crc_update(BLOCK_CRC_INIT, reinterpret_cast<const U8 *>(text), 8);
    return block_crc_update(crc, block, FLASH_BLOCK_BYTES);
}
