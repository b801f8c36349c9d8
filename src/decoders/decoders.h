// Field-by-field listings of the S3C4510B system-manager registers.
//
// Each printer writes to stdout the register's name and value, its 32 bits over a bit-number
// ruler, then one line per field with the legend line that matches the field's value. Every line
// begins with a line feed and none ends with one, so consecutive listings join line by line and
// the last line stays open. `nam` is shown right-aligned in 12 columns.
// Each returns 0 and prints nothing when `nam` is null, 1 otherwise.
#pragma once

#include "zelk.h"

int PrintSYSCFG(const char *nam, U32 val);     // system configuration
int PrintEXTDBWTH(const char *nam, U32 val);   // data bus width of each memory bank
int PrintROMCON(const char *nam, U32 val);     // ROMCON0 to ROMCON5: ROM/SRAM/flash banks
int PrintDRAMCON(const char *nam, U32 val);    // DRAMCON0 to DRAMCON3: DRAM banks
int PrintREFEXTCON(const char *nam, U32 val);  // DRAM refresh and external I/O base
