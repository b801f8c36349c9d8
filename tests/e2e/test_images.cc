// Images as toolchains make them, end to end: the same two-region image as a raw binary, Intel
// HEX, S19, S28, S37 (made by srec_cat) and ELF (made by objcopy and ld) gives the same flash and
// the addressed forms send only their blocks; every refusal costs the board nothing; "erase
// needed" erases exactly the image's sectors; "plan" says what the run then does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "bench.h"
#include "board.h"
#include "harness.h"
#include "json.h"

using zt::Bench;
using zt::RunResult;

namespace {

constexpr U32 SECOND = 0x100000;  // the second region, 1 MiB up
constexpr const char *TOOLS_NEEDED =
    "the image tests make their files with srec_cat (Debian package srecord) and objcopy and ld "
    "(binutils)";

// Runs a shell command in `dir`. 0 = it succeeded.
int shell(const std::string &dir, const std::string &cmd)
{
    return std::system(("cd '" + dir + "' && " + cmd + " >/dev/null 2>&1").c_str());
}

std::string capture(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// Bytes that are never 0xFF (it would hide in the padding), different for each seed.
std::string data(std::size_t len, int seed)
{
    std::string s(len, '\0');
    for (std::size_t i = 0; i < len; i++)
        s[i] = static_cast<char>((i * 29 + static_cast<std::size_t>(seed)) % 250);
    return s;
}

// The image: 1000 bytes at 0 and 777 bytes at 1 MiB (odd lengths, a partial last block), in
// every form, in `dir`: app.bin (the gap filled with 0xFF), app.hex, app.s19, app.s28, app.s37,
// app.elf (no machine), arm.elf (ARM), app386.elf (i386) and app64.elf (64-bit).
struct Image {
    std::string a = data(1000, 3), b = data(777, 5);
    std::string bin() const { return a + std::string(SECOND - a.size(), '\xFF') + b; }
    std::vector<U8> flash() const
    {
        std::vector<U8> f(2 * 1024 * 1024, 0xFF);
        std::copy(a.begin(), a.end(), f.begin());
        std::copy(b.begin(), b.end(), f.begin() + SECOND);
        return f;
    }
};

::testing::AssertionResult make_forms(const Image &img, const std::string &dir)
{
    zt::write_file(dir + "/a.raw", img.a);
    zt::write_file(dir + "/b.raw", img.b);
    zt::write_file(dir + "/app.bin", img.bin());
    const std::string both = "srec_cat a.raw -binary b.raw -binary -offset 0x100000";
    const std::vector<std::string> cmds = {
        both + " -o app.hex -intel",
        both + " -o app.s19 -motorola -Address_Length=2",
        both + " -o app.s28 -motorola -Address_Length=3",
        both + " -o app.s37 -motorola -Address_Length=4",
        "objcopy -I ihex -O elf32-i386 app.hex app.o",
        "ld -m elf_i386 -e 0 --section-start=.sec1=0 --section-start=.sec2=0x100000 -o app386.elf "
        "app.o",
        "objcopy -O elf32-little app386.elf app.elf",
        "objcopy -O elf64-x86-64 app386.elf app64.elf",
        // e_machine (bytes 18 and 19) = 40, EM_ARM
        "cp app.elf arm.elf && printf '\\050\\000' | dd of=arm.elf bs=1 seek=18 conv=notrunc",
        // as an editor may save it: a byte-order mark and an empty line first
        "printf '\\357\\273\\277\\r\\n' | cat - app.s19 | dd of=lead.s19",
    };
    for (const std::string &c : cmds)
        if (shell(dir, c) != 0)
            return ::testing::AssertionFailure() << "'" << c << "' failed: " << TOOLS_NEEDED;
    return ::testing::AssertionSuccess();
}

std::vector<std::string> commands(const zb::Board &board)
{
    std::vector<std::string> v;
    for (const zb::CommandRecord &c : board.commands())
        v.push_back(c.letters + (c.number ? zb::hex8(*c.number) : ""));
    return v;
}

// The figure after `label` in the plan's line that starts with `line`.
long plan_figure(const std::string &out, const std::string &line, const std::string &label)
{
    std::smatch m;
    const std::regex re("(^|\n)" + line + ".*?" + label + "([0-9.]+)");
    if (!std::regex_search(out, m, re))
        return -1;
    return std::atol(m[2].str().c_str());
}

}  // namespace

// Every form gives the same flash; the addressed forms send only the four blocks that hold data.
TEST(ImagesE2E, SameFlashFromEveryFormat)
{
    const Image img;
    const std::vector<std::string> only_data = {"WB00000000", "WB00000200", "WB00100000",
                                                "WB00100200"};
    for (const char *name : {"app.hex", "app.s19", "app.s28", "app.s37", "app.elf", "arm.elf",
                             "lead.s19", "app.bin"}) {
        SCOPED_TRACE(name);
        Bench b;
        ASSERT_TRUE(make_forms(img, b.dir.path));
        RunResult r = b.run({"write", "hash", "input", name});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(b.board.flash() == img.flash()) << "flash differs";
        // The marks count the image bytes sent: 512, 1000 and 1512 before the blocks after the
        // first, one mark; the raw binary sends its gap too, a mark for each KiB.
        const auto marks = std::count(r.out.begin(), r.out.end(), '#');
        if (std::string(name) != "app.bin") {
            EXPECT_EQ(commands(b.board), only_data);
            EXPECT_EQ(marks, 1) << r.out;
        } else {
            EXPECT_EQ(commands(b.board).size(), (SECOND + 777 + 511) / 512);
            EXPECT_EQ(marks, (SECOND + 777) / 1024) << r.out;
        }
    }
}

// Each refusal names the file and the place, ends with status 1 before the device is opened
// (nothing on stdout, nothing received by the board); "plan" refuses the same way. A file that
// only looked like records at its start is never written raw unasked.
TEST(ImagesE2E, RefusalsCostTheBoardNothing)
{
    auto guessed = [](const char *format) {
        return std::string(" (read as ") + format +
               " by its first line: give \"format bin\" to write it raw)\n";
    };
    const Image img;
    Bench b;
    ASSERT_TRUE(make_forms(img, b.dir.path));
    const std::string hex = zt::read_file(b.dir.file("app.hex"));
    const std::string s37 = zt::read_file(b.dir.file("app.s37"));
    auto line = [](const std::string &text, int n) {  // 1-based, without its LF
        std::size_t p = 0;
        for (int i = 1; i < n; i++)
            p = text.find('\n', p) + 1;
        return text.substr(p, text.find('\n', p) - p);
    };
    auto with_line = [](std::string text, int n, const std::string &replacement) {
        std::size_t p = 0;
        for (int i = 1; i < n; i++)
            p = text.find('\n', p) + 1;
        return text.replace(p, text.find('\n', p) - p, replacement);
    };
    // Line 3 of the HEX file with its checksum off by one.
    std::string l3 = line(hex, 3);
    const unsigned sum = static_cast<unsigned>(std::stoul(l3.substr(l3.size() - 2), nullptr, 16));
    char wrong[3];
    std::snprintf(wrong, sizeof wrong, "%02X", (sum + 1) & 0xFF);
    char right[3];
    std::snprintf(right, sizeof right, "%02X", sum);
    zt::write_file(b.dir.file("sum.hex"), with_line(hex, 3, l3.substr(0, l3.size() - 2) + wrong));
    zt::write_file(b.dir.file("digit.hex"),
                   with_line(hex, 2, ":10000000ZZ" + line(hex, 2).substr(11)));
    zt::write_file(b.dir.file("length.hex"),
                   with_line(hex, 2, ":11" + line(hex, 2).substr(3)));  // 0x20
    zt::write_file(b.dir.file("type.hex"), ":00000006FA\n" + hex);
    zt::write_file(b.dir.file("overlap.hex"), ":0100000000FF\n" + hex);
    zt::write_file(b.dir.file("count.s37"), s37 + "S5030005F7\n");
    zt::write_file(b.dir.file("far.hex"), ":020000040040BA\n:0102000001FC\n" + hex);
    const std::string s19 = zt::read_file(b.dir.file("app.s19"));
    zt::write_file(b.dir.file("cut.s19"), s19.substr(0, s19.rfind('\n', s19.size() - 2) + 1));
    zt::write_file(b.dir.file("raw.bin"), ":\x88" + img.a);

    const std::string a0 = data(1, 3).substr(0, 1);
    char first[3];
    std::snprintf(first, sizeof first, "%02X", static_cast<U8>(a0[0]));
    struct Case {
        std::vector<std::string> words;
        std::string err;
    } cases[] = {
        {{"write", "input", "sum.hex"},
         std::string("\nInput file [sum.hex] line 3: checksum 0x") + wrong + ", expected 0x" +
             right + "\n"},
        {{"plan", "write", "input", "sum.hex"},
         std::string("\nInput file [sum.hex] line 3: checksum 0x") + wrong + ", expected 0x" +
             right + "\n"},
        {{"write", "input", "digit.hex"},
         "\nInput file [digit.hex] line 2: bad hex digit 'Z' in column 10\n"},
        {{"write", "input", "length.hex"},
         "\nInput file [length.hex] line 2: length 0x11, record holds 0x20 data bytes\n"},
        {{"write", "input", "type.hex"},
         "\nInput file [type.hex] line 1: record type 0x06 unknown\n"},
        {{"write", "input", "raw.bin"},
         "\nInput file [raw.bin] line 1: bad hex digit 0x88 in column 2" + guessed("Intel HEX")},
        {{"write", "input", "cut.s19"},
         "\nInput file [cut.s19]: no end record (S7, S8 or S9) nor a record count (S5 or S6) "
         "last\n"},
        {{"write", "format", "elf", "input", "app.hex"},
         "\nInput file [app.hex] ELF header: no ELF signature (0x7F 'E' 'L' 'F') at the file's "
         "start\n"},
        {{"write", "input", "overlap.hex"},
         std::string("\nInput file [overlap.hex] line 3: address 0x00000000: 0x") + first +
             " here, 0x00 at line 1\n"},
        {{"write", "input", "count.s37"},
         "\nInput file [count.s37] line " +
             std::to_string(std::count(s37.begin(), s37.end(), '\n') + 1) +
             ": record count 5, data records seen " +
             std::to_string(std::count(s37.begin(), s37.end(), '\n') - 2) + "\n"},
        {{"write", "input", "far.hex"},
         "\nInput file [far.hex]: bytes outside the 2 MiB flash at 0x00000000: "
         "0x00400200-0x00400200\n"},
        {{"write", "input", "app.hex", "flash", "base", "0x80000"},
         "\nInput file [app.hex]: bytes outside the 2 MiB flash at 0x00080000: "
         "0x00000000-0x000003e7\n"},
        {{"write", "input", "app.hex", "offset", "0x10000"},
         "\nInput file [app.hex] is Intel HEX: its addresses place it, \"offset\" does not apply "
         "(give \"flash base\")\n"},
        {{"write", "input", "app64.elf"},
         "\nInput file [app64.elf] ELF header: 64-bit (class 2); zelk takes 32-bit ELF\n"},
        {{"write", "input", "app386.elf"},
         "\nInput file [app386.elf] ELF header: machine 3, not ARM (40)\n"},
        {{"write", "format", "ihex", "input", "app.hex"},
         "\nOption [format] error:Unknown format 'ihex' (bin, hex, srec or elf)\n"},
        {{"write", "format", "srec", "input", "app.hex"},
         "\nInput file [app.hex] line 1: record does not start with 'S'\n"},
        {{"erase", "needed", "bwrite", "input", "app.bin"},
         "\nOption [erase needed] error:only the block write \"write\" has an image to erase "
         "for\n"},
        {{"bwrite", "input", "app.s28"},
         "\nInput file [app.s28] is S-records: the byte write takes a raw binary, the block write "
         "\"write\" any image\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        RunResult r = b.run(c.words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(b.board.received(), "");
}

// "erase needed" with "erase sector": the union, each sector once in ascending order; flash
// outside those sectors is left as it was, and the image verifies.
TEST(ImagesE2E, EraseNeededErasesTheImageSectors)
{
    const Image img;
    Bench b;
    ASSERT_TRUE(make_forms(img, b.dir.path));
    b.board.load_flash(0, std::vector<U8>(2 * 1024 * 1024, 0x5A));
    RunResult r = b.run({"erase", "needed", "erase", "sector", "16,3", "write", "input", "app.elf",
                         "verify", "report", "run.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nErase flash sectors\n Sector 0 ..."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nVerify flash ...Ok\n"), std::string::npos) << r.out;
    const std::vector<std::string> cmds = commands(b.board);
    const std::vector<std::string> want = {"SE00000000", "SE00000003", "SE00000010", "WB00000000",
                                           "WB00000200", "WB00100000", "WB00100200", "RD00100309"};
    EXPECT_EQ(cmds, want);
    std::vector<U8> expect(2 * 1024 * 1024, 0x5A);
    for (U32 s : {0u, 3u, 16u})
        std::fill(expect.begin() + s * 0x10000, expect.begin() + (s + 1) * 0x10000, 0xFF);
    std::copy(img.a.begin(), img.a.end(), expect.begin());
    std::copy(img.b.begin(), img.b.end(), expect.begin() + SECOND);
    EXPECT_TRUE(b.board.flash() == expect) << "only sectors 0, 3 and 16 erased";
    // The run report names the image, its blocks and the sectors "erase needed" added.
    nlohmann::json image = zt::read_json(b.dir.file("run.json"))["operations"][1]["image"];
    EXPECT_EQ(image["format"], "elf");
    EXPECT_EQ(image["region_count"], 2);
    EXPECT_EQ(image["blocks_sent"], 4);
    EXPECT_EQ(image["blocks_skipped"], 2046);
    EXPECT_EQ(image["sectors_erased_needed"], nlohmann::json({0, 16}));
    EXPECT_EQ(image["regions"][1], nlohmann::json({{"offset", 1048576}, {"bytes", 777}}));
}

// Half of a sector's image is 0xFF: after "erase needed" only the other half is sent, as the
// plan said beforehand, with the sectors it named.
TEST(ImagesE2E, PlanMatchesTheRunAndErasedBlocksAreSkipped)
{
    Bench b;
    std::string half = std::string(0x8000, '\xFF') + data(0x8000, 9);
    zt::write_file(b.dir.file("half.raw"), half);
    ASSERT_EQ(shell(b.dir.path, "srec_cat half.raw -binary -offset 0x20000 -o half.s28 -motorola "
                                "-Address_Length=3"),
              0)
        << TOOLS_NEEDED;
    RunResult plan = zt::run_zelk({"plan", "erase", "needed", "write", "input", "half.s28"},
                                  {.cwd = b.dir.path});
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("\nErase sectors: 2\n"), std::string::npos) << plan.out;
    EXPECT_EQ(plan_figure(plan.out, "Write: ", ""), 64) << plan.out;
    EXPECT_EQ(plan_figure(plan.out, "Write: ", "sent, "), 64) << plan.out;
    const std::string sha = capture("sha256sum '" + b.dir.file("half.raw") + "'").substr(0, 64);
    EXPECT_NE(plan.out.find("SHA-256 " + sha + "\n"), std::string::npos) << plan.out;
    EXPECT_NE(plan.out.find(" Flash 0x020000-0x02ffff, 65536 bytes, from address 0x00020000\n"),
              std::string::npos)
        << plan.out;
    EXPECT_EQ(b.board.received(), "") << "plan opens no device";

    RunResult r = b.run({"erase", "needed", "write", "input", "half.s28"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> cmds = commands(b.board);
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds[0], "SE00000002");
    EXPECT_EQ(cmds.size(), 1u + 64);
    EXPECT_EQ(cmds[1], "WB00028000");
    EXPECT_EQ(b.flash(0x20000, half.size()), half);
}

// "plan" needs no device: without a device word, and with one that does not exist.
TEST(ImagesE2E, PlanWithoutADevice)
{
    const Image img;
    zt::TempDir dir;
    ASSERT_TRUE(make_forms(img, dir.path));
    RunResult r = zt::run_zelk({"plan", "write", "input", "app.hex"}, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string sha =
        capture("cat '" + dir.file("a.raw") + "' '" + dir.file("b.raw") + "' | sha256sum")
            .substr(0, 64);
    EXPECT_EQ(r.out.substr(0, r.out.find("Estimated time: ")),
              "Plan: nothing is sent, the device is not opened\n"
              "Image: app.hex, Intel HEX, 1777 bytes, SHA-256 " +
                  sha +
                  "\n"
                  " Flash 0x000000-0x0003e7, 1000 bytes, from address 0x00000000\n"
                  " Flash 0x100000-0x100308, 777 bytes, from address 0x00100000\n"
                  "Write: 4 blocks sent, 2046 skipped (2046 hold no image byte, 0 all 0xFF in "
                  "erased sectors)\n"
                  "Pauses: 0 after command letters, 3000 ms each\n");
}
