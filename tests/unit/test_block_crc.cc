// The block check value, against the values the monitor is known to answer.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>

#include "monitor/link/block_crc.h"

TEST(BlockCrc, KnownValues)
{
    const char digits[] = "123456789";
    EXPECT_EQ(block_crc_update(BLOCK_CRC_INIT, reinterpret_cast<const U8 *>(digits), 9),
              0x8353AF19u);

    std::array<U8, FLASH_BLOCK_BYTES> block;
    block.fill(0xFF);
    EXPECT_EQ(block_crc(0, block.data()), 0xFFFFF01Fu);

    for (int n = 0; n < FLASH_BLOCK_BYTES; n++)
        block[n] = static_cast<U8>(n);
    EXPECT_EQ(block_crc(0, block.data()), 0xBCADD11Fu);
    EXPECT_EQ(block_crc(0x1F0000, block.data()), 0xBCADD11Fu) << "the offset is shifted out";
}

// Only the last 32 bits fed decide the value: D ^ D<<5 ^ D<<12 over the block's last word,
// so a block ending in four zero bytes checks to 0 at any offset.
TEST(BlockCrc, DependsOnTheLastWordOnly)
{
    std::array<U8, FLASH_BLOCK_BYTES> block{};
    block[0] = 0x5A;
    for (U32 offset : {0u, 0x200u, 0x10400u})
        EXPECT_EQ(block_crc(offset, block.data()), 0u);

    const U32 d = 0xDEADBEEF;
    block[508] = 0xDE, block[509] = 0xAD, block[510] = 0xBE, block[511] = 0xEF;
    EXPECT_EQ(block_crc(0x400, block.data()), d ^ (d << 5) ^ (d << 12));
}

// The value from the last word equals the whole feed: the offset's text and all 512 bytes from
// the initial value, as the monitor computes it.
TEST(BlockCrc, EqualsTheWholeFeed)
{
    std::mt19937 rng(26);
    std::array<U8, FLASH_BLOCK_BYTES> block;
    for (int round = 0; round < 200; round++) {
        for (U8 &b : block)
            b = static_cast<U8>(rng());
        const U32 offset =
            static_cast<U32>(rng()) % 0x200000u / FLASH_BLOCK_BYTES * FLASH_BLOCK_BYTES;
        char text[9];
        std::snprintf(text, sizeof text, "%08x", offset);
        U32 whole = block_crc_update(BLOCK_CRC_INIT, reinterpret_cast<const U8 *>(text), 8);
        whole = block_crc_update(whole, block.data(), FLASH_BLOCK_BYTES);
        EXPECT_EQ(block_crc(offset, block.data()), whole) << round;
    }
}
