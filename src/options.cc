// zelk options: the global settings with their defaults, and the option table that the options
// file and the command line apply to them.
#include "options.h"

#include <iterator>

// ---- Global settings -------------------------------------------------------------------------

char devnam[NAME_BUF_SIZE] = "/dev/ttyS0";
char reportfilenam[NAME_BUF_SIZE] = "";
char inpfilenam[NAME_BUF_SIZE] = "zelk.bin";
char outfilenam[NAME_BUF_SIZE] = "zelk.out";
char protfilenam[NAME_BUF_SIZE] = "";
char tracefilenam[NAME_BUF_SIZE] = "";
int inspeed = 38400;

int terminal_cmd = 0, echo_test_cmd = 0;
int manufactory_cmd = 0, deviceid_cmd = 0;
int erase_cmd = 0;
U32 erase_sectors_cmd = 0;
int dram_test_cmd = 0, dram_byte_test_cmd = 0, dram_halfword_test_cmd = 0, dram_word_test_cmd = 0;
int fastwrite_cmd = 0, write_cmd = 0, read_cmd = 0, read_registers = 0;

int file_size = 0, block_size = 0, hash = 0;
int verify_opt = 0;
int write_offset = 0, write_speed = 0;
int read_speed = 0;
int terminal_hex_opt = 0, echo_opt = 0;
int dram_timeout = 120;
int timestamps_opt = 0, reconnect_opt = 0;
int idle_seconds = 2;
int image_format_opt = -1;
U32 flash_base = 0;
int erase_needed_opt = 0, plan_opt = 0;
int ready_wait = 0;
char label_text[LABEL_BUF_SIZE] = "";
char run_id_text[LABEL_BUF_SIZE] = "";
char progressfilenam[NAME_BUF_SIZE] = "";
int write_retries = 3;
char resumefilenam[NAME_BUF_SIZE] = "";
int pause_ms = 3000;

// ---- Option table ----------------------------------------------------------------------------

namespace {

constexpr U32 OPT_FLAG = OPT_INT | OPT_NOARG;                   // command or switch: stores 1
constexpr U32 OPT_INT_RANGE = OPT_INT | OPT_LOWER | OPT_UPPER;  // number within limits
static_assert(OPT_FLAG == 0x100005 && OPT_INT_RANGE == 0x30005);

constexpr int BLOCK_LIMIT = 1024;
constexpr int DRAM_TIMEOUT_LIMIT = 86400;  // a day: longer is no test
constexpr int IDLE_LIMIT = 3600;           // an hour of silence
constexpr int READY_WAIT_LIMIT = 86400;    // a day: a station waits for its next board
constexpr int RETRIES_LIMIT = 10;          // sector rebuilds of one write
constexpr int PAUSE_LIMIT = 3000;          // the monitor's own need: never longer than it asks
}  // namespace

// Table order is the usage listing order and decides ties in matching. Parser functions sit in
// the untyped `addr`; their casts are address constants, so the table is initialised statically.
const OPTION general_options[] = {
    {"terminal", OPT_FLAG, &terminal_cmd, "ANSI/HEX Terminal", 1, 0, 0},
    {"hex", OPT_FLAG, &terminal_hex_opt, "Terminal HEX mode option", 1, 0, 0},
    {"echo", OPT_FLAG, &echo_opt, "Terminal echo option", 1, 0, 0},
    {"manufactory", OPT_FLAG, &manufactory_cmd, "Read Flash manufactory code", 1, 0, 0},
    {"device id", OPT_FLAG, &deviceid_cmd, "Read Flash Device Id", 1, 0, 0},
    {"erase", OPT_FLAG, &erase_cmd, "Erase Flash", 1, 0, 0},
    {"erase sector", OPT_FUNC, reinterpret_cast<void *>(&parseSectors),
     "Erase Flash Sectors (0,1,2...)", 0, 0, 0},
    {"read", OPT_FLAG, &read_cmd, "Read Flash", 1, 0, 0},
    {"bwrite", OPT_FLAG, &write_cmd, "Byte Write Flash", 1, 0, 0},
    {"write", OPT_FLAG, &fastwrite_cmd, "Block Write Flash", 1, 0, 0},
    {"registers", OPT_FLAG, &read_registers, "Read Registers", 1, 0, 0},
    {"size", OPT_INT_RANGE, &file_size, "Size for read/write", 0, 1, FLASH_BYTES},
    {"offset", OPT_U32, &write_offset, "Flash offset for write", 0, 0, 0},
    {"write speed", OPT_U32, &write_speed, "Baudrate for flash write", 0, 0, 0},
    {"speed", OPT_INT, &inspeed, "Speed (default value 38400)", 0, 0, 0},
    {"dram test", OPT_FLAG, &dram_test_cmd, "DRAM test", 1, 0, 0},
    {"dram byte test", OPT_FLAG, &dram_byte_test_cmd, "DRAM Byte read & write test", 1, 0, 0},
    {"dram half word test", OPT_FLAG, &dram_halfword_test_cmd, "DRAM half word read & write test",
     1, 0, 0},
    {"dram word test", OPT_FLAG, &dram_word_test_cmd, "DRAM word read & write test", 1, 0, 0},
    {"echo test", OPT_FLAG, &echo_test_cmd, "tty echo test", 1, 0, 0},
    {"block size", OPT_INT_RANGE, &block_size, "Read & Write block size", 0, 1, BLOCK_LIMIT},
    {"hash", OPT_FLAG, &hash, "Hash", 1, 0, 0},
    {"input", OPT_STRING, inpfilenam, "Input file name for write operation", 0, 0, NAME_BUF_SIZE},
    {"output", OPT_STRING, outfilenam, "Output file name for read operation", 0, 0, NAME_BUF_SIZE},
    {"protocol", OPT_STRING, protfilenam, "Terminal protocol file name (defaul = zelk.txt)", 0, 0,
     NAME_BUF_SIZE},
    {"--version", OPT_FUNC, reinterpret_cast<void *>(&showversion), "Show Version", 0, 0, 0},
    {"--help", OPT_FUNC, reinterpret_cast<void *>(&showhelp), "Help", 0, 0, 0},
    {"-h", OPT_FUNC, reinterpret_cast<void *>(&showhelp), "Help", 0, 0, 0},
    {"verify", OPT_FLAG, &verify_opt, "Verify flash after block write", 1, 0, 0},
    {"ports", OPT_FUNC, reinterpret_cast<void *>(&showports), "List serial ports", 0, 0, 0},
    {"report", OPT_STRING, reportfilenam, "Report file name (JSON) written when the run ends", 0, 0,
     NAME_BUF_SIZE},
    {"dram timeout", OPT_INT_RANGE, &dram_timeout,
     "Seconds a DRAM test may go without\nprogress (default 120, 0 = no limit)", 0, 0,
     DRAM_TIMEOUT_LIMIT},
    {"timestamps", OPT_FLAG, &timestamps_opt, "Terminal: local time at the start of each line", 1,
     0, 0},
    {"reconnect", OPT_FLAG, &reconnect_opt, "Terminal: wait for a lost device and reopen it", 1, 0,
     0},
    {"idle", OPT_INT_RANGE, &idle_seconds,
     "Terminal without a console: seconds of silence after\nthe input's end (default 2)", 0, 0,
     IDLE_LIMIT},
    {"format", OPT_FUNC, reinterpret_cast<void *>(&parseFormat),
     "Input file format: bin, hex, srec or elf\n(default: recognised by content)", 0, 0, 0},
    {"flash base", OPT_U32, &flash_base, "Address of flash offset 0 in a hex, srec or elf image", 0,
     0, 0},
    {"erase needed", OPT_FLAG, &erase_needed_opt, "Erase the sectors the write's image touches", 1,
     0, 0},
    {"plan", OPT_FLAG, &plan_opt, "Print what the run would do; open no device", 1, 0, 0},
    {"read speed", OPT_U32, &read_speed, "Baudrate for flash read (default: write speed)", 0, 0, 0},
    {"wait", OPT_INT_RANGE, &ready_wait,
     "Seconds the first link test waits for the board (default 0 = 5 s)", 0, 0, READY_WAIT_LIMIT},
    {"label", OPT_STRING, label_text, "Label recorded in the report (a serial number)", 0, 0,
     LABEL_BUF_SIZE},
    {"run id", OPT_STRING, run_id_text, "Run id recorded in the report and progress", 0, 0,
     LABEL_BUF_SIZE},
    {"progress", OPT_STRING, progressfilenam, "Progress file name (JSON lines, appended)", 0, 0,
     NAME_BUF_SIZE},
    {"retries", OPT_INT_RANGE, &write_retries,
     "Sector rebuilds a block write may make after\nfaults on the line (0-10, default 3)", 0, 0,
     RETRIES_LIMIT},
    {"trace", OPT_STRING, tracefilenam, "Trace file: every byte on the serial line, timed", 0, 0,
     NAME_BUF_SIZE},
    {"resume", OPT_STRING, resumefilenam, "Resume the block write that this run report records", 0,
     0, NAME_BUF_SIZE},
    {"pause", OPT_INT_RANGE, &pause_ms,
     "Milliseconds of pause after each paced command\nletter (0-3000, default 3000)", 0, 0,
     PAUSE_LIMIT},
    {nullptr, 0, nullptr, nullptr, 0, 0, 0},
};
static_assert(std::size(general_options) == 49, "48 options and the terminator");

const OPTION *option_row(const void *addr)
{
    for (const OPTION *opt = general_options; opt->name; ++opt)
        if (opt->addr == addr)
            return opt;
    return nullptr;
}
