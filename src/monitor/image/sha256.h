// SHA-256 (FIPS 180-4) of the bytes an image defines, taken in ascending offset order: the plan
// and the run report name an image by it. It covers the bytes only, not where they go: two images
// of the same bytes at other offsets carry the same digest (the report lists the regions beside
// it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "zelk.h"

struct sha256_state {
    std::array<U32, 8> h;
    std::array<U8, 64> block;
    std::size_t fill = 0;      // bytes waiting in `block`
    std::uint64_t length = 0;  // bytes fed so far
};

void sha256_init(sha256_state &s);
void sha256_update(sha256_state &s, const U8 *p, std::size_t len);
// The digest as 64 lower-case hex digits and a terminating zero.
void sha256_final(sha256_state &s, char hex[65]);
