// SHA-256 as FIPS 180-4 describes it: 64-byte blocks, big-endian words, 64 rounds.
#include "monitor/image/sha256.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::array<U32, 64> K{
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr U32 rotr(U32 x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(sha256_state &s, const U8 *p)
{
    std::array<U32, 64> w;
    for (int i = 0; i < 16; i++)
        w[i] = U32{p[4 * i]} << 24 | U32{p[4 * i + 1]} << 16 | U32{p[4 * i + 2]} << 8 |
               U32{p[4 * i + 3]};
    for (int i = 16; i < 64; i++) {
        const U32 s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const U32 s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    U32 a = s.h[0], b = s.h[1], c = s.h[2], d = s.h[3], e = s.h[4], f = s.h[5], g = s.h[6],
        h = s.h[7];
    for (int i = 0; i < 64; i++) {
        const U32 t1 =
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const U32 t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s.h[0] += a, s.h[1] += b, s.h[2] += c, s.h[3] += d;
    s.h[4] += e, s.h[5] += f, s.h[6] += g, s.h[7] += h;
}

}  // namespace

void sha256_init(sha256_state &s)
{
    s.h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    s.fill = 0;
    s.length = 0;
}

void sha256_update(sha256_state &s, const U8 *p, std::size_t len)
{
    s.length += len;
    while (len > 0) {
        if (s.fill == 0 && len >= 64) {
            compress(s, p);
            p += 64;
            len -= 64;
            continue;
        }
        const std::size_t n = std::min(len, 64 - s.fill);
        std::memcpy(s.block.data() + s.fill, p, n);
        s.fill += n;
        p += n;
        len -= n;
        if (s.fill == 64) {
            compress(s, s.block.data());
            s.fill = 0;
        }
    }
}

void sha256_final(sha256_state &s, char hex[65])
{
    const std::uint64_t bits = s.length * 8;
    const U8 one = 0x80, zero = 0;
    sha256_update(s, &one, 1);
    while (s.fill != 56)
        sha256_update(s, &zero, 1);
    U8 len_be[8];
    for (int i = 0; i < 8; i++)
        len_be[i] = static_cast<U8>(bits >> (56 - 8 * i));
    sha256_update(s, len_be, 8);
    static constexpr char digits[] = "0123456789abcdef";
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 8; j++)
            hex[8 * i + j] = digits[(s.h[i] >> (28 - 4 * j)) & 0xF];
    hex[64] = 0;
}
