// The Intel HEX reader under the fuzzer.
#include <cstddef>
#include <cstdint>

#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return fuzz_image_reader(parse_intel_hex, data, size);
}
