// Intel HEX, S-record and ELF readers, and the merge of what they read into runs of bytes.
#include "monitor/image_parse.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string_view>

namespace {

constexpr std::array<const char *, 4> FORMAT_TITLES{"raw binary", "Intel HEX", "S-records", "ELF"};

std::string format_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
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

bool blank_char(U8 c) { return c == ' ' || c == '\t'; }

// A UTF-8 byte-order mark that an editor may put before the first record: its length, or 0.
std::size_t bom_bytes(const U8 *p, std::size_t n)
{
    return n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF ? 3 : 0;
}

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

unsigned get16(const U8 *p) { return p[0] | unsigned{p[1]} << 8; }
U32 get32(const U8 *p) { return p[0] | U32{p[1]} << 8 | U32{p[2]} << 16 | U32{p[3]} << 24; }

}  // namespace

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

// ---- Intel HEX ---------------------------------------------------------------------------------

int parse_intel_hex(const U8 *p, std::size_t n, parsed_image &out, parse_error &err)
{
    constexpr std::size_t EMPTY_RECORD = 5;  // length, address (2), type, checksum
    line_walk w{p, n, bom_bytes(p, n), 0, {}};
    std::vector<U8> b;
    std::string reason;
    std::uint64_t base = 0;
    bool ended = false;
    while (w.next()) {
        const image_place at{PLACE_LINE, w.number};
        if (w.blank())
            continue;
        err.whole_record = false;
        if (ended)
            return refuse(err, at, "data after the end record");
        if (w.line[0] != ':')
            return refuse(err, at, "record does not start with ':'");
        if (!record_bytes(w.line.substr(1), 2, b, reason))
            return refuse(err, at, reason);
        if (b.size() < EMPTY_RECORD)
            return refuse(err, at,
                          format_text("record of %zu bytes, an empty one has 5", b.size()));
        const std::size_t len = b[0];
        if (b.size() != len + EMPTY_RECORD)
            return refuse(err, at,
                          format_text("length 0x%02zX, record holds 0x%02zX data bytes", len,
                                      b.size() - EMPTY_RECORD));
        const unsigned expected = (0x100 - byte_sum(b, b.size() - 1) % 0x100) % 0x100;
        if (b.back() != expected)
            return refuse(err, at,
                          format_text("checksum 0x%02X, expected 0x%02X", b.back(), expected));
        err.whole_record = true;
        const unsigned offset = unsigned{b[1]} << 8 | b[2];
        const U8 type = b[3];
        const U8 *data = b.data() + 4;
        auto need_length = [&](std::size_t want) {
            if (len == want)
                return 1;
            return refuse(
                err, at,
                format_text("record type 0x%02X with 0x%02zX data bytes, expected 0x%02zX", type,
                            len, want));
        };
        switch (type) {
        case 0x00:  // data
            // The 16-bit offset wraps inside its segment; a record that would wrap is refused
            // rather than guessed at.
            if (offset + len > 0x10000)
                return refuse(err, at, "data runs past the end of its 64 KiB segment");
            if (!add_chunk(out, base + offset, data, len, at, err))
                return 0;
            break;
        case 0x01:  // end of file
            if (!need_length(0))
                return 0;
            ended = true;
            break;
        case 0x02:  // extended segment address: paragraph number
            if (!need_length(2))
                return 0;
            base = (std::uint64_t{data[0]} << 8 | data[1]) << 4;
            break;
        case 0x04:  // extended linear address: upper 16 bits
            if (!need_length(2))
                return 0;
            base = (std::uint64_t{data[0]} << 8 | data[1]) << 16;
            break;
        case 0x03:  // start segment address (CS:IP): no flash content
        case 0x05:  // start linear address: no flash content
            if (!need_length(4))
                return 0;
            break;
        default:
            return refuse(err, at, format_text("record type 0x%02X unknown", type));
        }
    }
    if (!ended)
        return refuse(err, {PLACE_FILE, 0}, "no end record (type 01)");
    return 1;
}

// ---- Motorola S-records --------------------------------------------------------------------

int parse_srec(const U8 *p, std::size_t n, parsed_image &out, parse_error &err)
{
    // Address bytes of each record type S0 to S9; 0 for S4, which is not defined.
    constexpr std::array<std::size_t, 10> ADDRESS_BYTES{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    line_walk w{p, n, bom_bytes(p, n), 0, {}};
    std::vector<U8> b;
    std::string reason;
    std::uint64_t data_records = 0;
    bool ended = false;
    bool counted_last = false;  // the last record so far is a record count, found right
    while (w.next()) {
        const image_place at{PLACE_LINE, w.number};
        if (w.blank())
            continue;
        err.whole_record = false;
        if (ended)
            return refuse(err, at, "data after the end record");
        counted_last = false;
        if (w.line[0] != 'S')
            return refuse(err, at, "record does not start with 'S'");
        const int type =
            w.line.size() >= 2 && w.line[1] >= '0' && w.line[1] <= '9' ? w.line[1] - '0' : -1;
        if (type < 0 || ADDRESS_BYTES[static_cast<std::size_t>(type)] == 0) {
            const U8 c = w.line.size() >= 2 ? static_cast<U8>(w.line[1]) : ' ';
            return refuse(err, at,
                          c > ' ' && c < 0x7F ? format_text("record type S%c unknown", c)
                                              : std::string("record type missing"));
        }
        if (!record_bytes(w.line.substr(2), 3, b, reason))
            return refuse(err, at, reason);
        if (b.empty())
            return refuse(err, at, "record without a count");
        const std::size_t count = b[0];
        if (b.size() != count + 1)
            return refuse(
                err, at,
                format_text("count 0x%02zX, record holds 0x%02zX bytes", count, b.size() - 1));
        const std::size_t abytes = ADDRESS_BYTES[static_cast<std::size_t>(type)];
        if (count < abytes + 1)
            return refuse(
                err, at,
                format_text("count 0x%02zX, S%d needs at least 0x%02zX", count, type, abytes + 1));
        const unsigned expected = ~byte_sum(b, b.size() - 1) & 0xFF;
        if (b.back() != expected)
            return refuse(err, at,
                          format_text("checksum 0x%02X, expected 0x%02X", b.back(), expected));
        err.whole_record = true;
        std::uint64_t address = 0;
        for (std::size_t i = 1; i <= abytes; i++)
            address = address << 8 | b[i];
        const U8 *data = b.data() + 1 + abytes;
        const std::size_t len = count - abytes - 1;
        switch (type) {
        case 1:
        case 2:
        case 3:
            if (!add_chunk(out, address, data, len, at, err))
                return 0;
            data_records++;
            break;
        case 5:
        case 6:
            if (len != 0)
                return refuse(err, at, format_text("count record S%d with data bytes", type));
            if (address != data_records)
                return refuse(err, at,
                              format_text("record count %llu, data records seen %llu",
                                          static_cast<unsigned long long>(address),
                                          static_cast<unsigned long long>(data_records)));
            counted_last = true;
            break;
        case 7:
        case 8:
        case 9:  // start address: no flash content; the last record
            ended = true;
            break;
        default:  // S0: header
            break;
        }
    }
    // Without one a file cut at a line's end would pass for the whole image. srec_cat writes no
    // end record unless given a start address, but ends with a record count, which proves the
    // same.
    if (!ended && !counted_last)
        return refuse(err, {PLACE_FILE, 0},
                      "no end record (S7, S8 or S9) nor a record count (S5 or S6) last");
    return 1;
}

// ---- ELF -----------------------------------------------------------------------------------

int parse_elf(const U8 *p, std::size_t n, parsed_image &out, parse_error &err)
{
    constexpr std::size_t HEADER_BYTES = 52;
    constexpr std::size_t PHDR_BYTES = 32;
    constexpr unsigned EM_NONE = 0, EM_ARM = 40;
    constexpr U32 PT_LOAD = 1;
    // Segments may share file bytes; past this much data the file cannot be a flash image.
    constexpr std::uint64_t MAX_DATA = std::uint64_t{32} * FLASH_BYTES;
    const image_place header{PLACE_ELF_HEADER, 0};
    // Also when "format elf" says what the file is: its first bytes must agree.
    if (n < 4 || std::memcmp(p,
                             "\x7f"
                             "ELF",
                             4) != 0)
        return refuse(err, header, "no ELF signature (0x7F 'E' 'L' 'F') at the file's start");
    if (n < HEADER_BYTES)
        return refuse(err, header, format_text("file of %zu bytes, an ELF header has 52", n));
    if (p[4] != 1)
        return refuse(err, header,
                      p[4] == 2 ? std::string("64-bit (class 2); zelk takes 32-bit ELF")
                                : format_text("class %u unknown", p[4]));
    if (p[5] != 1)
        return refuse(err, header,
                      p[5] == 2 ? std::string("big-endian; zelk takes little-endian ELF")
                                : format_text("data encoding %u unknown", p[5]));
    const unsigned machine = get16(p + 18);
    if (machine != EM_ARM && machine != EM_NONE)
        return refuse(err, header, format_text("machine %u, not ARM (40)", machine));
    const U32 phoff = get32(p + 28);
    const unsigned phentsize = get16(p + 42);
    const unsigned phnum = get16(p + 44);
    if (phnum > 0 && phentsize < PHDR_BYTES)
        return refuse(err, header, format_text("program header size %u, below 32", phentsize));
    if (std::uint64_t{phoff} + std::uint64_t{phnum} * phentsize > n)
        return refuse(err, header, "program headers past the end of the file");
    std::uint64_t total = 0;
    for (unsigned i = 0; i < phnum; i++) {
        const U8 *h = p + phoff + std::size_t{i} * phentsize;
        const image_place at{PLACE_SEGMENT, static_cast<int>(i)};
        const U32 offset = get32(h + 4), paddr = get32(h + 12), filesz = get32(h + 16),
                  memsz = get32(h + 20);
        if (get32(h) != PT_LOAD || filesz == 0)
            continue;
        if (std::uint64_t{offset} + filesz > n)
            return refuse(
                err, at,
                format_text("file bytes 0x%x-0x%llx past the end of the file", offset,
                            static_cast<unsigned long long>(std::uint64_t{offset} + filesz - 1)));
        if (filesz > memsz)
            return refuse(err, at,
                          format_text("file size 0x%x above memory size 0x%x", filesz, memsz));
        total += filesz;
        if (total > MAX_DATA)
            return refuse(err, at, "more than 64 MiB of segment data");
        // The physical address is where the loader finds the bytes: the flash, for code that
        // runs from RAM after being copied there.
        if (!add_chunk(out, paddr, p + offset, filesz, at, err))
            return 0;
    }
    if (out.chunks.empty())
        return refuse(err, header, "no loadable segment with file bytes");
    return 1;
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
