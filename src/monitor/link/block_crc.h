// Block check value of the block write ("WB"), computed alike by zelk and by the board's monitor.
#pragma once

#include <cstddef>

#include "zelk.h"

constexpr int FLASH_BLOCK_BYTES = 512;  // data bytes of one "WB" frame
constexpr U32 BLOCK_CRC_INIT = 0xFFFF;

// Feeds `len` bytes into the register, most significant bit first. Each bit shifts the 32-bit
// register left; a data bit of 1 then xors in 0x1021. The feedback depends on the data bit alone
// (this is not CRC-16/CCITT) and nothing is cut to 16 bits.
U32 block_crc_update(U32 crc, const U8 *p, std::size_t len);

// The value the monitor answers for one block: the offset written as "%08x" (lower case), then
// the 512 bytes of the block, fed from BLOCK_CRC_INIT. Only the last 32 bits fed decide it, so
// it is computed from the block's last 4 bytes.
U32 block_crc(U32 offset, const U8 *block);
