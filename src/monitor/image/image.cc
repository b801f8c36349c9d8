// Making the write's image from the input file, and the blocks a write sends of it.
#include "monitor/image/image.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "monitor/image/input_file.h"
#include "monitor/image/sha256.h"
#include "options.h"

flash_image write_image;

namespace {

constexpr int OUTSIDE_RANGES_SHOWN = 8;

// A raw binary: the first file_size bytes (all of them when it is 0) at "offset", blocks counted
// from there as always.
int make_raw(const U8 *p, std::size_t n, flash_image &img)
{
    img.length = static_cast<long>(n);
    const std::size_t end =
        file_size > 0 ? std::min<std::size_t>(static_cast<std::size_t>(file_size), n) : n;
    // The flash ignores address bits above its size, so a block beyond the end would land at
    // the start, on the boot sector: every byte sent must lie inside the flash.
    const std::uint64_t sent =
        (std::uint64_t{end} + FLASH_BLOCK_BYTES - 1) / FLASH_BLOCK_BYTES * FLASH_BLOCK_BYTES;
    const U32 offset = static_cast<U32>(write_offset);
    if (offset + sent > static_cast<std::uint64_t>(FLASH_BYTES)) {
        std::fprintf(stderr, "\nImage of %d bytes at offset 0x%x does not fit the 2 MiB flash\n",
                     static_cast<int>(sent), static_cast<unsigned>(offset));
        return 0;
    }
    img.regions.push_back({offset, std::vector<U8>(p, p + end)});
    img.grid = offset % FLASH_BLOCK_BYTES;
    return 1;
}

int parse(image_format f, const U8 *p, std::size_t n, parsed_image &parsed, parse_error &err)
{
    switch (f) {
    case FORMAT_HEX:
        return parse_intel_hex(p, n, parsed, err);
    case FORMAT_SREC:
        return parse_srec(p, n, parsed, err);
    default:
        return parse_elf(p, n, parsed, err);
    }
}

// The address ranges of `runs` that lie outside the flash window, as "0x00400000-0x004001ff"
// separated by ", ". Empty when everything lies inside.
std::string outside_window(const std::vector<image_run> &runs, std::uint64_t base)
{
    const std::uint64_t top = base + FLASH_BYTES;
    std::string list;
    int shown = 0, more = 0;
    auto add = [&](std::uint64_t from, std::uint64_t to) {
        if (from >= to)
            return;
        if (shown == OUTSIDE_RANGES_SHOWN) {
            more++;
            return;
        }
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s0x%08llx-0x%08llx", shown ? ", " : "",
                      static_cast<unsigned long long>(from),
                      static_cast<unsigned long long>(to - 1));
        list += buf;
        shown++;
    };
    for (const image_run &r : runs) {
        const std::uint64_t end = r.address + r.bytes.size();
        add(r.address, std::min(end, base));
        add(std::max(r.address, top), end);
    }
    if (more > 0)
        list += " and " + std::to_string(more) + " more";
    return list;
}

// An addressed image: its runs of bytes at their addresses less "flash base".
int make_addressed(const char *name, const U8 *p, std::size_t n, flash_image &img)
{
    parsed_image parsed;
    parse_error err;
    std::vector<image_run> runs;
    if (!parse(img.format, p, n, parsed, err) || !merge_chunks(parsed, runs, err)) {
        // Text whose first line only looked like a record may be a raw binary: never written
        // raw unasked.
        const bool guessed = image_format_opt < 0 && img.format != FORMAT_ELF &&
                             err.at.kind == PLACE_LINE && !err.whole_record &&
                             err.at.number == first_record_line(p, n);
        std::fprintf(stderr, "\nInput file [%s]%s: %s%s%s%s\n", name, place_text(err.at).c_str(),
                     err.reason.c_str(), guessed ? " (read as " : "",
                     guessed ? format_title(img.format) : "",
                     guessed ? " by its first line: give \"format bin\" to write it raw)" : "");
        return 0;
    }
    if (runs.empty()) {
        std::fprintf(stderr, "\nInput file [%s]: no data\n", name);
        return 0;
    }
    const std::string outside = outside_window(runs, flash_base);
    if (!outside.empty()) {
        std::fprintf(stderr, "\nInput file [%s]: bytes outside the 2 MiB flash at 0x%08x: %s\n",
                     name, static_cast<unsigned>(flash_base), outside.c_str());
        return 0;
    }
    for (image_run &r : runs)
        img.regions.push_back({static_cast<U32>(r.address - flash_base), std::move(r.bytes)});
    img.grid = 0;
    img.length = static_cast<long>(image_end(img));
    return 1;
}

}  // namespace

int make_image(const char *name, const U8 *p, std::size_t n, flash_image &img)
{
    img = flash_image{};
    img.format =
        image_format_opt >= 0 ? static_cast<image_format>(image_format_opt) : detect_format(p, n);
    const bool block_write = fastwrite_cmd == 1;
    if (img.format != FORMAT_BIN) {
        // The byte write's flash offset is the monitor's choice: there is nowhere to put an
        // addressed image's bytes.
        if (!block_write) {
            std::fprintf(stderr,
                         "\nInput file [%s] is %s: the byte write takes a raw binary, the block "
                         "write \"write\" any image\n",
                         name, format_title(img.format));
            return 0;
        }
        if (write_offset != 0) {
            std::fprintf(stderr,
                         "\nInput file [%s] is %s: its addresses place it, \"offset\" does not "
                         "apply (give \"flash base\")\n",
                         name, format_title(img.format));
            return 0;
        }
    }
    if (!block_write) {
        img.length = static_cast<long>(n);  // the byte write sends the file as it is
        return 1;
    }
    if (!(img.format == FORMAT_BIN ? make_raw(p, n, img) : make_addressed(name, p, n, img)))
        return 0;
    sha256_state s;
    sha256_init(s);
    for (const image_region &r : img.regions) {
        sha256_update(s, r.bytes.data(), r.bytes.size());
        img.defined += static_cast<long>(r.bytes.size());
    }
    sha256_final(s, img.sha256);
    img.loaded = true;
    return 1;
}

int load_write_image()
{
    if (fastwrite_cmd != 1 && !write_cmd)
        return 1;
    input_image raw;
    if (!load_input_file(inpfilenam, raw))
        return 0;
    return make_image(inpfilenam, raw.bytes.get(), static_cast<std::size_t>(raw.len), write_image);
}

long job_length() { return file_size > 0 ? file_size : write_image.length; }

void byte_write_reloaded(long len) { write_image.length = len; }

U32 image_end(const flash_image &img)
{
    if (img.regions.empty())
        return 0;
    const image_region &r = img.regions.back();
    return r.offset + static_cast<U32>(r.bytes.size());
}

U32 image_sectors(const flash_image &img)
{
    U32 mask = 0;
    for (const image_region &r : img.regions) {
        if (r.bytes.empty())
            continue;
        const U32 last = r.offset + static_cast<U32>(r.bytes.size()) - 1;
        for (U32 s = r.offset / SECTOR_BYTES; s <= last / SECTOR_BYTES && s < FLASH_SECTORS; s++)
            mask |= U32{1} << s;
    }
    return mask;
}

U32 sector_erase_mask()
{
    return erase_sectors_cmd | (erase_needed_opt ? image_sectors(write_image) : 0);
}

U32 sectors_erased_by_run() { return erase_cmd ? 0xFFFFFFFFu : sector_erase_mask(); }

int fill_block(const flash_image &img, U32 offset, U8 block[FLASH_BLOCK_BYTES])
{
    std::fill(block, block + FLASH_BLOCK_BYTES, 0xFF);
    const std::uint64_t end = std::uint64_t{offset} + FLASH_BLOCK_BYTES;
    // The first region that ends after the block's start.
    auto r = std::upper_bound(
        img.regions.begin(), img.regions.end(), offset,
        [](U32 o, const image_region &reg) { return o < reg.offset + reg.bytes.size(); });
    int defined = 0;
    for (; r != img.regions.end() && r->offset < end; ++r) {
        const std::uint64_t from = std::max<std::uint64_t>(offset, r->offset);
        const std::uint64_t to = std::min<std::uint64_t>(end, r->offset + r->bytes.size());
        std::copy(r->bytes.begin() + static_cast<long>(from - r->offset),
                  r->bytes.begin() + static_cast<long>(to - r->offset), block + (from - offset));
        defined += static_cast<int>(to - from);
    }
    return defined;
}

block_plan plan_blocks(const flash_image &img, U32 erased)
{
    block_plan plan;
    std::vector<U32> starts;
    for (const image_region &r : img.regions) {
        if (r.bytes.empty())
            continue;
        const U32 last = r.offset + static_cast<U32>(r.bytes.size()) - 1;
        const U32 first_block = r.offset - (r.offset - img.grid) % FLASH_BLOCK_BYTES;
        for (std::uint64_t b = first_block; b <= last; b += FLASH_BLOCK_BYTES)
            if (starts.empty() || starts.back() < b)
                starts.push_back(static_cast<U32>(b));
    }
    if (starts.empty())
        return plan;
    plan.skipped_empty =
        static_cast<long>((starts.back() - starts.front()) / FLASH_BLOCK_BYTES + 1 - starts.size());
    U8 block[FLASH_BLOCK_BYTES];
    for (U32 b : starts) {
        const int defined = fill_block(img, b, block);
        bool all_erased = true;
        for (U32 s = b / SECTOR_BYTES; s <= (b + FLASH_BLOCK_BYTES - 1) / SECTOR_BYTES; s++)
            if (s >= FLASH_SECTORS || !(erased & (U32{1} << s)))
                all_erased = false;
        if (all_erased &&
            std::all_of(block, block + FLASH_BLOCK_BYTES, [](U8 v) { return v == 0xFF; })) {
            plan.skipped_erased++;
            continue;
        }
        plan.send.push_back(b);
        plan.image_bytes += defined;
    }
    return plan;
}

std::string sector_list(U32 mask)
{
    std::string s;
    for (int n = 0; n < FLASH_SECTORS; n++)
        if (mask & (U32{1} << n))
            s += (s.empty() ? "" : ", ") + std::to_string(n);
    return s.empty() ? "none" : s;
}

image_record image_report_record(const flash_image &img, const block_plan &plan, U32 needed)
{
    image_record r;
    r.format = format_word(img.format);
    std::memcpy(r.sha256, img.sha256, sizeof r.sha256);
    for (const image_region &region : img.regions)
        if (r.listed < IMAGE_REGIONS_LISTED)
            r.regions[r.listed++] = {region.offset, static_cast<U32>(region.bytes.size())};
    r.region_count = static_cast<long>(img.regions.size());
    r.blocks_skipped = plan.skipped_empty + plan.skipped_erased;
    r.sectors_needed = needed;
    return r;
}
