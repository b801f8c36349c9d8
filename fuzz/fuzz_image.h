// The image readers under the fuzzer: any bytes as an input file, read and merged as the block
// write's image loader does. Every chunk a reader reports lies inside the bytes it kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "monitor/image/image_parse.h"

inline int fuzz_image_reader(int (*reader)(const U8 *, std::size_t, parsed_image &, parse_error &),
                             const std::uint8_t *data, std::size_t size)
{
    parsed_image parsed;
    parse_error err;
    if (!reader(data, size, parsed, err))
        return 0;
    for (const image_chunk &c : parsed.chunks)
        if (c.start > parsed.data.size() || c.len > parsed.data.size() - c.start)
            __builtin_trap();
    std::vector<image_run> runs;
    merge_chunks(parsed, runs, err);
    return 0;
}
