// Register layouts of the S3C4510B system manager as constant tables, and the one walker that
// prints them. The label texts are the tool's fixed output; users and scripts read them, so they
// stay byte for byte as they are, quirks included.
#include "decoders/decoders.h"

#include <cstdio>

namespace {

constexpr field_row field(const char *format, unsigned shift, U32 mask, legend_list legend = {})
{
    return {line_kind::FIELD, format, shift, mask, nullptr, legend};
}

// A 10-bit base or next pointer holds bits 25:16 of a byte address; the dot-leader line under it
// shows that address.
constexpr U32 POINTER_MASK = 0x3ff;
constexpr unsigned POINTER_TO_ADDRESS_SHIFT = 16;

constexpr field_row pointer(const char *format, unsigned shift, const char *leader)
{
    return {line_kind::FIELD, format, shift, POINTER_MASK, leader, {}};
}

constexpr field_row note(const char *text) { return {line_kind::NOTE, text, 0, 0, nullptr, {}}; }

// The DRAM refresh period is (2^11 + 1 - count) cycles of the 50 MHz system clock fMCLK.
constexpr unsigned REFRESH_COUNT_SHIFT = 21;
constexpr U32 REFRESH_COUNT_MASK = 0x7ff;  // bits 31:21
constexpr double REFRESH_CYCLES_AT_COUNT_0 = 2049.0;
constexpr double FMCLK_HZ = 50000000.0;

constexpr field_row refresh_period(const char *format)
{
    return {line_kind::REFRESH_PERIOD, format,  REFRESH_COUNT_SHIFT,
            REFRESH_COUNT_MASK,        nullptr, {}};
}

// ---- SYSCFG ---------------------------------------------------------------------------------

constexpr const char *LEGEND_CM[] = {
    "\n        00 = 4-Kbyte SRAM, 4-Kbyte cache",
    "\n        01 = 0-Kbyte SRAM, 8-Kbyte cache",
    "\n        10 = 8-Kbyte SRAM, 0-Kbyte cache",
    "\n        11 = Not Allowed",
};

// Bits 3 and 30 are not shown. The first four fields are printed in decimal.
constexpr field_row SYSCFG_FIELDS[] = {
    field("\n[0]    Stal enable (SE).Must be zero...[%d]", 0, 1),
    field("\n[1]    Cache enable (CE)...............[%d]", 1, 1),
    field("\n[2]    Write buffer enable (WE)........[%d]", 2, 1),
    field("\n[5:4]  Cache mode (CM).................[%d]", 4, 3, LEGEND_CM),
    pointer("\n[15:6] Internal SRAM base pointer..,...[%x]", 6,
            "\n       ................................[%x]"),
    pointer("\n[25:16]Special register bank base ptr..[%x]", 16,
            "\n       ................................[%x]"),
    field("\n[29:26]Product Identifier (PD_ID)......[%x]", 26, 0xf),
    field("\n[31]   Sync. DRAM mode.................[%x]", 31, 1),
};

// ---- EXTDBWTH -------------------------------------------------------------------------------

// One 2-bit width field per bank; bits 31:28 are not shown. The DSR5 label has read "[10:11]"
// from the start while the field shown is bits 11:10.
constexpr field_row EXTDBWTH_FIELDS[] = {
    note("\nData bus width for:"),
    field("\n[ 1: 0] ROM/SRAM/FLASH bank0 (DSR0) ...[%x]", 0, 3),
    field("\n[ 3: 2] ROM/SRAM/FLASH bank 1 (DSR1)...[%x]", 2, 3),
    field("\n[ 5: 4] ROM/SRAM/FLASH bank 2 (DSR2)...[%x]", 4, 3),
    field("\n[ 7: 6] ROM/SRAM/FLASH bank 3 (DSR3)...[%x]", 6, 3),
    field("\n[ 9: 8] ROM/SRAM/FLASH bank 4 (DSR4)...[%x]", 8, 3),
    field("\n[10:11] ROM/SRAM/FLASH bank 5 (DSR5)...[%x]", 10, 3),
    field("\n[13:12] DRAM bank 0 (DSD0).............[%x]", 12, 3),
    field("\n[15:14] DRAM bank 1 (DSD1).............[%x]", 14, 3),
    field("\n[17:16] DRAM bank 2 (DSD2).............[%x]", 16, 3),
    field("\n[19:18] DRAM bank 3 (DSD3).............[%x]", 18, 3),
    field("\n[21:20] external I/O bank 0 (DSX0).....[%x]", 20, 3),
    field("\n[23:22] external I/O bank 1 (DSX1).....[%x]", 22, 3),
    field("\n[25:24] external I/O bank 2 (DSX2).....[%x]", 24, 3),
    field("\n[27:26] external I/O bank 3 (DSX3).....[%x]", 26, 3),
};

// ---- ROMCON0 to ROMCON5 ---------------------------------------------------------------------

constexpr const char *LEGEND_PMC[] = {
    "\n         00 = Normal ROM",
    "\n         01 = 4-word page",
    "\n         10 = 8-word page",
    "\n         11 = 16-word page",
};

constexpr const char *LEGEND_TPA[] = {
    "\n          00 = 5 cycles",
    "\n          01 = 2 cycles",
    "\n          10 = 3 cycles",
    "\n          11 = 4 cycles",
};

// One row a line, as the table reads.
// clang-format off
constexpr const char *LEGEND_TACC[] = {
    "\n          000 = Disable bank",
    "\n          001 = 2 cycles",
    "\n          010 = 3 cycles",
    "\n          011 = 4 cycles",
    "\n          100 = 5 cycles",
    "\n          101 = 6 cycles",
    "\n          110 = 7 cycles",
    "\n          111 = Reserved",
};
// clang-format on

// Bits 9:7 and 31:30 are not shown.
constexpr field_row ROMCON_FIELDS[] = {
    field("\n[1:0]   Page mode configuration (PMC)..[%x]", 0, 3, LEGEND_PMC),
    field("\n[3:2]   Page address access time (tPA).[%x]", 2, 3, LEGEND_TPA),
    field("\n[6:4]   Programmable access cycle(tACC)[%x]", 4, 7, LEGEND_TACC),
    pointer("\n[19:10]  ROM/SRAM/Flash base pointer...[%x]", 10,
            "\n         ..............................[%x]"),
    pointer("\n[29:20]  ROM/SRAM/FLASH next pointer...[%x]", 20,
            "\n         ..............................[%x]"),
};

// ---- DRAMCON0 to DRAMCON3 -------------------------------------------------------------------

constexpr const char *LEGEND_EDO[] = {
    "\n        0 = Normal DRAM (Fast page mode DRAM)",
    "\n        1 = EDO DRAM",
};

constexpr const char *LEGEND_TCS[] = {
    "\n          00 = 1 cycle",
    "\n          01 = 2 cycles",
    "\n          10 = 3 cycles",
    "\n          11 = 4 cycles",
};

constexpr const char *LEGEND_TCP[] = {
    "\n          0 = 1 cycle",
    "\n          1 = 2 cycles",
};

constexpr const char *LEGEND_TRCD[] = {
    "\n           0 = 1 cycle",
    "\n           1 = 2 cycles",
};

constexpr const char *LEGEND_TRP[] = {
    "\n           00 = 1 cycle",
    "\n           01 = 2 cycles",
    "\n           10 = 3 cycles",
    "\n           11 = 4 cycles",
};

constexpr const char *LEGEND_CAN[] = {
    "\n           00 = 8 bits",
    "\n           01 = 9 bits",
    "\n           10 = 10 bits",
    "\n           11 = 11 bits",
};

constexpr field_row DRAMCON_FIELDS[] = {
    field("\n [0]      EDO mode(EDO) (note).........[%x]", 0, 1, LEGEND_EDO),
    field("\n [2:1]    CAS strobe time (tCS)........[%x]", 1, 3, LEGEND_TCS),
    field("\n [3:3]    CAS pre-charge time (tCP )...[%x]", 3, 1, LEGEND_TCP),
    note("\n NOTE     In SDRAM mode, this bit affect SDRAM cycle."),
    note("\n          tCS value [1] : 0 = 1 cycle, 1 = 2 cycle"),
    field("\n [6:4]    Reserved ....................[%x]", 4, 7),
    note("\n          These bits default value is 000. But, you must set to 001."),
    field("\n [7]      RAS to CAS delay(tRC or tRCD)[%x]", 7, 1, LEGEND_TRCD),
    field("\n [9:8]    RAS pre-charge time (tRP) ...[%x]", 8, 3, LEGEND_TRP),
    pointer("\n [19:10]  DRAM bank # base pointer ....[%x]", 10,
            "\n          .............................[%x]"),
    pointer("\n [29:20]  DRAM bank # Next pointer ....[%x]", 20,
            "\n          .............................[%x]"),
    field("\n [31:30]  Number of column bits (CAN)..[%x]", 30, 3, LEGEND_CAN),
};

// ---- REFEXTCON ------------------------------------------------------------------------------

constexpr const char *LEGEND_VSF[] = {
    "\n            0 = Not accessible to memory bank",
    "\n            1 = Accessible to memory bank",
};

constexpr const char *LEGEND_REN[] = {
    "\n            0 = Disable DRAM refresh",
    "\n            1 = Enable DRAM refresh",
};

// One row a line, as the table reads.
// clang-format off
constexpr const char *LEGEND_TCHR[] = {
    "\n            000 = 1 cycle",
    "\n            001 = 2 cycles",
    "\n            010 = 3 cycles",
    "\n            011 = 4 cycles",
    "\n            100 = 5 cycles",
    "\n            101 = Not used (6 cycles)",
    "\n            110 = Not used",
    "\n            111 = Not used",
};
// clang-format on

constexpr const char *LEGEND_TCSR[] = {
    "\n            0 = 1 cycle",
    "\n            1 = 2 cycles",
};

// The external I/O base pointer sits in bits 9:0 here; bits 14:10 are not shown.
constexpr field_row REFEXTCON_FIELDS[] = {
    pointer("\n[9:0]     External I/O base address ...[%x]", 0,
            "\n          .............................[%x]"),
    field("\n[15]      Validity of special reg(VSF).[%x]", 15, 1, LEGEND_VSF),
    field("\n[16]      Refresh enable (REN) ........[%x]", 16, 1, LEGEND_REN),
    field("\n[19:17]   CAS hold time(tCHR)..........[%x]", 17, 7, LEGEND_TCHR),
    note("\n NOTE :    In EDO/normal DRAM mode, CAS hold time can be programmed upto"),
    note("\n           5 cycles. But in SDRAM mode, this bit fields function are"),
    note("\n           defined as ROW Cycle Time (tRC) and can be programmed upto"),
    note("\n           6 cycles."),
    field("\n[20]      CAS setup time(t CSR)........[%x]", 20, 1, LEGEND_TCSR),
    note("\nNOTE :    In SDRAM mode, this bit field is reserved."),
    field("\n[31:21]   Refresh count value (duration) ...[%x]", REFRESH_COUNT_SHIFT,
          REFRESH_COUNT_MASK),
    note("\n          The refresh period is calculated as (2 ** 11 - Value + 1) / fMCLK"),
    refresh_period("\n          [%f]"),
};

// Every legend has one line per value its field can take, so the walker may index it directly.
constexpr bool legends_cover_fields(std::span<const field_row> fields)
{
    for (const field_row &f : fields)
        if (!f.legend.empty() && f.legend.size() != f.mask + 1)
            return false;
    return true;
}
static_assert(legends_cover_fields(SYSCFG_FIELDS));
static_assert(legends_cover_fields(EXTDBWTH_FIELDS));
static_assert(legends_cover_fields(ROMCON_FIELDS));
static_assert(legends_cover_fields(DRAMCON_FIELDS));
static_assert(legends_cover_fields(REFEXTCON_FIELDS));

// ---- Printing -------------------------------------------------------------------------------

// Name and value, the 32 bits from bit 31 down, and the bit-number ruler under them: the units
// digit of each bit number, then the tens digits under bits 30, 20 and 10.
void print_header(const char *nam, U32 val)
{
    printf("\n%12s %08x", nam, static_cast<unsigned>(val));
    printf("\n%12s ", "");
    for (int bit = 31; bit >= 0; bit--)
        putchar((val >> bit) & 1 ? '1' : '0');
    printf("\n%12s 10987654321098765432109876543210", "");
    printf("\n%12s  3         2         1          ", "");
}

void print_field(const field_row &f, U32 val)
{
    const U32 v = (val >> f.shift) & f.mask;
    switch (f.kind) {
    case line_kind::FIELD:
        printf(f.format, static_cast<unsigned>(v));
        if (f.leader)
            printf(f.leader, static_cast<unsigned>(v << POINTER_TO_ADDRESS_SHIFT));
        if (!f.legend.empty())
            fputs(f.legend[v], stdout);
        break;
    case line_kind::NOTE:
        fputs(f.format, stdout);
        break;
    case line_kind::REFRESH_PERIOD:
        printf(f.format, (REFRESH_CYCLES_AT_COUNT_0 - v) / FMCLK_HZ);
        break;
    }
}

int print_register(const char *nam, U32 val, std::span<const field_row> fields)
{
    if (!nam)
        return 0;
    print_header(nam, val);
    for (const field_row &f : fields)
        print_field(f, val);
    return 1;
}

}  // namespace

std::span<const field_row> layout_of(register_printer print)
{
    if (print == PrintSYSCFG)
        return SYSCFG_FIELDS;
    if (print == PrintEXTDBWTH)
        return EXTDBWTH_FIELDS;
    if (print == PrintROMCON)
        return ROMCON_FIELDS;
    if (print == PrintDRAMCON)
        return DRAMCON_FIELDS;
    if (print == PrintREFEXTCON)
        return REFEXTCON_FIELDS;
    return {};
}

int PrintSYSCFG(const char *nam, U32 val) { return print_register(nam, val, SYSCFG_FIELDS); }

int PrintEXTDBWTH(const char *nam, U32 val) { return print_register(nam, val, EXTDBWTH_FIELDS); }

int PrintROMCON(const char *nam, U32 val) { return print_register(nam, val, ROMCON_FIELDS); }

int PrintDRAMCON(const char *nam, U32 val) { return print_register(nam, val, DRAMCON_FIELDS); }

int PrintREFEXTCON(const char *nam, U32 val) { return print_register(nam, val, REFEXTCON_FIELDS); }
