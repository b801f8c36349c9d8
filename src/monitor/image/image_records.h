// What the readers of the text and ELF images share (image_parse.cc): their messages, the lines
// of a text image, the hex digits of a record, and the chunk a record adds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "zelk.h"

struct image_place;
struct parse_error;
struct parsed_image;

// A message text, printf-like, of at most 159 characters.
std::string format_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Says where and why in `err`; returns 0, the readers' failure.
int refuse(parse_error &err, image_place at, std::string reason);

inline bool blank_char(U8 c) { return c == ' ' || c == '\t'; }

// A UTF-8 byte-order mark that an editor may put before the first record: its length, or 0.
std::size_t bom_bytes(const U8 *p, std::size_t n);

// The lines of a text image: LF or CR LF ends a line; a last line without its LF counts.
struct line_walk {
    const U8 *p;
    std::size_t n;
    std::size_t pos = 0;
    int number = 0;
    std::string_view line;
    bool next()
    {
        if (pos >= n)
            return false;
        const U8 *lf = static_cast<const U8 *>(std::memchr(p + pos, '\n', n - pos));
        const std::size_t end = lf ? static_cast<std::size_t>(lf - p) : n;
        std::size_t len = end - pos;
        if (lf && len > 0 && p[end - 1] == '\r')
            --len;
        line = std::string_view(reinterpret_cast<const char *>(p + pos), len);
        pos = lf ? end + 1 : n;
        ++number;
        return true;
    }
    bool blank() const
    {
        return std::all_of(line.begin(), line.end(), [](char c) { return blank_char(c); });
    }
};

// The hex digit pairs of a record from column `col` (1-based) on. 1 = all were pairs of digits.
int record_bytes(std::string_view s, int col, std::vector<U8> &out, std::string &reason);

// The sum of the first `count` bytes of b.
unsigned byte_sum(const std::vector<U8> &b, std::size_t count);

// The len bytes at p go to `address`. Addresses end at 0xFFFFFFFF: bytes past it are refused,
// never wrapped or carried on.
int add_chunk(parsed_image &out, std::uint64_t address, const U8 *p, std::size_t len,
              image_place at, parse_error &err);
