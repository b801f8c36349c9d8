// The board's flash: a 2 MiB NOR chip in 32 uniform sectors of 64 KiB (an Am29LV017-like part).
// Erase sets bytes to 0xFF; programming can only clear bits, so a write without erase shows.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "protocol.h"

namespace zb {

constexpr U32 FLASH_BYTES = 2 * 1024 * 1024;
constexpr U32 FLASH_SECTOR_BYTES = 64 * 1024;
constexpr U32 FLASH_SECTORS = FLASH_BYTES / FLASH_SECTOR_BYTES;
constexpr U8 FLASH_ERASED = 0xFF;

struct NorFlash {
    std::vector<U8> bytes = std::vector<U8>(FLASH_BYTES, FLASH_ERASED);
    int fd = -1;  // backing file kept in step with `bytes`, or -1

    NorFlash() = default;
    ~NorFlash();
    NorFlash(const NorFlash &) = delete;
    NorFlash &operator=(const NorFlash &) = delete;
};

// Loads the chip from `path` (a shorter or missing file reads as erased) and keeps the file
// updated from then on. On failure `err` says why.
bool flash_attach_file(NorFlash &f, const std::string &path, std::string &err);

void flash_erase_all(NorFlash &f);
bool flash_erase_sector(NorFlash &f, U32 sector);  // false for a sector beyond the chip
// Programs from `offset`: each byte becomes old & new. Bytes beyond the chip are dropped.
void flash_program(NorFlash &f, U32 offset, const U8 *p, std::size_t n);
// Sets bytes directly, as an external programmer would (for preloading a test image).
void flash_store(NorFlash &f, U32 offset, const U8 *p, std::size_t n);

}  // namespace zb
