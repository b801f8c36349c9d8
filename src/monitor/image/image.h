// The image a write puts into the flash: what the input file defines, at flash offsets, whatever
// format it came in. A raw binary is one region at "offset"; an addressed image (Intel HEX,
// S-records, ELF) is the set of its runs of bytes, each at its address less "flash base". The
// block write, its read-back and the plan work on this alone.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "monitor/image/image_parse.h"
#include "monitor/link/block_crc.h"
#include "report/report.h"
#include "zelk.h"

constexpr U32 SECTOR_BYTES = 65536;

// Bytes at consecutive flash offsets.
struct image_region {
    U32 offset;
    std::vector<U8> bytes;
};

struct flash_image {
    bool loaded = false;
    image_format format = FORMAT_BIN;
    std::vector<image_region> regions;  // ascending, disjoint, never adjacent
    U32 grid = 0;                       // blocks start at grid + 512 k (a raw image's offset)
    long defined = 0;                   // bytes the image defines
    char sha256[65] = "";               // of the defined bytes in ascending offset order
    long length = 0;  // a raw file's length, an addressed image's end: what a later read takes
};

// The image of this run's write, once load_write_image has made it.
extern flash_image write_image;

// Before the device is opened, when the run writes: loads the input file with the input-file
// loader, reads its format (detected, or as "format" says) and makes write_image. A raw binary
// takes "offset" and "size" as before; an addressed image refuses "offset" and places its bytes
// by "flash base". The byte write takes only a raw binary. Everything it
// refuses is reported on stderr, naming the file and the line or segment. 1 = the write can go
// ahead (also when the run writes nothing); 0 = refused.
int load_write_image();

// The same steps on a file's bytes, for the tests and the fuzzer: `name` only names the file in
// messages. 1 = `img` is made; 0 = refused (reported).
int make_image(const char *name, const U8 *p, std::size_t n, flash_image &img);

// The bytes the run's transfers take: "size" when given, else the length of the write's image
// (so that a read after a write in the same run reads what was written), else 0.
long job_length();
// The byte write reads its input again when it runs: a later read takes the file's length as the
// byte write found it.
void byte_write_reloaded(long len);

// Flash offset just past the highest region (0 for no image).
U32 image_end(const flash_image &img);
// Bit n set: the image defines a byte in 64 KiB sector n.
U32 image_sectors(const flash_image &img);

// Sectors this run erases before it writes, when every erase succeeds: all of them for "erase",
// the "erase sector" list and, with "erase needed", the image's sectors.
U32 sectors_erased_by_run();
// What the sector erase works through: the "erase sector" list and the sectors "erase needed"
// adds for the image. 0 = no sector erase.
U32 sector_erase_mask();

// The block at `offset` as sent: the image's bytes, 0xFF where it defines none (programming
// 0xFF leaves flash as it is). Returns the number of bytes the image defines in it.
int fill_block(const flash_image &img, U32 offset, U8 block[FLASH_BLOCK_BYTES]);

// The blocks a write sends, in ascending order. A block that holds no byte of the image is not
// sent; nor is one whose bytes are all 0xFF when every sector it touches is in `erased`.
struct block_plan {
    std::vector<U32> send;    // flash offsets
    long image_bytes = 0;     // bytes of the image in the blocks sent
    long skipped_empty = 0;   // blocks between the first and the last with no image byte
    long skipped_erased = 0;  // blocks of 0xFF in sectors erased by this run
};
block_plan plan_blocks(const flash_image &img, U32 erased);

// The image as the run report records it: its format, digest and regions, the blocks the plan
// skips, and the sectors in `needed` that "erase needed" adds.
image_record image_report_record(const flash_image &img, const block_plan &plan, U32 needed);

// Sector numbers of `mask` as "0, 16, 17"; "none" for 0.
std::string sector_list(U32 mask);
