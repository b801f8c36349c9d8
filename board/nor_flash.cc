#include "nor_flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zb {

namespace {

// The part of [offset, offset + n) that lies on the chip, as a count of bytes.
std::size_t clip(U32 offset, std::size_t n)
{
    if (offset >= FLASH_BYTES)
        return 0;
    return std::min<std::size_t>(n, FLASH_BYTES - offset);
}

void persist(NorFlash &f, U32 offset, std::size_t n)
{
    if (f.fd < 0 || n == 0)
        return;
    // A failed write leaves the file stale; the board goes on serving from memory.
    [[maybe_unused]] ssize_t w = ::pwrite(f.fd, f.bytes.data() + offset, n, offset);
}

}  // namespace

NorFlash::~NorFlash()
{
    if (fd >= 0)
        ::close(fd);
}

bool flash_attach_file(NorFlash &f, const std::string &path, std::string &err)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = "cannot open flash file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fill(f.bytes.begin(), f.bytes.end(), FLASH_ERASED);
    std::size_t got = 0;
    while (got < FLASH_BYTES) {
        ssize_t r = ::pread(fd, f.bytes.data() + got, FLASH_BYTES - got, static_cast<off_t>(got));
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    if (f.fd >= 0)
        ::close(f.fd);
    f.fd = fd;
    persist(f, 0, FLASH_BYTES);  // a short or new file grows to the whole chip
    return true;
}

void flash_erase_all(NorFlash &f)
{
    std::fill(f.bytes.begin(), f.bytes.end(), FLASH_ERASED);
    persist(f, 0, FLASH_BYTES);
}

bool flash_erase_sector(NorFlash &f, U32 sector)
{
    if (sector >= FLASH_SECTORS)
        return false;
    U32 start = sector * FLASH_SECTOR_BYTES;
    std::fill_n(f.bytes.begin() + start, FLASH_SECTOR_BYTES, FLASH_ERASED);
    persist(f, start, FLASH_SECTOR_BYTES);
    return true;
}

void flash_program(NorFlash &f, U32 offset, const U8 *p, std::size_t n)
{
    n = clip(offset, n);
    for (std::size_t i = 0; i < n; i++)
        f.bytes[offset + i] &= p[i];
    persist(f, offset, n);
}

void flash_store(NorFlash &f, U32 offset, const U8 *p, std::size_t n)
{
    n = clip(offset, n);
    std::copy_n(p, n, f.bytes.begin() + offset);
    persist(f, offset, n);
}

}  // namespace zb
