// The Intel HEX reader.
#include <array>
#include <cstdio>

#include "monitor/image/image_parse.h"
#include "monitor/image/image_records.h"

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
