// Loading the input file of the block write and the byte write.
#include "monitor/input_file.h"

#include <climits>
#include <cstdio>
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

int load_input_file(const char *name, input_image &image)
{
    // Read-only: a write-protected image is as good a source as any. A FIFO or a device would
    // never give a length to send.
    bool not_regular = false;
    file_ptr f = open_regular_file(name, &not_regular);
    if (not_regular) {
        std::fprintf(stderr, "\nInput file [%s] is not a regular file\n", name);
        return 0;
    }
    if (!f) {
        std::fprintf(stderr, "\nInput file [%s] open error\n", name);
        return 0;
    }
    // A length the transfer's int counters cannot hold would turn negative and send nothing.
    const long len = measure(f.get());
    if (len <= 0 || len > INT_MAX) {
        std::fprintf(stderr, "\nSize read of input file [%s] error\n", name);
        return 0;
    }
    if (file_size == 0)
        file_size = static_cast<int>(len);
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
