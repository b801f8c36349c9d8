// Register decoders checked against the layout tables they walk: every bit of a register is read
// by one field (or is one the layout leaves out), the field's label names its bits, its line
// shows its value with the legend line of that value and its pointer's address, for every single
// bit and every legend value; and one digest over chosen listings changes with any character.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decoders/decoders.h"
#include "monitor/image/sha256.h"

namespace {

struct Register {
    register_printer print;
    const char *name;
    U32 hidden;  // bits no field shows
};

constexpr Register REGISTERS[] = {
    {PrintSYSCFG, "SYSCFG", 1u << 30 | 1u << 3},
    {PrintEXTDBWTH, "EXTDBWTH", 0xF0000000},  // bits 31:28
    {PrintROMCON, "ROMCON0", 0xC0000380},     // bits 31:30 and 9:7
    {PrintDRAMCON, "DRAMCON0", 0},
    {PrintREFEXTCON, "REFEXTCON", 0x00007C00},  // bits 14:10
};

std::string listing(register_printer print, const char *name, U32 val, int *ret = nullptr)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    const int r = print(name, val);
    fflush(stdout);
    if (ret)
        *ret = r;
    return testing::internal::GetCapturedStdout();
}

template <typename T> std::string shown(const char *format, T v)
{
    char text[160];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// The bits a label names: "[5:4]", "[ 1: 0]", "[31]", and DSR5's "[10:11]" alike.
U32 bits_named(const char *label)
{
    unsigned a = 0, b = 0;
    if (std::sscanf(std::strchr(label, '['), "[%u:%u]", &a, &b) < 2)
        b = a;
    const unsigned lo = std::min(a, b), hi = std::max(a, b);
    return static_cast<U32>((2ULL << hi) - (1ULL << lo));
}

// A field's lines for its value v: the field, its pointer's address, its legend line.
std::string field_lines(const field_row &f, U32 v)
{
    return shown(f.format, v) + (f.leader ? shown(f.leader, v << 16) : "") +
           (f.legend.empty() ? "" : f.legend[v]);
}

}  // namespace

// Fields never overlap, cover every bit but the ones the layout leaves out, and are labelled
// with the bits they read. Legend lines give their value in binary, as wide as the field.
TEST(Decoders, LayoutsMatchTheirLabels)
{
    for (const Register &r : REGISTERS) {
        SCOPED_TRACE(r.name);
        U32 read = 0;
        for (const field_row &f : layout_of(r.print)) {
            if (f.kind != line_kind::FIELD)
                continue;
            const U32 bits = f.mask << f.shift;
            EXPECT_EQ(read & bits, 0u) << f.format;
            EXPECT_EQ(bits_named(f.format), bits) << f.format;
            read |= bits;
            const int width = std::bit_width(f.mask);
            for (std::size_t v = 0; v < f.legend.size(); v++) {
                std::string binary;
                for (int bit = width - 1; bit >= 0; bit--)
                    binary += v >> bit & 1 ? '1' : '0';
                EXPECT_NE(std::string(f.legend[v]).find(" " + binary + " = "), std::string::npos)
                    << f.legend[v];
            }
        }
        EXPECT_EQ(read | r.hidden, 0xFFFFFFFFu);
        EXPECT_EQ(read & r.hidden, 0u);
    }
}

// For each single bit and each value of each legend: the header with the name, the value and its
// bits over the ruler; then every row of the table in order, each field showing its own value.
TEST(Decoders, EveryFieldShowsItsOwnBits)
{
    for (const Register &r : REGISTERS) {
        std::vector<U32> values = {0, 0xFFFFFFFF, r.hidden};
        for (int bit = 0; bit < 32; bit++)
            values.push_back(1u << bit);
        for (const field_row &f : layout_of(r.print))
            for (U32 v = 0; v < f.legend.size(); v++)
                values.push_back(v << f.shift);
        for (U32 val : values) {
            SCOPED_TRACE(testing::Message() << r.name << " 0x" << std::hex << val);
            std::string bits;
            for (int bit = 31; bit >= 0; bit--)
                bits += val >> bit & 1 ? '1' : '0';
            std::string want = shown("\n%12s ", r.name) + shown("%08x", val) + "\n             " +
                               bits +
                               "\n             10987654321098765432109876543210"
                               "\n              3         2         1          ";
            for (const field_row &f : layout_of(r.print)) {
                const U32 v = val >> f.shift & f.mask;
                want += f.kind == line_kind::NOTE    ? std::string(f.format)
                        : f.kind == line_kind::FIELD ? field_lines(f, v)
                                                     : shown(f.format, (2049.0 - v) / 50e6);
            }
            int ret = 0;
            EXPECT_EQ(listing(r.print, r.name, val, &ret), want);
            EXPECT_EQ(ret, 1);
        }
    }
}

// The period under the refresh count, as the note above it says: (2^11 - count + 1) / 50 MHz.
TEST(Decoders, RefreshPeriodFollowsTheCount)
{
    for (auto [count, period] : {std::pair{0u, "[0.000041]"},
                                 {1049u, "[0.000020]"},
                                 {1999u, "[0.000001]"},
                                 {2047u, "[0.000000]"}}) {
        const std::string out = listing(PrintREFEXTCON, "REFEXTCON", count << 21);
        EXPECT_EQ(out.substr(out.size() - std::strlen(period)), period) << count;
    }
}

// The listings as users read them, pinned: a change of any character of a label, legend or note
// shows here, and must be meant.
TEST(Decoders, ListingsTextIsPinned)
{
    const struct {
        register_printer print;
        const char *name;
        U32 val;
    } cases[] = {
        {PrintSYSCFG, "SYSCFG", 0x0000003f},       {PrintSYSCFG, "SYSCFG", 0x0000ffc0},
        {PrintSYSCFG, "SYSCFG", 0x87ff0016},       {PrintSYSCFG, "SYSCFG", 0x40000008},
        {PrintEXTDBWTH, "EXTDBWTH", 0xf4e4e4e4},   {PrintEXTDBWTH, "EXTDBWTH", 0xf0000000},
        {PrintROMCON, "ROMCON0", 0x02000060},      {PrintROMCON, "ROMCON5", 0xffffffff},
        {PrintROMCON, "ROMCON1", 0xc0000380},      {PrintDRAMCON, "DRAMCON0", 0x8a8101a5},
        {PrintDRAMCON, "DRAMCON3", 0xffffffff},    {PrintREFEXTCON, "REFEXTCON", 0x00000000},
        {PrintREFEXTCON, "REFEXTCON", 0xce278360}, {PrintREFEXTCON, "REFEXTCON", 0xffe07c00},
    };
    sha256_state s;
    sha256_init(s);
    for (const auto &c : cases) {
        const std::string out = listing(c.print, c.name, c.val);
        sha256_update(s, reinterpret_cast<const U8 *>(out.data()), out.size());
    }
    char digest[65];
    sha256_final(s, digest);
    EXPECT_STREQ(digest, "42ba925e998d3942dd5c3288b944660e1db2b421847e7ad3a004c0a983d407c4");
}

// No name: 0 and nothing printed. An empty name is still a name: the header shows 12 blanks.
TEST(Decoders, NullAndEmptyName)
{
    for (const Register &r : REGISTERS) {
        int ret = 1;
        EXPECT_EQ(listing(r.print, nullptr, 0xffffffff, &ret), "");
        EXPECT_EQ(ret, 0);
    }
    EXPECT_EQ(listing(PrintSYSCFG, "", 0).rfind("\n             00000000\n", 0), 0u);
}
