// zelk: host side of the S3C4510B boot monitor's serial protocol.
// Shared types, the global settings, and the operations the driver calls.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sys/types.h>

using U8 = std::uint8_t;
using U16 = std::uint16_t;
using U32 = std::uint32_t;

// An open stdio file, closed when its owner goes: files are released on every way out of the
// operation that opened them.
struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// The value of one hex digit, either case; -1 for any other character.
constexpr int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// ---- Option table ---------------------------------------------------------------------------

// One row of the option table. `type` holds the kind in its low 16 bits and flags above.
struct OPTION {
    const char *name;         // one or more words separated by single blanks; null ends the table
    U32 type;                 // kind | flags
    void *addr;               // the setting written, or the parser function for OPT_FUNC
    const char *description;  // usage text; a newline starts a continuation line
    int value;                // stored by options with OPT_NOARG
    int lower_limit;          // OPT_LOWER bound (OPT_INT only)
    int upper_limit;          // OPT_UPPER bound (OPT_INT only); buffer size for OPT_STRING
};

// Kinds.
constexpr U32 OPT_FUNC = 1;  // addr is an option_func
constexpr U32 OPT_U32 = 4;
constexpr U32 OPT_INT = 5;     // signed 32 bits, with limit checks
constexpr U32 OPT_STRING = 6;  // text buffer of upper_limit bytes
constexpr U32 OPT_KIND_MASK = 0xFFFF;
// Flags.
constexpr U32 OPT_LOWER = 0x10000;
constexpr U32 OPT_UPPER = 0x20000;
constexpr U32 OPT_NOARG = 0x100000;

// Parser function of an OPT_FUNC row: argv is positioned after the option's name words and is
// null-terminated; it stores in *arg_proc the number of words it consumed. Nonzero = success.
using option_func = int (*)(char **argv, int *arg_proc);

extern const OPTION general_options[];

// ---- Global settings (module options) -------------------------------------------------------

// The image formats a write reads, as the "format" option names them (format_word).
enum image_format { FORMAT_BIN, FORMAT_HEX, FORMAT_SREC, FORMAT_ELF };

constexpr int NAME_BUF_SIZE = 4095;  // devnam and the file names

extern char devnam[NAME_BUF_SIZE];
extern char inpfilenam[NAME_BUF_SIZE];
extern char outfilenam[NAME_BUF_SIZE];
extern char protfilenam[NAME_BUF_SIZE];
extern char reportfilenam[NAME_BUF_SIZE];  // the run report (JSON); "" = none
extern char tracefilenam[NAME_BUF_SIZE];   // "trace": the protocol trace's file, "" = none
extern int inspeed;

extern int terminal_cmd, echo_test_cmd;
extern int manufactory_cmd, deviceid_cmd;
extern int erase_cmd;
extern U32 erase_sectors_cmd;  // bit n selects sector n, 0 to 31
extern int dram_test_cmd, dram_byte_test_cmd, dram_halfword_test_cmd, dram_word_test_cmd;
extern int fastwrite_cmd, write_cmd, read_cmd, read_registers;

extern int file_size, block_size, hash;
extern int verify_opt;                 // the block write reads the flash back and compares
extern int write_offset, write_speed;  // stored as 32-bit patterns by OPT_U32 rows
extern int read_speed;                 // the flash read's data speed; 0: write_speed applies
extern int terminal_hex_opt, echo_opt;
extern int dram_timeout;      // seconds a DRAM test may go without a byte or a phase; 0 = no limit
extern int timestamps_opt;    // the terminal stamps each line with the local time
extern int reconnect_opt;     // the terminal waits for a lost device and reopens it
extern int idle_seconds;      // the terminal without a console ends this long after its input
extern int image_format_opt;  // "format": an image_format, -1 detects it
extern U32 flash_base;        // "flash base": the address of flash offset 0 in an addressed image
extern int erase_needed_opt;  // "erase needed": the sector erase adds the image's sectors
extern int plan_opt;          // "plan": print what the run would do, open nothing
extern int ready_wait;        // seconds the run's first link test waits for the board; 0 = as usual

constexpr int LABEL_BUF_SIZE = 256;          // label_text, run_id_text
extern char label_text[LABEL_BUF_SIZE];      // recorded in the report; "" = none
extern char run_id_text[LABEL_BUF_SIZE];     // recorded in the report and progress; "" = none
extern char progressfilenam[NAME_BUF_SIZE];  // JSON-lines progress; "" = none
extern int write_retries;                    // "retries": sector rebuilds one block write may make
extern char resumefilenam[NAME_BUF_SIZE];    // "resume": a run report to resume from; "" = none
extern int pause_ms;  // "pause": milliseconds after each paced command letter (default 3000)

// ---- The board's flash ------------------------------------------------------------------------

constexpr int FLASH_SECTORS = 32;     // uniform sectors of 64 KiB
constexpr int FLASH_BYTES = 2097152;  // 2 MiB: the largest read or write, the end of any image

// ---- Driver and serial state ----------------------------------------------------------------

extern int ttyfd;                        // open serial device, -1 while none
extern mode_t tty_mode;                  // device node's st_mode as found, (mode_t)-1 if none
extern volatile sig_atomic_t kill_link;  // set to 1 by SIGINT/SIGTERM, never reset

// Ends the program with `status` through exit(), so the restorer registered at the device's open
// puts the device and the console back. Every fatal path in the tool ends here.
[[noreturn]] void end_program(int status);

// Checks every input the selected operations will need (the input file and its fit in the
// flash, the write speed, the output file's folder) before the device is opened. 1 = the job
// can run; 0 after the failing check's message.
int check_job();

// ---- Operations the driver runs ---------------------------------------------------------------

int proc_Manufactory();
int proc_Deviceid();
int proc_Erase();
int proc_EraseSectors();
int proc_DramTest(int bytes);
int proc_FastWrite();
int proc_Write();
int proc_Read();
int proc_ReadRegisters();
int proc_Terminal();
int proc_Echo_Test();
