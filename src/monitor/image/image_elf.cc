// The ELF reader: the loadable segments of a 32-bit little-endian ARM file.
#include <array>
#include <cstdio>

#include "monitor/image/image_parse.h"
#include "monitor/image/image_records.h"

namespace {

unsigned get16(const U8 *p) { return p[0] | unsigned{p[1]} << 8; }
U32 get32(const U8 *p) { return p[0] | U32{p[1]} << 8 | U32{p[2]} << 16 | U32{p[3]} << 24; }

}  // namespace

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
