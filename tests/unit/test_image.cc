// The image readers and the write's image: Intel HEX, S-records and ELF read strictly, records
// merged, bytes placed by "flash base", the blocks a write sends, and the digest that names an
// image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "monitor/image/image.h"
#include "monitor/image/sha256.h"
#include "settings.h"

namespace {

using Bytes = std::vector<U8>;

std::string sha(const std::string &s)
{
    sha256_state st;
    sha256_init(st);
    sha256_update(st, reinterpret_cast<const U8 *>(s.data()), s.size());
    char hex[65];
    sha256_final(st, hex);
    return hex;
}

std::string hex2(unsigned v)
{
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// One Intel HEX record with its checksum.
std::string ihex(unsigned type, unsigned addr, const Bytes &data)
{
    unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8) + (addr & 0xFF) + type;
    std::string s =
        ":" + hex2(static_cast<unsigned>(data.size())) + hex2(addr >> 8) + hex2(addr) + hex2(type);
    for (U8 b : data) {
        s += hex2(b);
        sum += b;
    }
    return s + hex2(0x100 - (sum & 0xFF)) + "\n";
}

// One S-record with its count and checksum; `abytes` address bytes.
std::string srec(int type, unsigned addr, int abytes, const Bytes &data)
{
    const unsigned count = static_cast<unsigned>(abytes + data.size() + 1);
    unsigned sum = count;
    std::string s = "S" + std::to_string(type) + hex2(count);
    for (int i = abytes - 1; i >= 0; i--) {
        s += hex2(addr >> (8 * i));
        sum += (addr >> (8 * i)) & 0xFF;
    }
    for (U8 b : data) {
        s += hex2(b);
        sum += b;
    }
    return s + hex2(~sum & 0xFF) + "\n";
}

struct Segment {
    U32 type = 1, paddr = 0, memsz = 0;
    Bytes data;
    U32 offset_fix = 0;  // when set, p_offset (for a segment that points past the file)
};

// A minimal 32-bit little-endian ELF with the given program headers and their bytes.
std::string elf(const std::vector<Segment> &segs, U8 cls = 1, U8 order = 1, unsigned machine = 40)
{
    std::string f(52, '\0');
    const char ident[] = "\x7f"
                         "ELF";
    std::memcpy(f.data(), ident, 4);
    f[4] = static_cast<char>(cls), f[5] = static_cast<char>(order), f[6] = 1;
    auto put16 = [&](std::size_t at, unsigned v) {
        f[at] = static_cast<char>(v), f[at + 1] = static_cast<char>(v >> 8);
    };
    auto put32 = [&](std::size_t at, U32 v) {
        for (int i = 0; i < 4; i++)
            f[at + i] = static_cast<char>(v >> (8 * i));
    };
    put16(16, 2), put16(18, machine), put32(20, 1);
    put32(28, 52), put16(40, 52), put16(42, 32), put16(44, static_cast<unsigned>(segs.size()));
    f.resize(52 + 32 * segs.size());
    for (std::size_t i = 0; i < segs.size(); i++) {
        const Segment &s = segs[i];
        const std::size_t h = 52 + 32 * i;
        put32(h, s.type);
        put32(h + 4, s.offset_fix ? s.offset_fix : static_cast<U32>(f.size()));
        put32(h + 8, s.paddr + 0x40000000);  // the virtual address is not where it is loaded
        put32(h + 12, s.paddr);
        put32(h + 16, static_cast<U32>(s.data.size()));
        put32(h + 20, s.memsz ? s.memsz : static_cast<U32>(s.data.size()));
        if (!s.offset_fix)
            f.append(s.data.begin(), s.data.end());
    }
    return f;
}

Bytes seq(std::size_t n, int seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; i++)
        b[i] = static_cast<U8>((i * 13 + static_cast<std::size_t>(seed)) % 251);
    return b;
}

// What a refusal at the first record adds when the format was taken from the content.
std::string guessed(const char *format)
{
    return std::string(" (read as ") + format +
           " by its first line: give \"format bin\" to write it raw)";
}

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        zt::restore_default_settings();
        fastwrite_cmd = 1;
    }
    void TearDown() override { zt::restore_default_settings(); }
    // make_image on `text`: its result and what it printed on stderr.
    int make(const std::string &text, flash_image &img, std::string *err = nullptr)
    {
        testing::internal::CaptureStderr();
        const int ok =
            make_image("app", reinterpret_cast<const U8 *>(text.data()), text.size(), img);
        const std::string e = testing::internal::GetCapturedStderr();
        if (err)
            *err = e;
        return ok;
    }
};

}  // namespace

TEST(Sha256, KnownDigests)
{
    EXPECT_EQ(sha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ImageFormat, RecognisedByContent)
{
    struct Case {
        std::string text;
        image_format f;
    } cases[] = {
        {"\x7f"
         "ELF\x01\x01",
         FORMAT_ELF},
        {":00000001FF\n", FORMAT_HEX},
        {"\r\n  \n:00000001FF\n", FORMAT_HEX},
        {"S00600004844521B\n", FORMAT_SREC},
        {"S9030000FC\n", FORMAT_SREC},
        {"\xEF\xBB\xBF\r\n \nS1", FORMAT_SREC},  // a byte-order mark and empty lines first
        {"\xEF\xBB\xBF:", FORMAT_HEX},
        {"Sx", FORMAT_BIN},
        {" S1", FORMAT_SREC},
        {"\xEF\xBB", FORMAT_BIN},
        {"x:", FORMAT_BIN},
        {"", FORMAT_BIN},
        {std::string("\0\x7f"
                     "ELF",
                     5),
         FORMAT_BIN},
    };
    for (const Case &c : cases)
        EXPECT_EQ(detect_format(reinterpret_cast<const U8 *>(c.text.data()), c.text.size()), c.f)
            << c.text;
}

// Records in any order, both address extensions, CR LF and a last line without its LF: each
// byte lands at its address.
TEST_F(ImageTest, IntelHexPlacesEveryRecord)
{
    const Bytes a = seq(16, 1), b = seq(5, 2), c = seq(3, 3);
    std::string text = ihex(4, 0, {0x00, 0x10}) + ihex(0, 0x0010, a) + ihex(2, 0, {0x00, 0x00}) +
                       ihex(0, 0x0000, b) + ihex(3, 0, {0, 0, 0, 0}) + ihex(5, 0, {0, 0, 0, 0}) +
                       ihex(2, 0, {0x10, 0x00}) + ihex(0, 0x0020, c);
    for (std::size_t p = 0; (p = text.find('\n', p)) != std::string::npos; p += 2)
        text.replace(p, 1, "\r\n");
    text += ":00000001FF";
    flash_image img;
    std::string err;
    ASSERT_EQ(make(text, img, &err), 1) << err;
    ASSERT_EQ(img.regions.size(), 3u);
    EXPECT_EQ(img.regions[0].offset, 0u);
    EXPECT_EQ(img.regions[0].bytes, b);
    EXPECT_EQ(img.regions[1].offset, 0x10020u) << "segment 0x1000 is 0x10000";
    EXPECT_EQ(img.regions[1].bytes, c);
    EXPECT_EQ(img.regions[2].offset, 0x100010u);
    EXPECT_EQ(img.regions[2].bytes, a);
    EXPECT_EQ(img.length, 0x100020) << "a later read reads to the end of the highest region";
}

TEST_F(ImageTest, IntelHexRefusals)
{
    const std::string data = ihex(0, 0, seq(4, 1));
    std::string bad_sum = data;
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    std::string bad_digit = data;
    bad_digit[5] = 'G';
    const std::string end = ":00000001FF\n";
    struct Case {
        std::string text, err;
    } cases[] = {
        {data + bad_sum + end, "\nInput file [app] line 2: checksum 0x" +
                                   bad_sum.substr(bad_sum.size() - 3, 2) + ", expected 0x" +
                                   data.substr(data.size() - 3, 2) + "\n"},
        {":0300000001020304F3\n" + end,
         "\nInput file [app] line 1: length 0x03, record holds 0x04 data bytes" +
             guessed("Intel HEX") + "\n"},
        {bad_digit + end,
         "\nInput file [app] line 1: bad hex digit 'G' in column 6" + guessed("Intel HEX") + "\n"},
        {data.substr(0, data.size() - 2) + "\n" + end,
         "\nInput file [app] line 1: odd number of hex digits (17)" + guessed("Intel HEX") + "\n"},
        {data + ihex(6, 0, {}) + end, "\nInput file [app] line 2: record type 0x06 unknown\n"},
        {data + end + data, "\nInput file [app] line 3: data after the end record\n"},
        {data, "\nInput file [app]: no end record (type 01)\n"},
        {data + ihex(4, 0, {1}) + end,
         "\nInput file [app] line 2: record type 0x04 with 0x01 data bytes, expected 0x02\n"},
        {ihex(0, 0xFFFE, seq(4, 1)) + end,  // a whole record: no doubt that it is one
         "\nInput file [app] line 1: data runs past the end of its 64 KiB segment\n"},
        {":0000\n" + end, "\nInput file [app] line 1: record of 2 bytes, an empty one has 5" +
                              guessed("Intel HEX") + "\n"},
        {data + "S1\n" + end, "\nInput file [app] line 2: record does not start with ':'\n"},
        {end, "\nInput file [app]: no data\n"},
        {":\x88\x01\n",
         "\nInput file [app] line 1: bad hex digit 0x88 in column 2" + guessed("Intel HEX") + "\n"},
        {"\xEF\xBB\xBF\n\n" + data + "x\n",  // the first record is line 3
         "\nInput file [app] line 4: record does not start with ':'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        flash_image img;
        std::string err;
        EXPECT_EQ(make(c.text, img, &err), 0);
        EXPECT_EQ(err, c.err);
    }
}

TEST_F(ImageTest, SRecordsOfEveryAddressLength)
{
    const Bytes a = seq(20, 4), b = seq(7, 5), c = seq(9, 6);
    const std::string text = srec(0, 0, 2, {'h', 'i'}) + srec(3, 0x00180000, 4, c) +
                             srec(1, 0x0100, 2, a) + srec(2, 0x010000, 3, b) + srec(5, 3, 2, {}) +
                             srec(7, 0, 4, {});
    // A byte-order mark and empty lines before the first record are skipped, as by detection.
    for (const std::string lead : {"", "\xEF\xBB\xBF", "\n \r\n", "\xEF\xBB\xBF\n"}) {
        SCOPED_TRACE(lead.size());
        flash_image img;
        std::string err;
        ASSERT_EQ(make(lead + text, img, &err), 1) << err;
        ASSERT_EQ(img.regions.size(), 3u);
        EXPECT_EQ(img.regions[0].offset, 0x100u);
        EXPECT_EQ(img.regions[0].bytes, a);
        EXPECT_EQ(img.regions[1].offset, 0x10000u);
        EXPECT_EQ(img.regions[1].bytes, b);
        EXPECT_EQ(img.regions[2].offset, 0x180000u);
        EXPECT_EQ(img.regions[2].bytes, c);
    }
}

TEST_F(ImageTest, SRecordRefusals)
{
    const std::string data = srec(1, 0, 2, seq(4, 1));
    std::string bad_sum = data;
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    struct Case {
        std::string text, err;
    } cases[] = {
        {data + bad_sum, "\nInput file [app] line 2: checksum 0x" +
                             bad_sum.substr(bad_sum.size() - 3, 2) + ", expected 0x" +
                             data.substr(data.size() - 3, 2) + "\n"},
        {"S1080000010203F1\n", "\nInput file [app] line 1: count 0x08, record holds 0x06 bytes" +
                                   guessed("S-records") + "\n"},
        {data + srec(5, 2, 2, {}),
         "\nInput file [app] line 2: record count 2, data records seen 1\n"},
        {data + srec(6, 0, 3, {}),
         "\nInput file [app] line 2: record count 0, data records seen 1\n"},
        {data + srec(4, 0, 2, {}), "\nInput file [app] line 2: record type S4 unknown\n"},
        {data + srec(9, 0, 2, {}) + data, "\nInput file [app] line 3: data after the end record\n"},
        {data + "S1xx\n", "\nInput file [app] line 2: bad hex digit 'x' in column 3\n"},
        {srec(3, 0, 2, {}), "\nInput file [app] line 1: count 0x03, S3 needs at least 0x05" +
                                guessed("S-records") + "\n"},
        {data + ":00000001FF\n", "\nInput file [app] line 2: record does not start with 'S'\n"},
        {data + srec(5, 1, 2, {}) + data,
         "\nInput file [app]: no end record (S7, S8 or S9) nor a record count (S5 or S6) last\n"},
        {data + srec(3, 0xFFFFFFF0, 4, seq(32, 1)) + srec(7, 0, 4, {}),
         "\nInput file [app] line 2: bytes 0xFFFFFFF0-0x10000000F run past address 0xFFFFFFFF\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        flash_image img;
        std::string err;
        EXPECT_EQ(make(c.text, img, &err), 0);
        EXPECT_EQ(err, c.err);
    }
}

// Loadable segments with file bytes, at their physical addresses; .bss and other segment types
// add nothing; ARM or no machine.
TEST_F(ImageTest, ElfLoadableSegmentsAtPhysicalAddresses)
{
    const Bytes a = seq(100, 7), b = seq(33, 8);
    for (unsigned machine : {40u, 0u}) {
        const std::string f = elf({{.type = 1, .paddr = 0x1000, .memsz = 0x4000, .data = a},
                                   {.type = 4, .paddr = 0x0, .data = seq(8, 1)},
                                   {.type = 1, .paddr = 0x3000, .memsz = 0x100, .data = {}},
                                   {.type = 1, .paddr = 0x100000, .data = b}},
                                  1, 1, machine);
        flash_image img;
        std::string err;
        ASSERT_EQ(make(f, img, &err), 1) << err;
        ASSERT_EQ(img.regions.size(), 2u);
        EXPECT_EQ(img.regions[0].offset, 0x1000u);
        EXPECT_EQ(img.regions[0].bytes, a);
        EXPECT_EQ(img.regions[1].offset, 0x100000u);
        EXPECT_EQ(img.regions[1].bytes, b);
    }
}

TEST_F(ImageTest, ElfRefusals)
{
    const std::vector<Segment> one = {{.paddr = 0, .data = seq(10, 1)}};
    struct Case {
        std::string file, err;
    } cases[] = {
        {elf(one, 2), "\nInput file [app] ELF header: 64-bit (class 2); zelk takes 32-bit ELF\n"},
        {elf(one, 1, 2),
         "\nInput file [app] ELF header: big-endian; zelk takes little-endian ELF\n"},
        {elf(one, 1, 1, 3), "\nInput file [app] ELF header: machine 3, not ARM (40)\n"},
        {elf({{.paddr = 0, .data = seq(10, 1), .offset_fix = 0x1000}}),
         "\nInput file [app] segment 0: file bytes 0x1000-0x1009 past the end of the file\n"},
        {elf({{.type = 1, .memsz = 4, .data = seq(10, 1)}}),
         "\nInput file [app] segment 0: file size 0xa above memory size 0x4\n"},
        {elf({{.type = 2, .data = seq(10, 1)}}),
         "\nInput file [app] ELF header: no loadable segment with file bytes\n"},
        {elf(one).substr(0, 40),
         "\nInput file [app] ELF header: file of 40 bytes, an ELF header has 52\n"},
        {elf(one).substr(0, 60),
         "\nInput file [app] ELF header: program headers past the end of the file\n"},
        {elf({{.paddr = 0xFFFFFFF8, .data = seq(16, 1)}}),
         "\nInput file [app] segment 0: bytes 0xFFFFFFF8-0x100000007 run past address "
         "0xFFFFFFFF\n"},
        {":00000001FF\n",  // "format elf" still looks for the signature
         "\nInput file [app] ELF header: no ELF signature (0x7F 'E' 'L' 'F') at the file's "
         "start\n"},
    };
    image_format_opt = FORMAT_ELF;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        flash_image img;
        std::string err;
        EXPECT_EQ(make(c.file, img, &err), 0);
        EXPECT_EQ(err, c.err);
    }
}

// The same byte twice is the same image; different bytes at one address are refused, naming
// both places.
TEST_F(ImageTest, OverlapsAgreeOrAreRefused)
{
    const std::string end = ":00000001FF\n";
    flash_image img;
    std::string err;
    ASSERT_EQ(make(ihex(0, 0x10, {1, 2, 3, 4}) + ihex(0, 0x12, {3, 4, 5}) + end, img, &err), 1)
        << err;
    ASSERT_EQ(img.regions.size(), 1u);
    EXPECT_EQ(img.regions[0].bytes, (Bytes{1, 2, 3, 4, 5}));

    EXPECT_EQ(make(ihex(0, 0x12, {3, 9, 5}) + ihex(0, 0x10, {1, 2, 3, 4}) + end, img, &err), 0);
    EXPECT_EQ(err, "\nInput file [app] line 2: address 0x00000013: 0x04 here, 0x09 at line 1\n");

    EXPECT_EQ(make(elf({{.paddr = 0x20, .data = {1, 2}}, {.paddr = 0x21, .data = {7}}}), img, &err),
              0);
    EXPECT_EQ(err,
              "\nInput file [app] segment 1: address 0x00000021: 0x07 here, 0x02 at segment 0\n");
}

// "flash base" moves the window; what lies outside it is listed, "offset" is refused, and the
// byte write takes no addressed image.
TEST_F(ImageTest, WindowOffsetAndByteWrite)
{
    const std::string text = ihex(4, 0, {0x00, 0x40}) + ihex(0, 0, seq(16, 1)) +
                             ihex(4, 0, {0x00, 0x20}) + ihex(0, 0, seq(16, 2)) +
                             ihex(4, 0, {0x00, 0x00}) + ihex(0, 0x10, seq(4, 3)) + ":00000001FF\n";
    flash_image img;
    std::string err;
    flash_base = 0x200000;
    EXPECT_EQ(make(text, img, &err), 0);
    EXPECT_EQ(err, "\nInput file [app]: bytes outside the 2 MiB flash at 0x00200000: "
                   "0x00000010-0x00000013, 0x00400000-0x0040000f\n");
    flash_base = 0;
    EXPECT_EQ(make(text, img, &err), 0);
    EXPECT_EQ(err, "\nInput file [app]: bytes outside the 2 MiB flash at 0x00000000: "
                   "0x00200000-0x0020000f, 0x00400000-0x0040000f\n");

    const std::string inside =
        ihex(4, 0, {0x01, 0x00}) + ihex(0, 0x200, seq(4, 3)) + ":00000001FF\n";
    flash_base = 0x1000000;
    ASSERT_EQ(make(inside, img, &err), 1) << err;
    EXPECT_EQ(img.regions[0].offset, 0x200u);

    write_offset = 0x100;
    EXPECT_EQ(make(inside, img, &err), 0);
    EXPECT_EQ(err, "\nInput file [app] is Intel HEX: its addresses place it, \"offset\" does not "
                   "apply (give \"flash base\")\n");
    image_format_opt = FORMAT_BIN;  // the same text as a raw binary is placed at the offset
    ASSERT_EQ(make(inside, img, &err), 1) << err;
    EXPECT_EQ(img.regions[0].offset, 0x100u);
    EXPECT_EQ(img.regions[0].bytes.size(), inside.size());

    write_offset = 0;
    image_format_opt = -1;
    fastwrite_cmd = 0;
    write_cmd = 1;
    EXPECT_EQ(make(inside, img, &err), 0);
    EXPECT_EQ(err, "\nInput file [app] is Intel HEX: the byte write takes a raw binary, the block "
                   "write \"write\" any image\n");
}

// Only blocks that hold image bytes are sent, 0xFF where the image defines nothing; a block of
// 0xFF in a sector this run erased is not sent either.
TEST_F(ImageTest, BlocksSentAndSkipped)
{
    flash_image img;
    img.regions.push_back({0x100, Bytes(0x300, 0x11)});    // blocks 0x000, 0x200
    img.regions.push_back({0x10000, Bytes(0x400, 0xFF)});  // sector 1, all 0xFF
    img.regions.push_back({0x10400, Bytes(1, 0x22)});      // sector 1, one byte
    block_plan p = plan_blocks(img, 0);
    EXPECT_EQ(p.send, (std::vector<U32>{0x0, 0x200, 0x10000, 0x10200, 0x10400}));
    EXPECT_EQ(p.skipped_empty, (0x10400 - 0x0) / 512 + 1 - 5);
    EXPECT_EQ(p.skipped_erased, 0);
    EXPECT_EQ(p.image_bytes, 0x300 + 0x400 + 1);

    p = plan_blocks(img, 1u << 1);
    EXPECT_EQ(p.send, (std::vector<U32>{0x0, 0x200, 0x10400}));
    EXPECT_EQ(p.skipped_erased, 2);

    U8 block[FLASH_BLOCK_BYTES];
    EXPECT_EQ(fill_block(img, 0x0, block), 0x100);
    EXPECT_EQ(block[0xFF], 0xFF);
    EXPECT_EQ(block[0x100], 0x11);
    EXPECT_EQ(fill_block(img, 0x10400, block), 1);
    EXPECT_EQ(block[0], 0x22);
    EXPECT_EQ(block[1], 0xFF);

    // A raw image counts its blocks from its offset, as it always has.
    img = flash_image{};
    img.regions.push_back({0x10100, Bytes(1300, 0x33)});
    img.grid = 0x10100 % FLASH_BLOCK_BYTES;
    EXPECT_EQ(plan_blocks(img, 0).send, (std::vector<U32>{0x10100, 0x10300, 0x10500}));
    EXPECT_EQ(image_sectors(img), 1u << 1);
    EXPECT_EQ(image_end(img), 0x10100u + 1300);
}

// A raw binary is one region at "offset"; "size" cuts it; the digest is the file's own.
TEST_F(ImageTest, RawBinaryIsOneRegion)
{
    const std::string data(1000, 'r');
    flash_image img;
    std::string err;
    write_offset = 0x200;
    file_size = 700;
    ASSERT_EQ(make(data, img, &err), 1) << err;
    ASSERT_EQ(img.regions.size(), 1u);
    EXPECT_EQ(img.regions[0].offset, 0x200u);
    EXPECT_EQ(img.regions[0].bytes.size(), 700u);
    EXPECT_EQ(std::string(img.sha256), sha(data.substr(0, 700)));
    EXPECT_EQ(img.format, FORMAT_BIN);
    EXPECT_EQ(img.length, 1000) << "without \"size\", a later read reads the file's length";
}
