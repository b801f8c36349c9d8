// The boot monitor's protocol as the board plays it: command letters, the number field and the
// block check value. Written from the protocol, not taken from zelk's sources, so that a wrong
// letter, digit count or check value on either side fails the exchange instead of agreeing
// with itself.
#pragma once

#include <cstddef>
#include <cstdint>

// The fixed-width names the board and its tests use (zelk's sources spell them the same way).
using U8 = std::uint8_t;
using U32 = std::uint32_t;

namespace zb {

// Command letters. A command that takes a number prompts with its own two letters first.
inline constexpr char MON_CHIP_ERASE[] = "CE";    // erase the whole chip, answer "OK"
inline constexpr char MON_SECTOR_ERASE[] = "SE";  // number: sector; answer "OK"
inline constexpr char MON_BYTE_WRITE[] = "WR";    // number: byte count; each byte echoed
inline constexpr char MON_SET_SPEED[] = "SP";     // number: new line speed in baud
inline constexpr char MON_BLOCK_WRITE[] = "WB";   // number: offset; 512 bytes, check value back
inline constexpr char MON_READ[] = "RD";          // number: byte count; raw bytes from offset 0
inline constexpr char MON_MANUFACTURER[] = "MC";  // answer "MC" and 8 digits
inline constexpr char MON_DEVICE_ID[] = "ID";     // answer "ID" and 8 digits
inline constexpr char MON_DRAM_TEST[] = "DT";
inline constexpr char MON_DRAM_BYTE[] = "DB";
inline constexpr char MON_DRAM_HALFWORD[] = "DH";
inline constexpr char MON_DRAM_WORD[] = "DW";
inline constexpr char MON_REGISTERS[] = "RR";  // answer "RR" and the register listing

inline constexpr std::size_t MON_NUMBER_DIGITS = 8;  // a number travels as 8 hex digits, echoed
inline constexpr int MON_BLOCK_BYTES = 512;          // data bytes of one "WB" frame

// The block check value: a 32-bit register starting at 0xFFFF; every input bit, most significant
// first, shifts it left once (bit 31 falls off), and a 1 bit then xors in 0x1021. No reflection,
// no final xor, never cut to 16 bits.
inline constexpr U32 CHECK_VALUE_START = 0xFFFF;
U32 check_value_feed(U32 reg, const U8 *bytes, std::size_t n);
// What the monitor answers for a block: the register fed with the offset as "%08x" (lower case,
// though it travelled in upper case), then the 512 data bytes.
U32 block_check_value(U32 offset, const U8 *block);

}  // namespace zb
