// Field-by-field listings of the S3C4510B system-manager registers.
//
// Each printer writes to stdout the register's name and value, its 32 bits over a bit-number
// ruler, then one line per field with the legend line that matches the field's value. Every line
// begins with a line feed and none ends with one, so consecutive listings join line by line and
// the last line stays open. `nam` is shown right-aligned in 12 columns.
// Each returns 0 and prints nothing when `nam` is null, 1 otherwise.
#pragma once

#include <span>

#include "zelk.h"

// The legend line for each value of a field, indexed by that value.
using legend_list = std::span<const char *const>;

enum class line_kind : U8 {
    FIELD,           // `format` shows the field, then the dot-leader and legend lines if any
    NOTE,            // `format` is printed as it stands
    REFRESH_PERIOD,  // `format` shows the refresh period in seconds derived from the field
};

// One row of a register's layout table; a printer prints one or more lines per row, in order.
struct field_row {
    line_kind kind;
    const char *format;  // one %d, %x or %f conversion; none for a note
    unsigned shift;      // the field is (val >> shift) & mask
    U32 mask;
    const char *leader;  // dot-leader line showing the field << 16, or null
    legend_list legend;  // empty when the field has no legend
};

using register_printer = int (*)(const char *nam, U32 val);

// The layout table a printer walks (empty for any other function).
std::span<const field_row> layout_of(register_printer print);

int PrintSYSCFG(const char *nam, U32 val);     // system configuration
int PrintEXTDBWTH(const char *nam, U32 val);   // data bus width of each memory bank
int PrintROMCON(const char *nam, U32 val);     // ROMCON0 to ROMCON5: ROM/SRAM/flash banks
int PrintDRAMCON(const char *nam, U32 val);    // DRAMCON0 to DRAMCON3: DRAM banks
int PrintREFEXTCON(const char *nam, U32 val);  // DRAM refresh and external I/O base
