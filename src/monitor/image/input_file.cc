// Loading the input file of the block write and the byte write.
#include "monitor/image/input_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "files.h"

namespace {

// The file's length, or 0 when it cannot be measured.
long measure(std::FILE *f)
{
    if (std::fseek(f, 0, SEEK_END) != 0)
        return 0;
    long len = std::ftell(f);
    if (len <= 0 || std::fseek(f, 0, SEEK_SET) != 0)
        return 0;
    return len;
}

}  // namespace

namespace {

// The file opened for reading and measured, or null after the failure's message.
file_ptr open_input_file(const char *name, long *len)
{
    // Read-only: a write-protected image is as good a source as any. A FIFO or a device would
    // never give a length to send.
    bool not_regular = false;
    file_ptr f = open_regular_file(name, &not_regular);
    if (not_regular) {
        std::fprintf(stderr, "\nInput file [%s] is not a regular file\n", name);
        return nullptr;
    }
    if (!f) {
        std::fprintf(stderr, "\nInput file [%s] open error: %s\n", name, std::strerror(errno));
        return nullptr;
    }
    // A length the transfer's int counters cannot hold would turn negative and send nothing.
    *len = measure(f.get());
    if (*len <= 0 || *len > INT_MAX) {
        std::fprintf(stderr, "\nSize read of input file [%s] error\n", name);
        return nullptr;
    }
    return f;
}

}  // namespace

int check_input_file(const char *name, long *len) { return open_input_file(name, len) ? 1 : 0; }

int image_fits_flash(long bytes, U32 offset)
{
    const std::uint64_t last = std::uint64_t{offset} + static_cast<std::uint64_t>(bytes);
    if (last > static_cast<std::uint64_t>(FLASH_BYTES)) {
        std::fprintf(stderr, "\nImage of %d bytes at offset 0x%x does not fit the 2 MiB flash\n",
                     static_cast<int>(bytes), static_cast<unsigned>(offset));
        return 0;
    }
    return 1;
}

int load_input_file(const char *name, input_image &image)
{
    long len = 0;
    file_ptr f = open_input_file(name, &len);
    if (!f)
        return 0;
    std::unique_ptr<U8[]> bytes(new (std::nothrow) U8[static_cast<std::size_t>(len)]);
    if (!bytes) {
        std::fprintf(stderr, "\nBuffer alloc error [%d][0x%x]\n", static_cast<int>(len),
                     static_cast<unsigned>(len));
        return 0;
    }
    std::size_t got = std::fread(bytes.get(), 1, static_cast<std::size_t>(len), f.get());
    if (got == static_cast<std::size_t>(len) && std::fgetc(f.get()) != EOF) {
        // The file grew after it was measured.
        std::fprintf(stderr, "\nInternal file read error [%s]\n", name);
        return 0;
    }
    if (got < static_cast<std::size_t>(len) || !std::feof(f.get())) {
        // Shorter than measured, or unreadable.
        std::fprintf(stderr, "\nFile [%s] read error, position [%d,%x]\n", name,
                     static_cast<int>(got), static_cast<unsigned>(got));
        return 0;
    }
    image.bytes = std::move(bytes);
    image.len = len;
    return 1;
}
