// Board inspection's pure steps: the value parser and the search of the register listing, the
// timing of a DRAM test phase, and the DRAM test's refusal of an unknown width.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "clock/clock.h"
#include "monitor/inspect.h"
#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "raw_line.h"

TEST(InspectRegisterval, ValueAfterSpaces)
{
    struct Case {
        const char *text;
        int ok;
        U32 value;  // what reg holds afterwards (it starts at 0xdeadbeef)
    } cases[] = {
        {"0000003F", 1, 0x3f},
        {" 0000003F", 1, 0x3f},
        {"   0000003f", 1, 0x3f},
        {"aBcDeF09", 1, 0xabcdef09},
        {"FFFFFFFF", 1, 0xffffffff},
        {"123456789", 1, 0x12345678},  // the ninth digit is not looked at
        {"0000003F\n", 1, 0x3f},
        {"\t0000003F", 0, 0xdeadbeef},  // only the space is skipped
        {":0000003F", 0, 0xdeadbeef},
        {"=0000003F", 0, 0xdeadbeef},
        {"\n0000003F", 0, 0xdeadbeef},
        {"0x0000003F", 0, 0xdeadbeef},
        {" 0000 003F", 0, 0xdeadbeef},
        {"0000003", 0, 0xdeadbeef},  // a value still arriving
        {"0000003G", 0, 0xdeadbeef},
        {"   ", 0, 0xdeadbeef},
        {"", 0, 0xdeadbeef},
    };
    for (const Case &c : cases) {
        U32 reg = 0xdeadbeef;
        EXPECT_EQ(registerval(c.text, reg), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(reg, c.value) << '"' << c.text << '"';
    }
    U32 reg = 7;
    EXPECT_EQ(registerval(nullptr, reg), 0);
    EXPECT_EQ(reg, 7u);
}

TEST(InspectParseHex8, StopsAtTheFirstOtherCharacter)
{
    // Eight bytes with no terminator, as the flash code arrives.
    const char digits[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    U32 v = 0;
    EXPECT_EQ(parse_hex8(digits, v), 1);
    EXPECT_EQ(v, 0x12345678u);
    const char zero_inside[8] = {'0', '0', '0', '\0', '0', '0', 'C', '2'};
    EXPECT_EQ(parse_hex8(zero_inside, v), 0);
    EXPECT_EQ(v, 0x12345678u);
}

namespace {

const char *const kNames[REGISTER_COUNT] = {
    "SYSCFG",  "EXTDBWTH", "ROMCON0",  "ROMCON1",  "ROMCON2",  "ROMCON3",   "ROMCON4",
    "ROMCON5", "DRAMCON0", "DRAMCON1", "DRAMCON2", "DRAMCON3", "REFEXTCON",
};

std::string listing_of_all()
{
    std::string text = "\r\nSystem manager registers\r\n";
    for (int i = 0; i < REGISTER_COUNT; i++) {
        char line[40];
        std::snprintf(line, sizeof line, "%s %08X\r\n", kNames[i], 0x11111111u * unsigned(i + 1));
        text += line;
    }
    return text;
}

}  // namespace

TEST(InspectFindRegisters, WholeListingFindsAllInTableOrder)
{
    register_values values{};
    const std::string text = listing_of_all();
    EXPECT_EQ(find_registers(text.c_str(), values, ALL_REGISTERS), 0u);
    for (int i = 0; i < REGISTER_COUNT; i++)
        EXPECT_EQ(values[size_t(i)], 0x11111111u * unsigned(i + 1)) << kNames[i];
}

// The value counts only once all eight digits are in, whichever character completes it.
TEST(InspectFindRegisters, GrowingTextCompletesOnTheEighthDigit)
{
    const std::string text = listing_of_all();
    register_values values{};
    U32 more = ALL_REGISTERS;
    size_t completed_at = 0;
    for (size_t n = 1; n <= text.size() && more != 0; n++) {
        more = find_registers(text.substr(0, n).c_str(), values, more);
        completed_at = n;
    }
    EXPECT_EQ(more, 0u);
    EXPECT_EQ(text.substr(0, completed_at).substr(completed_at - 8), "DDDDDDDD");
}

TEST(InspectFindRegisters, SearchRules)
{
    struct Case {
        const char *label;
        std::string text;
        U32 more_after;  // starting from ALL_REGISTERS
        int reg;         // the register checked
        U32 value;       // its value afterwards (values start at 0)
    } cases[] = {
        {"first occurrence only", "SYSCFG:0000003F SYSCFG 0000003F", ALL_REGISTERS, 0, 0},
        {"later name is found", "ROMCON1 12345678 SYSCFG 0000003f", ALL_REGISTERS & ~0x9u, 0, 0x3f},
        {"DRAMCON0 is not ROMCON0", "DRAMCON0 00001234", ALL_REGISTERS & ~0x100u, 2, 0},
        {"DRAMCON0 value", "DRAMCON0 00001234", ALL_REGISTERS & ~0x100u, 8, 0x1234},
        {"zero byte ends the text", std::string("SYSCFG 0000003F\0EXTDBWTH 00000001", 33),
         ALL_REGISTERS & ~0x1u, 1, 0},
        {"name in lower case", "syscfg 0000003F", ALL_REGISTERS, 0, 0},
        {"tab", "REFEXTCON\t0000003F", ALL_REGISTERS, 12, 0},
        {"0x prefix", "REFEXTCON 0x0000003F", ALL_REGISTERS, 12, 0},
    };
    for (const Case &c : cases) {
        register_values values{};
        EXPECT_EQ(find_registers(c.text.c_str(), values, ALL_REGISTERS), c.more_after) << c.label;
        EXPECT_EQ(values[size_t(c.reg)], c.value) << c.label;
    }
}

// A register already found is not searched again.
TEST(InspectFindRegisters, FoundRegistersAreLeftAlone)
{
    register_values values{};
    values[0] = 0x55;
    EXPECT_EQ(find_registers("SYSCFG 0000003F", values, ALL_REGISTERS & ~1u), ALL_REGISTERS & ~1u);
    EXPECT_EQ(values[0], 0x55u);
}

TEST(InspectPhaseInterval, MicrosecondsNeverNegative)
{
    struct Case {
        long long start, end;
        long sec, us;
    } cases[] = {
        {100250000, 102750000, 2, 500000},
        {100750000, 103250000, 2, 500000},
        {100999999, 101000000, 0, 1},
        {100000005, 100000005, 0, 0},
    };
    for (const Case &c : cases) {
        const phase_time t = phase_interval(c.start, c.end);
        EXPECT_EQ(t.sec, c.sec);
        EXPECT_EQ(t.us, c.us);
    }
}

// The width is checked only after the handshake, and nothing is sent for an unknown one. The
// test plays the monitor on the master side of a pseudo-terminal whose slave is the line.
TEST(InspectDramTest, UnknownWidthAfterHandshake)
{
    RawLine line;
    ASSERT_EQ(write(line.master, "rr", 2), 2);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rvl = proc_DramTest(3);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(rvl, 0);
    EXPECT_EQ(out, "Dram Test ...\nTest link ...Ok\n");
    EXPECT_EQ(err, "\nInternal Error\n");
    fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
    char buf[16];
    EXPECT_LE(read(line.master, buf, sizeof buf), 0) << "nothing may be sent";
}
