// The Motorola S-record reader.
#include <array>
#include <cstdio>

#include "monitor/image/image_parse.h"
#include "monitor/image/image_records.h"

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
