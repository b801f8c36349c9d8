// The image formats: which one a file is in, where in it something was found, the pieces the
// readers share, and the merge of what they read into runs of bytes. The readers themselves:
// image_hex.cc, image_srec.cc, image_elf.cc.
#include "monitor/image/image_parse.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <numeric>

#include "monitor/image/image_records.h"

namespace {

constexpr std::array<const char *, 4> FORMAT_TITLES{"raw binary", "Intel HEX", "S-records", "ELF"};

// Where the first record of a text image starts: past the byte-order mark, blanks and empty
// lines, as the readers skip them. Its line (1-based) into *line when given.
std::size_t text_start(const U8 *p, std::size_t n, int *line = nullptr)
{
    std::size_t i = bom_bytes(p, n);
    int number = 1;
    for (; i < n && (blank_char(p[i]) || p[i] == '\r' || p[i] == '\n'); i++)
        number += p[i] == '\n';
    if (line)
        *line = number;
    return i;
}

}  // namespace

std::string format_text(const char *fmt, ...)
{
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

int refuse(parse_error &err, image_place at, std::string reason)
{
    err.at = at;
    err.reason = std::move(reason);
    return 0;
}

// A UTF-8 byte-order mark that an editor may put before the first record: its length, or 0.
std::size_t bom_bytes(const U8 *p, std::size_t n)
{
    return n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
}

// The hex digit pairs of a record from column `col` (1-based) on. 1 = all were pairs of digits.
int record_bytes(std::string_view s, int col, std::vector<U8> &out, std::string &reason)
{
    out.clear();
    for (std::size_t i = 0; i < s.size(); i++) {
        if (hex_digit(s[i]) < 0) {
            const U8 c = static_cast<U8>(s[i]);
            reason = c > ' ' && c < 0x7F ? format_text("bad hex digit '%c' in column %d", c,
                                                       col + static_cast<int>(i))
                                         : format_text("bad hex digit 0x%02X in column %d", c,
                                                       col + static_cast<int>(i));
            return 0;
        }
    }
    if (s.size() % 2 != 0) {
        reason = format_text("odd number of hex digits (%zu)", s.size());
        return 0;
    }
    for (std::size_t i = 0; i < s.size(); i += 2)
        out.push_back(static_cast<U8>(hex_digit(s[i]) << 4 | hex_digit(s[i + 1])));
    return 1;
}

unsigned byte_sum(const std::vector<U8> &b, std::size_t count)
{
    return std::accumulate(b.begin(), b.begin() + static_cast<long>(count), 0u);
}

// The len bytes at p go to `address`. Addresses end at 0xFFFFFFFF: bytes past it are refused,
// never wrapped or carried on.
int add_chunk(parsed_image &out, std::uint64_t address, const U8 *p, std::size_t len,
              image_place at, parse_error &err)
{
    constexpr std::uint64_t ADDRESS_END = std::uint64_t{1} << 32;
    if (address + len > ADDRESS_END)
        return refuse(err, at,
                      format_text("bytes 0x%08llX-0x%llX run past address 0xFFFFFFFF",
                                  static_cast<unsigned long long>(address),
                                  static_cast<unsigned long long>(address + len - 1)));
    out.chunks.push_back({address, out.data.size(), len, at});
    out.data.insert(out.data.end(), p, p + len);
    return 1;
}

const char *format_title(image_format f) { return FORMAT_TITLES[f]; }

image_format detect_format(const U8 *p, std::size_t n)
{
    if (n >= 4 && std::memcmp(p,
                              "\x7f"
                              "ELF",
                              4) == 0)
        return FORMAT_ELF;
    const std::size_t i = text_start(p, n);
    if (i < n && p[i] == ':')
        return FORMAT_HEX;
    if (i + 1 < n && p[i] == 'S' && p[i + 1] >= '0' && p[i + 1] <= '9')
        return FORMAT_SREC;
    return FORMAT_BIN;
}

int first_record_line(const U8 *p, std::size_t n)
{
    int line = 1;
    text_start(p, n, &line);
    return line;
}

std::string place_text(const image_place &at)
{
    switch (at.kind) {
    case PLACE_LINE:
        return " line " + std::to_string(at.number);
    case PLACE_SEGMENT:
        return " segment " + std::to_string(at.number);
    case PLACE_ELF_HEADER:
        return " ELF header";
    default:
        return "";
    }
}

// ---- Merging -------------------------------------------------------------------------------

int merge_chunks(const parsed_image &in, std::vector<image_run> &runs, parse_error &err)
{
    std::vector<std::size_t> order(in.chunks.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return in.chunks[a].address < in.chunks[b].address;
    });
    runs.clear();
    for (std::size_t idx : order) {
        const image_chunk &c = in.chunks[idx];
        if (c.len == 0)
            continue;
        const U8 *bytes = in.data.data() + c.start;
        std::size_t skip = 0;  // bytes of c already in the last run
        if (!runs.empty()) {
            image_run &last = runs.back();
            const std::uint64_t last_end = last.address + last.bytes.size();
            if (c.address <= last_end) {
                skip =
                    static_cast<std::size_t>(std::min<std::uint64_t>(last_end - c.address, c.len));
                for (std::size_t i = 0; i < skip; i++) {
                    const U8 held =
                        last.bytes[static_cast<std::size_t>(c.address - last.address) + i];
                    if (held == bytes[i])
                        continue;
                    // Name the chunk that put the other byte there.
                    const std::uint64_t a = c.address + i;
                    std::size_t other = idx;
                    for (std::size_t j = 0; j < in.chunks.size(); j++) {
                        const image_chunk &o = in.chunks[j];
                        if (j != idx && a >= o.address && a < o.address + o.len &&
                            in.data[o.start + static_cast<std::size_t>(a - o.address)] == held) {
                            other = j;
                            break;
                        }
                    }
                    const bool later = idx > other;
                    const image_chunk &here = later ? c : in.chunks[other];
                    const image_chunk &there = later ? in.chunks[other] : c;
                    err.at = here.at;
                    err.reason = format_text("address 0x%08llX: 0x%02X here, 0x%02X at",
                                             static_cast<unsigned long long>(a),
                                             later ? bytes[i] : held, later ? held : bytes[i]) +
                                 place_text(there.at);
                    return 0;
                }
                last.bytes.insert(last.bytes.end(), bytes + skip, bytes + c.len);
                continue;
            }
        }
        runs.push_back({c.address, std::vector<U8>(bytes, bytes + c.len)});
    }
    return 1;
}
