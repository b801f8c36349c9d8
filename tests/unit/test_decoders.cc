// Register decoders: the whole printed text for chosen register values, written out by hand,
// plus every legend line of every field.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "decoders/decoders.h"

namespace {

using Printer = int (*)(const char *, U32);

struct Printed {
    int ret;
    std::string text;
};

Printed Capture(Printer print, const char *nam, U32 val)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    const int ret = print(nam, val);
    fflush(stdout);
    return {ret, testing::internal::GetCapturedStdout()};
}

// The two ruler lines under the bit line are the same for every register.
constexpr char kUnits[] = "\n             10987654321098765432109876543210";
constexpr char kTens[] = "\n              3         2         1          ";
static_assert(sizeof kUnits - 1 == 1 + 13 + 32);
static_assert(sizeof kTens - 1 == 1 + 14 + 1 + 9 + 1 + 9 + 1 + 10);

struct WholeCase {
    const char *label;
    Printer print;
    const char *nam;
    U32 val;
    std::string expected;
};

void PrintTo(const WholeCase &c, std::ostream *os) { *os << c.label; }

class DecodersWholeText : public testing::TestWithParam<WholeCase> {};

TEST_P(DecodersWholeText, PrintsExactText)
{
    const WholeCase &c = GetParam();
    const Printed out = Capture(c.print, c.nam, c.val);
    EXPECT_EQ(out.ret, 1);
    EXPECT_EQ(out.text, c.expected);
}

const WholeCase kWholeCases[] = {
    {"SYSCFG_low_six_bits", PrintSYSCFG, "SYSCFG", 0x0000003f,
     std::string("\n      SYSCFG 0000003f"
                 "\n             00000000000000000000000000111111") +
         kUnits + kTens +
         "\n[0]    Stal enable (SE).Must be zero...[1]"
         "\n[1]    Cache enable (CE)...............[1]"
         "\n[2]    Write buffer enable (WE)........[1]"
         "\n[5:4]  Cache mode (CM).................[3]"
         "\n        11 = Not Allowed"
         "\n[15:6] Internal SRAM base pointer..,...[0]"
         "\n       ................................[0]"
         "\n[25:16]Special register bank base ptr..[0]"
         "\n       ................................[0]"
         "\n[29:26]Product Identifier (PD_ID)......[0]"
         "\n[31]   Sync. DRAM mode.................[0]"},
    {"SYSCFG_sram_base_all_set", PrintSYSCFG, "SYSCFG", 0x0000ffc0,
     std::string("\n      SYSCFG 0000ffc0"
                 "\n             00000000000000001111111111000000") +
         kUnits + kTens +
         "\n[0]    Stal enable (SE).Must be zero...[0]"
         "\n[1]    Cache enable (CE)...............[0]"
         "\n[2]    Write buffer enable (WE)........[0]"
         "\n[5:4]  Cache mode (CM).................[0]"
         "\n        00 = 4-Kbyte SRAM, 4-Kbyte cache"
         "\n[15:6] Internal SRAM base pointer..,...[3ff]"
         "\n       ................................[3ff0000]"
         "\n[25:16]Special register bank base ptr..[0]"
         "\n       ................................[0]"
         "\n[29:26]Product Identifier (PD_ID)......[0]"
         "\n[31]   Sync. DRAM mode.................[0]"},
    {"SYSCFG_mixed", PrintSYSCFG, "SYSCFG", 0x87ff0016,
     std::string("\n      SYSCFG 87ff0016"
                 "\n             10000111111111110000000000010110") +
         kUnits + kTens +
         "\n[0]    Stal enable (SE).Must be zero...[0]"
         "\n[1]    Cache enable (CE)...............[1]"
         "\n[2]    Write buffer enable (WE)........[1]"
         "\n[5:4]  Cache mode (CM).................[1]"
         "\n        01 = 0-Kbyte SRAM, 8-Kbyte cache"
         "\n[15:6] Internal SRAM base pointer..,...[0]"
         "\n       ................................[0]"
         "\n[25:16]Special register bank base ptr..[3ff]"
         "\n       ................................[3ff0000]"
         "\n[29:26]Product Identifier (PD_ID)......[1]"
         "\n[31]   Sync. DRAM mode.................[1]"},
    {"SYSCFG_hidden_bits_3_and_30", PrintSYSCFG, "SYSCFG", 0x40000008,
     std::string("\n      SYSCFG 40000008"
                 "\n             01000000000000000000000000001000") +
         kUnits + kTens +
         "\n[0]    Stal enable (SE).Must be zero...[0]"
         "\n[1]    Cache enable (CE)...............[0]"
         "\n[2]    Write buffer enable (WE)........[0]"
         "\n[5:4]  Cache mode (CM).................[0]"
         "\n        00 = 4-Kbyte SRAM, 4-Kbyte cache"
         "\n[15:6] Internal SRAM base pointer..,...[0]"
         "\n       ................................[0]"
         "\n[25:16]Special register bank base ptr..[0]"
         "\n       ................................[0]"
         "\n[29:26]Product Identifier (PD_ID)......[0]"
         "\n[31]   Sync. DRAM mode.................[0]"},
    {"EXTDBWTH_cycling_widths", PrintEXTDBWTH, "EXTDBWTH", 0xf4e4e4e4,
     std::string("\n    EXTDBWTH f4e4e4e4"
                 "\n             11110100111001001110010011100100") +
         kUnits + kTens +
         "\nData bus width for:"
         "\n[ 1: 0] ROM/SRAM/FLASH bank0 (DSR0) ...[0]"
         "\n[ 3: 2] ROM/SRAM/FLASH bank 1 (DSR1)...[1]"
         "\n[ 5: 4] ROM/SRAM/FLASH bank 2 (DSR2)...[2]"
         "\n[ 7: 6] ROM/SRAM/FLASH bank 3 (DSR3)...[3]"
         "\n[ 9: 8] ROM/SRAM/FLASH bank 4 (DSR4)...[0]"
         "\n[10:11] ROM/SRAM/FLASH bank 5 (DSR5)...[1]"
         "\n[13:12] DRAM bank 0 (DSD0).............[2]"
         "\n[15:14] DRAM bank 1 (DSD1).............[3]"
         "\n[17:16] DRAM bank 2 (DSD2).............[0]"
         "\n[19:18] DRAM bank 3 (DSD3).............[1]"
         "\n[21:20] external I/O bank 0 (DSX0).....[2]"
         "\n[23:22] external I/O bank 1 (DSX1).....[3]"
         "\n[25:24] external I/O bank 2 (DSX2).....[0]"
         "\n[27:26] external I/O bank 3 (DSX3).....[1]"},
    {"EXTDBWTH_top_nibble_ignored", PrintEXTDBWTH, "EXTDBWTH", 0xf0000000,
     std::string("\n    EXTDBWTH f0000000"
                 "\n             11110000000000000000000000000000") +
         kUnits + kTens +
         "\nData bus width for:"
         "\n[ 1: 0] ROM/SRAM/FLASH bank0 (DSR0) ...[0]"
         "\n[ 3: 2] ROM/SRAM/FLASH bank 1 (DSR1)...[0]"
         "\n[ 5: 4] ROM/SRAM/FLASH bank 2 (DSR2)...[0]"
         "\n[ 7: 6] ROM/SRAM/FLASH bank 3 (DSR3)...[0]"
         "\n[ 9: 8] ROM/SRAM/FLASH bank 4 (DSR4)...[0]"
         "\n[10:11] ROM/SRAM/FLASH bank 5 (DSR5)...[0]"
         "\n[13:12] DRAM bank 0 (DSD0).............[0]"
         "\n[15:14] DRAM bank 1 (DSD1).............[0]"
         "\n[17:16] DRAM bank 2 (DSD2).............[0]"
         "\n[19:18] DRAM bank 3 (DSD3).............[0]"
         "\n[21:20] external I/O bank 0 (DSX0).....[0]"
         "\n[23:22] external I/O bank 1 (DSX1).....[0]"
         "\n[25:24] external I/O bank 2 (DSX2).....[0]"
         "\n[27:26] external I/O bank 3 (DSX3).....[0]"},
    {"ROMCON_boot_bank", PrintROMCON, "ROMCON0", 0x02000060,
     std::string("\n     ROMCON0 02000060"
                 "\n             00000010000000000000000001100000") +
         kUnits + kTens +
         "\n[1:0]   Page mode configuration (PMC)..[0]"
         "\n         00 = Normal ROM"
         "\n[3:2]   Page address access time (tPA).[0]"
         "\n          00 = 5 cycles"
         "\n[6:4]   Programmable access cycle(tACC)[6]"
         "\n          110 = 7 cycles"
         "\n[19:10]  ROM/SRAM/Flash base pointer...[0]"
         "\n         ..............................[0]"
         "\n[29:20]  ROM/SRAM/FLASH next pointer...[20]"
         "\n         ..............................[200000]"},
    {"ROMCON_all_set", PrintROMCON, "ROMCON5", 0xffffffff,
     std::string("\n     ROMCON5 ffffffff"
                 "\n             11111111111111111111111111111111") +
         kUnits + kTens +
         "\n[1:0]   Page mode configuration (PMC)..[3]"
         "\n         11 = 16-word page"
         "\n[3:2]   Page address access time (tPA).[3]"
         "\n          11 = 4 cycles"
         "\n[6:4]   Programmable access cycle(tACC)[7]"
         "\n          111 = Reserved"
         "\n[19:10]  ROM/SRAM/Flash base pointer...[3ff]"
         "\n         ..............................[3ff0000]"
         "\n[29:20]  ROM/SRAM/FLASH next pointer...[3ff]"
         "\n         ..............................[3ff0000]"},
    {"ROMCON_hidden_bits_only", PrintROMCON, "ROMCON1", 0xc0000380,
     std::string("\n     ROMCON1 c0000380"
                 "\n             11000000000000000000001110000000") +
         kUnits + kTens +
         "\n[1:0]   Page mode configuration (PMC)..[0]"
         "\n         00 = Normal ROM"
         "\n[3:2]   Page address access time (tPA).[0]"
         "\n          00 = 5 cycles"
         "\n[6:4]   Programmable access cycle(tACC)[0]"
         "\n          000 = Disable bank"
         "\n[19:10]  ROM/SRAM/Flash base pointer...[0]"
         "\n         ..............................[0]"
         "\n[29:20]  ROM/SRAM/FLASH next pointer...[0]"
         "\n         ..............................[0]"},
    {"DRAMCON_mixed", PrintDRAMCON, "DRAMCON0", 0x8a8101a5,
     std::string("\n    DRAMCON0 8a8101a5"
                 "\n             10001010100000010000000110100101") +
         kUnits + kTens +
         "\n [0]      EDO mode(EDO) (note).........[1]"
         "\n        1 = EDO DRAM"
         "\n [2:1]    CAS strobe time (tCS)........[2]"
         "\n          10 = 3 cycles"
         "\n [3:3]    CAS pre-charge time (tCP )...[0]"
         "\n          0 = 1 cycle"
         "\n NOTE     In SDRAM mode, this bit affect SDRAM cycle."
         "\n          tCS value [1] : 0 = 1 cycle, 1 = 2 cycle"
         "\n [6:4]    Reserved ....................[2]"
         "\n          These bits default value is 000. But, you must set to 001."
         "\n [7]      RAS to CAS delay(tRC or tRCD)[1]"
         "\n           1 = 2 cycles"
         "\n [9:8]    RAS pre-charge time (tRP) ...[1]"
         "\n           01 = 2 cycles"
         "\n [19:10]  DRAM bank # base pointer ....[40]"
         "\n          .............................[400000]"
         "\n [29:20]  DRAM bank # Next pointer ....[a8]"
         "\n          .............................[a80000]"
         "\n [31:30]  Number of column bits (CAN)..[2]"
         "\n           10 = 10 bits"},
    {"DRAMCON_all_set", PrintDRAMCON, "DRAMCON3", 0xffffffff,
     std::string("\n    DRAMCON3 ffffffff"
                 "\n             11111111111111111111111111111111") +
         kUnits + kTens +
         "\n [0]      EDO mode(EDO) (note).........[1]"
         "\n        1 = EDO DRAM"
         "\n [2:1]    CAS strobe time (tCS)........[3]"
         "\n          11 = 4 cycles"
         "\n [3:3]    CAS pre-charge time (tCP )...[1]"
         "\n          1 = 2 cycles"
         "\n NOTE     In SDRAM mode, this bit affect SDRAM cycle."
         "\n          tCS value [1] : 0 = 1 cycle, 1 = 2 cycle"
         "\n [6:4]    Reserved ....................[7]"
         "\n          These bits default value is 000. But, you must set to 001."
         "\n [7]      RAS to CAS delay(tRC or tRCD)[1]"
         "\n           1 = 2 cycles"
         "\n [9:8]    RAS pre-charge time (tRP) ...[3]"
         "\n           11 = 4 cycles"
         "\n [19:10]  DRAM bank # base pointer ....[3ff]"
         "\n          .............................[3ff0000]"
         "\n [29:20]  DRAM bank # Next pointer ....[3ff]"
         "\n          .............................[3ff0000]"
         "\n [31:30]  Number of column bits (CAN)..[3]"
         "\n           11 = 11 bits"},
    {"REFEXTCON_zero", PrintREFEXTCON, "REFEXTCON", 0x00000000,
     std::string("\n   REFEXTCON 00000000"
                 "\n             00000000000000000000000000000000") +
         kUnits + kTens +
         "\n[9:0]     External I/O base address ...[0]"
         "\n          .............................[0]"
         "\n[15]      Validity of special reg(VSF).[0]"
         "\n            0 = Not accessible to memory bank"
         "\n[16]      Refresh enable (REN) ........[0]"
         "\n            0 = Disable DRAM refresh"
         "\n[19:17]   CAS hold time(tCHR)..........[0]"
         "\n            000 = 1 cycle"
         "\n NOTE :    In EDO/normal DRAM mode, CAS hold time can be programmed upto"
         "\n           5 cycles. But in SDRAM mode, this bit fields function are"
         "\n           defined as ROW Cycle Time (tRC) and can be programmed upto"
         "\n           6 cycles."
         "\n[20]      CAS setup time(t CSR)........[0]"
         "\n            0 = 1 cycle"
         "\nNOTE :    In SDRAM mode, this bit field is reserved."
         "\n[31:21]   Refresh count value (duration) ...[0]"
         "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
         "\n          [0.000041]"},
    {"REFEXTCON_typical", PrintREFEXTCON, "REFEXTCON", 0xce278360,
     std::string("\n   REFEXTCON ce278360"
                 "\n             11001110001001111000001101100000") +
         kUnits + kTens +
         "\n[9:0]     External I/O base address ...[360]"
         "\n          .............................[3600000]"
         "\n[15]      Validity of special reg(VSF).[1]"
         "\n            1 = Accessible to memory bank"
         "\n[16]      Refresh enable (REN) ........[1]"
         "\n            1 = Enable DRAM refresh"
         "\n[19:17]   CAS hold time(tCHR)..........[3]"
         "\n            011 = 4 cycles"
         "\n NOTE :    In EDO/normal DRAM mode, CAS hold time can be programmed upto"
         "\n           5 cycles. But in SDRAM mode, this bit fields function are"
         "\n           defined as ROW Cycle Time (tRC) and can be programmed upto"
         "\n           6 cycles."
         "\n[20]      CAS setup time(t CSR)........[0]"
         "\n            0 = 1 cycle"
         "\nNOTE :    In SDRAM mode, this bit field is reserved."
         "\n[31:21]   Refresh count value (duration) ...[671]"
         "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
         "\n          [0.000008]"},
    {"REFEXTCON_max_count_and_hidden_bits", PrintREFEXTCON, "REFEXTCON", 0xffe07c00,
     std::string("\n   REFEXTCON ffe07c00"
                 "\n             11111111111000000111110000000000") +
         kUnits + kTens +
         "\n[9:0]     External I/O base address ...[0]"
         "\n          .............................[0]"
         "\n[15]      Validity of special reg(VSF).[0]"
         "\n            0 = Not accessible to memory bank"
         "\n[16]      Refresh enable (REN) ........[0]"
         "\n            0 = Disable DRAM refresh"
         "\n[19:17]   CAS hold time(tCHR)..........[0]"
         "\n            000 = 1 cycle"
         "\n NOTE :    In EDO/normal DRAM mode, CAS hold time can be programmed upto"
         "\n           5 cycles. But in SDRAM mode, this bit fields function are"
         "\n           defined as ROW Cycle Time (tRC) and can be programmed upto"
         "\n           6 cycles."
         "\n[20]      CAS setup time(t CSR)........[0]"
         "\n            0 = 1 cycle"
         "\nNOTE :    In SDRAM mode, this bit field is reserved."
         "\n[31:21]   Refresh count value (duration) ...[7ff]"
         "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
         "\n          [0.000000]"},
};

INSTANTIATE_TEST_SUITE_P(Decoders, DecodersWholeText, testing::ValuesIn(kWholeCases),
                         [](const testing::TestParamInfo<WholeCase> &i) { return i.param.label; });

// ---- Legends --------------------------------------------------------------------------------

// One case per legend value: the field's label line must be followed directly by that legend
// line, and the listing must keep its fixed number of lines (so no other legend line of the
// field slipped in).
struct LegendCase {
    Printer print;
    U32 val;
    const char *field_line;
    const char *legend_line;
};

struct Layout {
    Printer print;
    int lines;
};

// Four header lines, the field and note lines, one legend line per field that has a legend.
constexpr Layout kLayouts[] = {
    {PrintSYSCFG, 4 + 10 + 1},  {PrintEXTDBWTH, 4 + 1 + 14},  {PrintROMCON, 4 + 7 + 3},
    {PrintDRAMCON, 4 + 14 + 6}, {PrintREFEXTCON, 4 + 14 + 4},
};

int LinesOf(Printer print)
{
    for (const Layout &l : kLayouts)
        if (l.print == print)
            return l.lines;
    return -1;
}

const LegendCase kLegendCases[] = {
    // SYSCFG CM, bits 5:4
    {PrintSYSCFG, 0u << 4, "\n[5:4]  Cache mode (CM).................[0]",
     "\n        00 = 4-Kbyte SRAM, 4-Kbyte cache"},
    {PrintSYSCFG, 1u << 4, "\n[5:4]  Cache mode (CM).................[1]",
     "\n        01 = 0-Kbyte SRAM, 8-Kbyte cache"},
    {PrintSYSCFG, 2u << 4, "\n[5:4]  Cache mode (CM).................[2]",
     "\n        10 = 8-Kbyte SRAM, 0-Kbyte cache"},
    {PrintSYSCFG, 3u << 4, "\n[5:4]  Cache mode (CM).................[3]",
     "\n        11 = Not Allowed"},
    // ROMCON PMC, bits 1:0
    {PrintROMCON, 0u, "\n[1:0]   Page mode configuration (PMC)..[0]", "\n         00 = Normal ROM"},
    {PrintROMCON, 1u, "\n[1:0]   Page mode configuration (PMC)..[1]",
     "\n         01 = 4-word page"},
    {PrintROMCON, 2u, "\n[1:0]   Page mode configuration (PMC)..[2]",
     "\n         10 = 8-word page"},
    {PrintROMCON, 3u, "\n[1:0]   Page mode configuration (PMC)..[3]",
     "\n         11 = 16-word page"},
    // ROMCON tPA, bits 3:2
    {PrintROMCON, 0u << 2, "\n[3:2]   Page address access time (tPA).[0]",
     "\n          00 = 5 cycles"},
    {PrintROMCON, 1u << 2, "\n[3:2]   Page address access time (tPA).[1]",
     "\n          01 = 2 cycles"},
    {PrintROMCON, 2u << 2, "\n[3:2]   Page address access time (tPA).[2]",
     "\n          10 = 3 cycles"},
    {PrintROMCON, 3u << 2, "\n[3:2]   Page address access time (tPA).[3]",
     "\n          11 = 4 cycles"},
    // ROMCON tACC, bits 6:4
    {PrintROMCON, 0u << 4, "\n[6:4]   Programmable access cycle(tACC)[0]",
     "\n          000 = Disable bank"},
    {PrintROMCON, 1u << 4, "\n[6:4]   Programmable access cycle(tACC)[1]",
     "\n          001 = 2 cycles"},
    {PrintROMCON, 2u << 4, "\n[6:4]   Programmable access cycle(tACC)[2]",
     "\n          010 = 3 cycles"},
    {PrintROMCON, 3u << 4, "\n[6:4]   Programmable access cycle(tACC)[3]",
     "\n          011 = 4 cycles"},
    {PrintROMCON, 4u << 4, "\n[6:4]   Programmable access cycle(tACC)[4]",
     "\n          100 = 5 cycles"},
    {PrintROMCON, 5u << 4, "\n[6:4]   Programmable access cycle(tACC)[5]",
     "\n          101 = 6 cycles"},
    {PrintROMCON, 6u << 4, "\n[6:4]   Programmable access cycle(tACC)[6]",
     "\n          110 = 7 cycles"},
    {PrintROMCON, 7u << 4, "\n[6:4]   Programmable access cycle(tACC)[7]",
     "\n          111 = Reserved"},
    // DRAMCON EDO, bit 0
    {PrintDRAMCON, 0u, "\n [0]      EDO mode(EDO) (note).........[0]",
     "\n        0 = Normal DRAM (Fast page mode DRAM)"},
    {PrintDRAMCON, 1u, "\n [0]      EDO mode(EDO) (note).........[1]", "\n        1 = EDO DRAM"},
    // DRAMCON tCS, bits 2:1
    {PrintDRAMCON, 0u << 1, "\n [2:1]    CAS strobe time (tCS)........[0]",
     "\n          00 = 1 cycle"},
    {PrintDRAMCON, 1u << 1, "\n [2:1]    CAS strobe time (tCS)........[1]",
     "\n          01 = 2 cycles"},
    {PrintDRAMCON, 2u << 1, "\n [2:1]    CAS strobe time (tCS)........[2]",
     "\n          10 = 3 cycles"},
    {PrintDRAMCON, 3u << 1, "\n [2:1]    CAS strobe time (tCS)........[3]",
     "\n          11 = 4 cycles"},
    // DRAMCON tCP, bit 3
    {PrintDRAMCON, 0u << 3, "\n [3:3]    CAS pre-charge time (tCP )...[0]",
     "\n          0 = 1 cycle"},
    {PrintDRAMCON, 1u << 3, "\n [3:3]    CAS pre-charge time (tCP )...[1]",
     "\n          1 = 2 cycles"},
    // DRAMCON tRCD, bit 7
    {PrintDRAMCON, 0u << 7, "\n [7]      RAS to CAS delay(tRC or tRCD)[0]",
     "\n           0 = 1 cycle"},
    {PrintDRAMCON, 1u << 7, "\n [7]      RAS to CAS delay(tRC or tRCD)[1]",
     "\n           1 = 2 cycles"},
    // DRAMCON tRP, bits 9:8
    {PrintDRAMCON, 0u << 8, "\n [9:8]    RAS pre-charge time (tRP) ...[0]",
     "\n           00 = 1 cycle"},
    {PrintDRAMCON, 1u << 8, "\n [9:8]    RAS pre-charge time (tRP) ...[1]",
     "\n           01 = 2 cycles"},
    {PrintDRAMCON, 2u << 8, "\n [9:8]    RAS pre-charge time (tRP) ...[2]",
     "\n           10 = 3 cycles"},
    {PrintDRAMCON, 3u << 8, "\n [9:8]    RAS pre-charge time (tRP) ...[3]",
     "\n           11 = 4 cycles"},
    // DRAMCON CAN, bits 31:30
    {PrintDRAMCON, 0u << 30, "\n [31:30]  Number of column bits (CAN)..[0]",
     "\n           00 = 8 bits"},
    {PrintDRAMCON, 1u << 30, "\n [31:30]  Number of column bits (CAN)..[1]",
     "\n           01 = 9 bits"},
    {PrintDRAMCON, 2u << 30, "\n [31:30]  Number of column bits (CAN)..[2]",
     "\n           10 = 10 bits"},
    {PrintDRAMCON, 3u << 30, "\n [31:30]  Number of column bits (CAN)..[3]",
     "\n           11 = 11 bits"},
    // REFEXTCON VSF, bit 15
    {PrintREFEXTCON, 0u << 15, "\n[15]      Validity of special reg(VSF).[0]",
     "\n            0 = Not accessible to memory bank"},
    {PrintREFEXTCON, 1u << 15, "\n[15]      Validity of special reg(VSF).[1]",
     "\n            1 = Accessible to memory bank"},
    // REFEXTCON REN, bit 16
    {PrintREFEXTCON, 0u << 16, "\n[16]      Refresh enable (REN) ........[0]",
     "\n            0 = Disable DRAM refresh"},
    {PrintREFEXTCON, 1u << 16, "\n[16]      Refresh enable (REN) ........[1]",
     "\n            1 = Enable DRAM refresh"},
    // REFEXTCON tCHR, bits 19:17
    {PrintREFEXTCON, 0u << 17, "\n[19:17]   CAS hold time(tCHR)..........[0]",
     "\n            000 = 1 cycle"},
    {PrintREFEXTCON, 1u << 17, "\n[19:17]   CAS hold time(tCHR)..........[1]",
     "\n            001 = 2 cycles"},
    {PrintREFEXTCON, 2u << 17, "\n[19:17]   CAS hold time(tCHR)..........[2]",
     "\n            010 = 3 cycles"},
    {PrintREFEXTCON, 3u << 17, "\n[19:17]   CAS hold time(tCHR)..........[3]",
     "\n            011 = 4 cycles"},
    {PrintREFEXTCON, 4u << 17, "\n[19:17]   CAS hold time(tCHR)..........[4]",
     "\n            100 = 5 cycles"},
    {PrintREFEXTCON, 5u << 17, "\n[19:17]   CAS hold time(tCHR)..........[5]",
     "\n            101 = Not used (6 cycles)"},
    {PrintREFEXTCON, 6u << 17, "\n[19:17]   CAS hold time(tCHR)..........[6]",
     "\n            110 = Not used"},
    {PrintREFEXTCON, 7u << 17, "\n[19:17]   CAS hold time(tCHR)..........[7]",
     "\n            111 = Not used"},
    // REFEXTCON tCSR, bit 20
    {PrintREFEXTCON, 0u << 20, "\n[20]      CAS setup time(t CSR)........[0]",
     "\n            0 = 1 cycle"},
    {PrintREFEXTCON, 1u << 20, "\n[20]      CAS setup time(t CSR)........[1]",
     "\n            1 = 2 cycles"},
};

int CountLines(const std::string &s)
{
    int n = 0;
    for (char ch : s)
        n += ch == '\n';
    return n;
}

TEST(DecodersLegends, EachValueSelectsItsOwnLegendLine)
{
    for (const LegendCase &c : kLegendCases) {
        SCOPED_TRACE(testing::Message() << "val 0x" << std::hex << c.val << ": " << c.legend_line);
        const Printed out = Capture(c.print, "REG", c.val);
        EXPECT_EQ(out.ret, 1);
        EXPECT_NE(out.text.find(std::string(c.field_line) + c.legend_line), std::string::npos);
        EXPECT_EQ(CountLines(out.text), LinesOf(c.print));
    }
}

// ---- Single fields --------------------------------------------------------------------------

// Each EXTDBWTH width alone at 2 (binary 10): only its own line shows it, which pins the DSR5
// line (labelled "[10:11]") to bits 11:10.
TEST(DecodersExtdbwth, EachWidthFieldReadsItsOwnTwoBits)
{
    const char *const labels[] = {
        "\n[ 1: 0] ROM/SRAM/FLASH bank0 (DSR0) ...[", "\n[ 3: 2] ROM/SRAM/FLASH bank 1 (DSR1)...[",
        "\n[ 5: 4] ROM/SRAM/FLASH bank 2 (DSR2)...[", "\n[ 7: 6] ROM/SRAM/FLASH bank 3 (DSR3)...[",
        "\n[ 9: 8] ROM/SRAM/FLASH bank 4 (DSR4)...[", "\n[10:11] ROM/SRAM/FLASH bank 5 (DSR5)...[",
        "\n[13:12] DRAM bank 0 (DSD0).............[", "\n[15:14] DRAM bank 1 (DSD1).............[",
        "\n[17:16] DRAM bank 2 (DSD2).............[", "\n[19:18] DRAM bank 3 (DSD3).............[",
        "\n[21:20] external I/O bank 0 (DSX0).....[", "\n[23:22] external I/O bank 1 (DSX1).....[",
        "\n[25:24] external I/O bank 2 (DSX2).....[", "\n[27:26] external I/O bank 3 (DSX3).....[",
    };
    for (int k = 0; k < 14; k++) {
        SCOPED_TRACE(testing::Message() << "field " << k);
        const Printed out = Capture(PrintEXTDBWTH, "EXTDBWTH", 2u << (2 * k));
        for (int j = 0; j < 14; j++)
            EXPECT_NE(out.text.find(std::string(labels[j]) + (j == k ? "2]" : "0]")),
                      std::string::npos)
                << "line " << j;
    }
}

// The last REFEXTCON line: (2049 - count) / 50 MHz in seconds, six decimals.
TEST(DecodersRefresh, PeriodFollowsRefreshCount)
{
    struct {
        U32 count;
        const char *tail;
    } const cases[] = {
        {0, "\n[31:21]   Refresh count value (duration) ...[0]"
            "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
            "\n          [0.000041]"},
        {1, "\n[31:21]   Refresh count value (duration) ...[1]"
            "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
            "\n          [0.000041]"},
        {1049, "\n[31:21]   Refresh count value (duration) ...[419]"
               "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
               "\n          [0.000020]"},
        {1999, "\n[31:21]   Refresh count value (duration) ...[7cf]"
               "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
               "\n          [0.000001]"},
        {2047, "\n[31:21]   Refresh count value (duration) ...[7ff]"
               "\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"
               "\n          [0.000000]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "count " << c.count);
        const Printed out = Capture(PrintREFEXTCON, "REFEXTCON", c.count << 21);
        const std::string tail = c.tail;
        ASSERT_GE(out.text.size(), tail.size());
        EXPECT_EQ(out.text.substr(out.text.size() - tail.size()), tail);
    }
}

// ---- Null name ------------------------------------------------------------------------------

TEST(DecodersNullName, ReturnsZeroAndPrintsNothing)
{
    for (Printer print : {PrintSYSCFG, PrintEXTDBWTH, PrintROMCON, PrintDRAMCON, PrintREFEXTCON}) {
        const Printed out = Capture(print, nullptr, 0xffffffff);
        EXPECT_EQ(out.ret, 0);
        EXPECT_EQ(out.text, "");
    }
}

// An empty name is still a name: the header shows 12 blanks.
TEST(DecodersNullName, EmptyNameStillPrints)
{
    const Printed out = Capture(PrintSYSCFG, "", 0);
    EXPECT_EQ(out.ret, 1);
    EXPECT_EQ(out.text.rfind("\n             00000000\n", 0), 0u);
}

}  // namespace
