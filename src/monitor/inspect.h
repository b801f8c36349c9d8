// The register listing's pure steps: the search for the thirteen registers in the text the
// monitor sends after "RR", declared apart from the line so that they can be tested alone.
#pragma once

#include <array>

#include "zelk.h"

// SYSCFG, EXTDBWTH, ROMCON0-5, DRAMCON0-3, REFEXTCON: the order of searching and decoding, and
// bit i of a "still missing" mask stands for register i.
inline constexpr int REGISTER_COUNT = 13;
inline constexpr U32 ALL_REGISTERS = (U32{1} << REGISTER_COUNT) - 1;
using register_values = std::array<U32, REGISTER_COUNT>;

// Skips spaces (0x20 only), then parse_hex8. 0 for a null str.
int registerval(const char *str, U32 &reg);

// Searches the zero-terminated text for every register whose bit is set in `more`: the first
// occurrence of its name, followed by a value registerval accepts. Stores each value found and
// returns `more` with their bits cleared. Only the first occurrence of a name ever counts.
U32 find_registers(const char *text, register_values &values, U32 more);

// The listing as collected: at most REGISTER_TEXT_MAX_CHARS characters, always zero-terminated,
// so a zero byte from the monitor ends the searchable text early.
inline constexpr int REGISTER_TEXT_MAX_CHARS = 1023;
struct register_text {
    std::array<char, REGISTER_TEXT_MAX_CHARS + 1> text{};
    int pos = 0;  // characters held
    register_values values{};
    U32 more = ALL_REGISTERS;  // registers not found yet
};

// 1 when no further character fits.
int register_text_full(const register_text &t);

// Appends one received character (the text must not be full) and searches again for the
// registers still missing.
void take_register_char(register_text &t, char c);
