// The ELF reader: any bytes as an input file, read and merged as the block write's image
// loader does. Every chunk it reports lies inside the bytes it kept.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "monitor/image_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    parsed_image parsed;
    parse_error err;
    if (!parse_elf(data, size, parsed, err))
        return 0;
    for (const image_chunk &c : parsed.chunks)
        if (c.start > parsed.data.size() || c.len > parsed.data.size() - c.start)
            __builtin_trap();
    std::vector<image_run> runs;
    merge_chunks(parsed, runs, err);
    return 0;
}
