// The formats toolchains write images in (Intel HEX, Motorola S-records, ELF), read strictly:
// every record's length and checksum are checked, unknown record types are refused. Each parser
// is a pure function over the file's bytes, so the tests and the fuzzer call it as the tool does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zelk.h"

// "raw binary", "Intel HEX", "S-records", "ELF": what the plan shows.
const char *format_title(image_format f);

// The format the bytes are in: "\x7fELF" is ELF; past a UTF-8 byte-order mark, blanks and empty
// lines, text that starts with ':' is Intel HEX and text that starts with 'S' and a digit is
// S-records; anything else is raw binary.
image_format detect_format(const U8 *p, std::size_t n);
// The line (1-based) that detect_format took the first record from.
int first_record_line(const U8 *p, std::size_t n);

// Where in the file something was found: a line (1-based) of a text format, a program header
// (0-based) of an ELF file, or the file as a whole.
enum place_kind { PLACE_FILE, PLACE_LINE, PLACE_SEGMENT, PLACE_ELF_HEADER };
struct image_place {
    place_kind kind = PLACE_FILE;
    int number = 0;
};
// " line 17", " segment 2", " ELF header" or "" (the file as a whole), as the messages put it
// after the file's name.
std::string place_text(const image_place &at);

// Bytes the file puts at one address: data[start, start + len) at `address`.
struct image_chunk {
    std::uint64_t address;
    std::size_t start;
    std::size_t len;
    image_place at;
};

struct parsed_image {
    std::vector<U8> data;  // the bytes of every chunk, one after the other
    std::vector<image_chunk> chunks;
};

struct parse_error {
    image_place at;
    std::string reason;         // "checksum 0x3C, expected 0x3D"
    bool whole_record = false;  // a text line refused for what its record says, its checksum right
};

// Each parser: 1 = `out` holds the file's chunks in file order; 0 = `err` says where and why.
int parse_intel_hex(const U8 *p, std::size_t n, parsed_image &out, parse_error &err);
int parse_srec(const U8 *p, std::size_t n, parsed_image &out, parse_error &err);
int parse_elf(const U8 *p, std::size_t n, parsed_image &out, parse_error &err);

// A set of bytes at addresses: the chunks merged into maximal runs of consecutive addresses, in
// ascending order.
struct image_run {
    std::uint64_t address;
    std::vector<U8> bytes;
};

// Merges the chunks of `in` (any order). Two chunks that give one address different bytes are
// refused, naming both places: `err.at` is the later one in the file. 1 = `runs` holds the result.
int merge_chunks(const parsed_image &in, std::vector<image_run> &runs, parse_error &err);
