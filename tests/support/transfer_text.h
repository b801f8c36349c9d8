// What the transfer tests compare: images that show a shifted or lost byte, the frames the board
// receives for a block write, and zelk's output with its measured figures masked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "board.h"

namespace zt {

inline constexpr int BLOCK_BYTES = 512;  // data bytes of one "WB" frame

// zelk's texts around a transfer at 38400, with the measured figures as masked() leaves them.
inline const std::string HEAD = "Set speed=38400\nTest link ...Ok\n";
inline const std::string FAST = "Fast Write flash ...";
inline const std::string LINK_OK = "Test link ...Ok\n";
inline const std::string TIMES = "\nTransfer time = T sec\nSpeed = S bytes/sec";

// len bytes, none 0xFF (it would hide in a block's padding) nor zero, different for each seed.
inline std::string pattern(std::size_t len, int seed = 7)
{
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; i++)
        s[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) % 251 + 1);
    return s;
}

// What the board receives for the blocks of `data` sent from flash offset `offset`.
inline std::string block_frames(const std::string &data, std::uint32_t offset)
{
    std::string s;
    for (std::size_t pos = 0; pos < data.size(); pos += BLOCK_BYTES) {
        std::string block = data.substr(pos, BLOCK_BYTES);
        block.resize(BLOCK_BYTES, '\xFF');  // programming 0xFF leaves the flash as it is
        s += "WB" + zb::hex8(offset + static_cast<std::uint32_t>(pos)) + block;
    }
    return s;
}

// The measured figures, which vary from run to run, masked.
inline std::string masked(const std::string &out)
{
    static const std::regex time(R"(Transfer time = \d+\.\d{3} sec)");
    static const std::regex speed(R"(Speed = \d+\.\d bytes/sec)");
    return std::regex_replace(std::regex_replace(out, time, "Transfer time = T sec"), speed,
                              "Speed = S bytes/sec");
}

}  // namespace zt
