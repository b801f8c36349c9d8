// The options file: the input is the whole of ./zelk.cfg, read through an in-memory file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_exit.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    int fd = memfd_create("zelk.cfg", 0);
    if (fd < 0)
        return 0;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        try {
            options_from_file(path.c_str());
        } catch (const fuzz_exit &) {
        }
    }
    close(fd);
    return 0;
}
