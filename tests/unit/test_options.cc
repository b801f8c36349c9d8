// Option matching, processing of each kind, number reading, limits, sector lists, device names,
// command-line parsing and the usage listing.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "death_text.h"
#include "options.h"
#include "settings.h"

namespace {

// ---- Helpers ---------------------------------------------------------------------------------

using zt::literal;
using zt::restore_default_settings;

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { restore_default_settings(); }
    void TearDown() override { restore_default_settings(); }
};

// A mutable, null-terminated word vector, as the command line hands it over.
class Words {
public:
    Words(std::initializer_list<std::string> words) : store_(words) { link(); }
    explicit Words(std::vector<std::string> words) : store_(std::move(words)) { link(); }
    char **argv() { return ptrs_.data(); }
    int argc() const { return static_cast<int>(store_.size()); }

private:
    void link()
    {
        for (auto &w : store_)
            ptrs_.push_back(w.data());
        ptrs_.push_back(nullptr);
    }
    std::vector<std::string> store_;
    std::vector<char *> ptrs_;
};

int parse(Words words) { return parse_args(words.argc(), words.argv()); }

// stderr after a word that names nothing: the error, the suggestion of `name`, both again last.
std::string unknown_word(const std::string &word, const std::string &name = "")
{
    const std::string e = "\nLogview:Unknown option '" + word + "'";
    const std::string hint = "Did you mean \"" + name + "\"" +
                             (name.find(' ') == std::string::npos ? "" : " (two words)") + "?";
    return name.empty() ? e + "\n" + e + "\n" : e + "\n" + hint + "\n" + e + ". " + hint + "\n";
}

const std::string kUsage =
    "ZELK 0.1.0 Flash loader and boot monitor client for S3C4510B boards\n"
    " zelk [ options ] ttyname, where :\n"
    " ttyname is ttyS0 or ttyS1\n"
    "\n"
    "Option name         Option description\n"
    "terminal            ANSI/HEX Terminal\n"
    "hex                 Terminal HEX mode option\n"
    "echo                Terminal echo option\n"
    "manufactory         Read Flash manufactory code\n"
    "device id           Read Flash Device Id\n"
    "erase               Erase Flash\n"
    "erase sector        Erase Flash Sectors (0,1,2...)\n"
    "read                Read Flash\n"
    "bwrite              Byte Write Flash\n"
    "write               Block Write Flash\n"
    "registers           Read Registers\n"
    "size                Size for read/write\n"
    "offset              Flash offset for write\n"
    "write speed         Baudrate for flash write\n"
    "speed               Speed (default value 38400)\n"
    "dram test           DRAM test\n"
    "dram byte test      DRAM Byte read & write test\n"
    "dram half word test DRAM half word read & write test\n"
    "dram word test      DRAM word read & write test\n"
    "echo test           tty echo test\n"
    "block size          Read & Write block size\n"
    "hash                Hash\n"
    "input               Input file name for write operation\n"
    "output              Output file name for read operation\n"
    "protocol            Terminal protocol file name (defaul = zelk.txt)\n"
    "--version           Show Version\n"
    "--help              Help\n"
    "-h                  Help\n"
    "verify              Verify flash after block write\n"
    "ports               List serial ports\n"
    "report              Report file name (JSON) written when the run ends\n"
    "dram timeout        Seconds a DRAM test may go without\n"
    "                    progress (default 120, 0 = no limit)\n"
    "timestamps          Terminal: local time at the start of each line\n"
    "reconnect           Terminal: wait for a lost device and reopen it\n"
    "idle                Terminal without a console: seconds of silence after\n"
    "                    the input's end (default 2)\n"
    "format              Input file format: bin, hex, srec or elf\n"
    "                    (default: recognised by content)\n"
    "flash base          Address of flash offset 0 in a hex, srec or elf image\n"
    "erase needed        Erase the sectors the write's image touches\n"
    "plan                Print what the run would do; open no device\n"
    "read speed          Baudrate for flash read (default: write speed)\n"
    "wait                Seconds the first link test waits for the board (default 0 = 5 s)\n"
    "label               Label recorded in the report (a serial number)\n"
    "run id              Run id recorded in the report and progress\n"
    "progress            Progress file name (JSON lines, appended)\n"
    "retries             Sector rebuilds a block write may make after\n"
    "                    faults on the line (0-10, default 3)\n"
    "trace               Trace file: every byte on the serial line, timed\n"
    "resume              Resume the block write that this run report records\n"
    "pause               Milliseconds of pause after each paced command\n"
    "                    letter (0-3000, default 3000)";

// ---- Flags -----------------------------------------------------------------------------------

// Every command and switch row stores 1 into its own setting and into no other.
TEST_F(OptionsTest, FlagOptionsSetTheirSetting)
{
    struct Case {
        std::vector<std::string> words;
        int *setting;
    };
    const Case cases[] = {
        {{"terminal"}, &terminal_cmd},
        {{"hex"}, &terminal_hex_opt},
        {{"echo"}, &echo_opt},
        {{"manufactory"}, &manufactory_cmd},
        {{"device", "id"}, &deviceid_cmd},
        {{"erase"}, &erase_cmd},
        {{"read"}, &read_cmd},
        {{"bwrite"}, &write_cmd},
        {{"write"}, &fastwrite_cmd},
        {{"registers"}, &read_registers},
        {{"dram", "test"}, &dram_test_cmd},
        {{"dram", "byte", "test"}, &dram_byte_test_cmd},
        {{"dram", "half", "word", "test"}, &dram_halfword_test_cmd},
        {{"dram", "word", "test"}, &dram_word_test_cmd},
        {{"echo", "test"}, &echo_test_cmd},
        {{"hash"}, &hash},
        {{"verify"}, &verify_opt},
        {{"timestamps"}, &timestamps_opt},
        {{"reconnect"}, &reconnect_opt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.front());
        restore_default_settings();
        EXPECT_EQ(parse(Words(c.words)), 1);
        EXPECT_EQ(*c.setting, 1);
        int set = 0;
        for (const Case &other : cases)
            set += *other.setting;
        EXPECT_EQ(set, 1);
    }
}

// ---- Matching --------------------------------------------------------------------------------

TEST(OptionsFindOption, LongestWholeNameWins)
{
    struct Case {
        std::vector<std::string> words;
        const char *row;  // expected name, null for no match
        int consumed;
    };
    const Case cases[] = {
        {{"erase"}, "erase", 1},
        {{"erase", "sector", "3"}, "erase sector", 2},
        {{"erase", "sectors"}, "erase", 1},
        {{"echo"}, "echo", 1},
        {{"echo", "test"}, "echo test", 2},
        {{"echo", "testing"}, "echo", 1},
        {{"dram", "byte", "test"}, "dram byte test", 3},
        {{"dram", "test", "x"}, "dram test", 2},
        {{"dram", "half", "word", "test"}, "dram half word test", 4},
        {{"dram", "half", "word"}, nullptr, 0},  // input ends before the name does
        {{"write", "speed", "9600"}, "write speed", 2},
        {{"write", "speeds"}, "write", 1},
        {{"device", "id"}, "device id", 2},
        {{"device"}, nullptr, 0},
        {{"erase sector"}, nullptr, 0},  // a name never matches part of a word
        {{"eras"}, nullptr, 0},
        {{"erasex"}, nullptr, 0},
        {{"Erase"}, nullptr, 0},
        {{""}, nullptr, 0},
        {{"-h"}, "-h", 1},
        {{"--help"}, "--help", 1},
        {{"ports"}, "ports", 1},
        {{}, nullptr, 0},
    };
    for (const Case &c : cases) {
        Words w(c.words);
        SCOPED_TRACE(c.words.empty() ? "(none)" : c.words.front());
        int consumed = -1;
        const OPTION *opt = find_option(w.argv(), &consumed);
        if (c.row) {
            ASSERT_NE(opt, nullptr);
            EXPECT_STREQ(opt->name, c.row);
        } else {
            EXPECT_EQ(opt, nullptr);
        }
        EXPECT_EQ(consumed, c.consumed);
    }
}

TEST(OptionsFindOption, NullArgumentsGiveNullWithoutWriting)
{
    Words w{"erase"};
    int consumed = 42;
    EXPECT_EQ(find_option(nullptr, &consumed), nullptr);
    EXPECT_EQ(consumed, 42);
    EXPECT_EQ(find_option(w.argv(), nullptr), nullptr);
}

// ---- Number reading --------------------------------------------------------------------------

TEST(OptionsNumbers, PrefixesAndBase)
{
    struct Case {
        const char *word;
        bool hex;
        const char *digits;  // expected rest after blanks and prefix
        int base;
    };
    const Case cases[] = {
        {"123", false, "123", 10},    {"123", true, "123", 16},  {"x1f", false, "1f", 16},
        {"X1f", false, "1f", 16},     {"0x1f", false, "1f", 16}, {"0X1f", true, "1f", 16},
        {" \t0x10", false, "10", 16}, {"0", false, "0", 10},     {"0x", false, "", 16},
        {"-5", false, "-5", 10},      {"x-5", false, "-5", 16},  {"\n5", false, "\n5", 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        int base = 0;
        EXPECT_STREQ(number_digits(c.word, c.hex, &base), c.digits);
        EXPECT_EQ(base, c.base);
    }
}

// A number word is all digits of its base and fits 32 bits unsigned; anything else is refused
// rather than cut, saturated or wrapped.
TEST(OptionsNumbers, UnsignedConversionIsWholeAnd32BitsWide)
{
    struct Case {
        const char *digits;
        int base;
        bool ok;
        U32 value;
    };
    const Case cases[] = {
        {"2097152", 10, true, 2097152u},
        {"ff", 16, true, 0xFFu},
        {"4294967295", 10, true, 0xFFFFFFFFu},
        {" +7", 10, true, 7u},
        {"0", 10, true, 0u},
        {"115200xyz", 10, false, 0u},  // characters after the digits
        {"10k", 10, false, 0u},
        {"1e3", 10, false, 0u},
        {"7 ", 10, false, 0u},
        {"4294967296", 10, false, 0u},  // beyond 32 bits
        {"100000000", 16, false, 0u},
        {"99999999999999999999999", 10, false, 0u},
        {"-1", 10, false, 0u},  // an unsigned setting holds no negative number
        {" -2", 10, false, 0u},
        {"abc", 10, false, 0u},
        {"", 16, false, 0u},
        {"ZZ", 16, false, 0u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.digits);
        U32 v = 0;
        EXPECT_EQ(read_u32(c.digits, c.base, &v), c.ok);
        EXPECT_EQ(v, c.value);
    }
}

TEST(OptionsNumbers, SignedConversionIsWholeAndWithinInt)
{
    struct Case {
        const char *digits;
        int base;
        bool ok;
        int value;
    };
    const Case cases[] = {
        {"38400", 10, true, 38400},      {"-17", 10, true, -17},
        {"7fffffff", 16, true, INT_MAX}, {"-2147483648", 10, true, INT_MIN},
        {"2147483648", 10, false, 0},    {"99999999999999999999999", 10, false, 0},
        {"-2147483649", 10, false, 0},   {"12junk", 10, false, 0},
        {"junk", 10, false, 0},          {"-", 10, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.digits);
        int v = 0;
        EXPECT_EQ(read_int(c.digits, c.base, &v), c.ok);
        EXPECT_EQ(v, c.value);
    }
}

// ---- Processing of each kind -----------------------------------------------------------------

U32 t_u32;
int t_int;
char t_text[8];

OPTION row(U32 type, void *addr, int value = 0, int lower = 0, int upper = 0)
{
    return OPTION{"t", type, addr, "test row", value, lower, upper};
}

TEST(OptionsProcess, NumericKinds)
{
    struct Case {
        const char *label;
        OPTION opt;
        std::vector<std::string> words;
        int consumed;
        U32 *u32;  // which target to compare (exactly one is non-null)
        int *i32;
        long long expected;
    };
    const Case cases[] = {
        {"u32 limits ignored",
         row(OPT_U32 | OPT_LOWER | OPT_UPPER, &t_u32, 0, 0, 10),
         {"0x300000"},
         1,
         &t_u32,
         nullptr,
         0x300000},
        {"u32 noarg", row(OPT_U32 | OPT_NOARG, &t_u32, -1), {}, 0, &t_u32, nullptr, 0xFFFFFFFF},
        {"int blanks", row(OPT_INT, &t_int), {" \t-42"}, 1, nullptr, &t_int, -42},
        {"int noarg", row(OPT_INT | OPT_NOARG, &t_int, 7), {"9"}, 0, nullptr, &t_int, 7},
        {"int at lower limit",
         row(OPT_INT | OPT_LOWER | OPT_UPPER, &t_int, 0, 1, 1024),
         {"1"},
         1,
         nullptr,
         &t_int,
         1},
        {"int at upper limit",
         row(OPT_INT | OPT_LOWER | OPT_UPPER, &t_int, 0, 1, 1024),
         {"1024"},
         1,
         nullptr,
         &t_int,
         1024},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        t_u32 = 0;
        t_int = 99;
        Words w(c.words);
        int consumed = -1;
        EXPECT_EQ(process_option(&c.opt, w.argv(), &consumed), 1);
        EXPECT_EQ(consumed, c.consumed);
        if (c.u32) {
            EXPECT_EQ(*c.u32, static_cast<U32>(c.expected));
        }
        if (c.i32) {
            EXPECT_EQ(*c.i32, static_cast<int>(c.expected));
        }
    }
}

TEST(OptionsProcess, StringFillsItsBuffer)
{
    struct Case {
        int upper_limit;
        const char *word;
    };
    const Case cases[] = {{8, "abc"}, {8, "abcdefg"}, {8, ""}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        std::strcpy(t_text, "old");
        const OPTION opt = row(OPT_STRING | OPT_NOARG, t_text, 0, 0, c.upper_limit);
        Words w{c.word, "next"};
        int consumed = -1;
        EXPECT_EQ(process_option(&opt, w.argv(), &consumed), 1);
        EXPECT_EQ(consumed, 1);
        EXPECT_STREQ(t_text, c.word);
    }
}

// A name cut short would name another file: a word longer than the buffer is refused.
TEST(OptionsDeathTest, StringTooLongForItsBufferIsRefused)
{
    for (int upper : {8, 1, 0}) {
        SCOPED_TRACE(upper);
        const OPTION opt = row(OPT_STRING, t_text, 0, 0, upper);
        Words w{"abcdefghij"};
        int consumed = 0;
        const std::string room = std::to_string(upper > 1 ? upper - 1 : 0);
        EXPECT_EXIT(
            process_option(&opt, w.argv(), &consumed), ::testing::ExitedWithCode(1),
            literal("\nOption [t] error:Name too long (more than " + room + " characters)\n"));
    }
}

char **seen_argv;
int parser_result;
int recording_parser(char **argv, int *arg_proc)
{
    seen_argv = argv;
    *arg_proc = 2;
    return parser_result;
}

TEST(OptionsProcess, ParserFunctionDecidesResult)
{
    const OPTION opt = row(OPT_FUNC, reinterpret_cast<void *>(&recording_parser));
    for (int result : {1, 5, 0}) {
        Words w{"a", "b"};
        parser_result = result;
        int consumed = -1;
        EXPECT_EQ(process_option(&opt, w.argv(), &consumed), result ? 1 : 0);
        EXPECT_EQ(seen_argv, w.argv());
        EXPECT_EQ(consumed, 2);
    }
}

TEST(OptionsProcess, UnknownKindAndNullPointers)
{
    t_int = 3;
    const OPTION odd = row(9, &t_int);
    Words w{"5"};
    int consumed = -1;
    EXPECT_EQ(process_option(&odd, w.argv(), &consumed), 1);
    EXPECT_EQ(consumed, 0);
    EXPECT_EQ(t_int, 3);

    const OPTION opt = row(OPT_INT, &t_int);
    EXPECT_EQ(process_option(nullptr, w.argv(), &consumed), 0);
    EXPECT_EQ(process_option(&opt, nullptr, &consumed), 0);
    EXPECT_EQ(process_option(&opt, w.argv(), nullptr), 0);
}

// Every refused argument ends the run with status 1 and one framed message on stderr.
TEST(OptionsDeathTest, RefusedArgumentsEndTheRun)
{
    struct Case {
        std::vector<std::string> words;
        std::string message;
    };
    const Case cases[] = {
        {{"write", "speed"}, "\nOption [write speed] error:Option requery parameter\n"},
        {{"offset"}, "\nOption [offset] error:Option requery parameter\n"},
        {{"speed"}, "\nOption [speed] error:Option requery parameter.\n"},
        {{"input"}, "\nOption [input] error:Option requery parameter.\n"},
        {{"erase", "sector"}, "\nOption [erase sector] error:Option requery parameter.\n"},
        {{"size", "0"}, "\nOption [size] error:must be >= 1 and <= 2097152\n"},
        {{"size", "2097153"}, "\nOption [size] error:must be >= 1 and <= 2097152\n"},
        {{"size", "-5"}, "\nOption [size] error:must be >= 1 and <= 2097152\n"},
        {{"block", "size", "1025"}, "\nOption [block size] error:must be >= 1 and <= 1024\n"},
        {{"idle", "-1"}, "\nOption [idle] error:must be >= 0 and <= 3600\n"},
        {{"idle", "3601"}, "\nOption [idle] error:must be >= 0 and <= 3600\n"},
        {{"retries", "11"}, "\nOption [retries] error:must be >= 0 and <= 10\n"},
        {{"retries", "-1"}, "\nOption [retries] error:must be >= 0 and <= 10\n"},
        {{"pause", "3001"}, "\nOption [pause] error:must be >= 0 and <= 3000\n"},
        {{"idle"}, "\nOption [idle] error:Option requery parameter.\n"},
        {{"speed", "abc"}, "\nOption [speed] error:Invalid argument (must be number) 'abc'\n"},
        {{"speed", "0xZZ"}, "\nOption [speed] error:Invalid argument (must be number) 'ZZ'\n"},
        // A number word is all digits, and a value its setting cannot hold is no value of it.
        {{"size", "10k"}, "\nOption [size] error:Invalid argument (must be number) '10k'\n"},
        {{"size", "1e3"}, "\nOption [size] error:Invalid argument (must be number) '1e3'\n"},
        {{"speed", "115200xyz"},
         "\nOption [speed] error:Invalid argument (must be number) '115200xyz'\n"},
        {{"speed", "4294967296"},
         "\nOption [speed] error:Invalid argument (must be number) '4294967296'\n"},
        {{"offset", "0x1FFFFFFFF"},
         "\nOption [offset] error:Invalid argument (must be number) '1FFFFFFFF'\n"},
        {{"offset", "-1"}, "\nOption [offset] error:Invalid argument (must be number) '-1'\n"},
        {{"write", "speed", "115200 "},
         "\nOption [write speed] error:Invalid argument (must be number) '115200 '\n"},
        {{"erase", "sector", "1,40"}, "\nSector numbers above 31 do not exist: 40\n"},
        {{"erase", "sector", "40,1,032,64"},
         "\nSector numbers above 31 do not exist: 40, 032, 64\n"},
        {{"erase", "sector", "99999999999999999999"},
         "\nSector numbers above 31 do not exist: 99999999999999999999\n"},
        {{"offset", " zz"}, "\nOption [offset] error:Invalid argument (must be number) 'zz'\n"},
        {{"erase", "sector", "1;2"}, "\nOption [erase sector] error:Invalid sector list '1;2'\n"},
        {{"erase", "sector", "0-3"}, "\nOption [erase sector] error:Invalid sector list '0-3'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.front());
        EXPECT_EXIT(parse(Words(c.words)), ::testing::ExitedWithCode(1), literal(c.message));
    }
}

TEST(OptionsDeathTest, LimitMessagesFollowTheFlags)
{
    struct Case {
        U32 flags;
        const char *word;
        const char *message;
    };
    const Case cases[] = {
        {OPT_UPPER, "11", "\nOption [t] error:must be <= 10\n"},
        {OPT_LOWER, "1", "\nOption [t] error:must be >= 5\n"},
        {OPT_LOWER | OPT_UPPER, "4", "\nOption [t] error:must be >= 5 and <= 10\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const OPTION opt = row(OPT_INT | c.flags, &t_int, 0, 5, 10);
        Words w{c.word};
        int consumed = 0;
        EXPECT_EXIT(process_option(&opt, w.argv(), &consumed), ::testing::ExitedWithCode(1),
                    literal(c.message));
    }
}

TEST(OptionsDeathTest, InternalFailures)
{
    Words none{};
    int consumed = 0;
    const OPTION u32 = row(OPT_U32, &t_u32);
    EXPECT_EXIT(process_option(&u32, none.argv(), &consumed), ::testing::ExitedWithCode(1),
                literal("\nOption [t] error:Option requery parameter\n"));
    const OPTION text = row(OPT_STRING, t_text, 0, 0, sizeof t_text);
    EXPECT_EXIT(process_option(&text, none.argv(), &consumed), ::testing::ExitedWithCode(1),
                literal("\nOption [t] error:Option requery parameter.\n"));
    const OPTION func = row(OPT_FUNC, nullptr);
    EXPECT_EXIT(process_option(&func, none.argv(), &consumed), ::testing::ExitedWithCode(1),
                "Internal error\n");
}

TEST(OptionsDeathTest, VersionAndHelpEndWithStatusZero)
{
    const std::string version = literal("Version ZELK 0.1.0\n");
    EXPECT_EXIT(parse(Words{"--version"}), ::testing::ExitedWithCode(0), version);
    EXPECT_EXIT(parse(Words{"erase", "--version", "bogus", "size", "0"}),
                ::testing::ExitedWithCode(0), version);
    EXPECT_EXIT(parse(Words{"--help"}), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(parse(Words{"-h"}), ::testing::ExitedWithCode(0), "");
}

// ---- Error messages --------------------------------------------------------------------------

TEST(OptionsError, PrefixFramingAndCut)
{
    const OPTION named = row(OPT_INT, &t_int);
    const OPTION unnamed{nullptr, OPT_INT, &t_int, nullptr, 0, 0, 0};

    testing::internal::CaptureStderr();
    option_error(&named, "value %d", 5);
    option_error(&unnamed, "x");
    option_error(nullptr, "Unknown option '%s'", "foo");
    errno = ENOENT;
    option_error(nullptr, "stat: %m");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nOption [t] error:value 5\n\nLogview:x\n\nLogview:Unknown option 'foo'\n"
              "\nLogview:stat: No such file or directory\n");

    const std::string long_text(600, 'q');
    testing::internal::CaptureStderr();
    option_error(nullptr, "%s", long_text.c_str());
    const std::string cut = "Logview:" + long_text;
    // GCC 12 at -O3: false positive inside std::string (clang knows no such warning).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\n" + cut.substr(0, 511) + "\n");
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

// ---- Sector lists ----------------------------------------------------------------------------

// Numbers 0 to 31 fill the mask; a number above 31 refuses the run (see RefusedArgumentsEndTheRun).
TEST_F(OptionsTest, SectorListsFillTheMask)
{
    struct Case {
        const char *list;
        U32 mask;
    };
    const Case cases[] = {
        {"0,1,5", 0x23},        {"1, 2", 0x6}, {"2,3", 0xC}, {"31", 0x80000000u},
        {"007", 0x80},          {",, ,\t", 0}, {"", 0},      {"0 31", 0x80000001u},
        {"031,0", 0x80000001u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.list);
        erase_sectors_cmd = 0xFFFFFFFF;  // a new list replaces the old one
        Words w{c.list, "more"};
        int consumed = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(parseSectors(w.argv(), &consumed), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(consumed, 1);
        EXPECT_EQ(erase_sectors_cmd, c.mask);
    }
    int consumed = 0;
    Words w{"1"};
    EXPECT_EQ(parseSectors(nullptr, &consumed), 0);
    EXPECT_EQ(parseSectors(w.argv(), nullptr), 0);
}

TEST_F(OptionsTest, SectorListOnTheCommandLine)
{
    EXPECT_EQ(parse(Words{"erase", "sector", "2,3"}), 1);
    EXPECT_EQ(erase_sectors_cmd, 0xCu);
    EXPECT_EQ(erase_cmd, 0);

    EXPECT_EQ(parse(Words{"erase", "sector", "3", "erase", "sector", "4"}), 1);
    EXPECT_EQ(erase_sectors_cmd, 0x10u);

    EXPECT_EQ(parse(Words{"erase"}), 1);
    EXPECT_EQ(erase_cmd, 1);

    // The list is one word: "2" is left over and taken as a device name.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(Words{"erase", "sector", "1,", "2"}), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), unknown_word("2"));
    EXPECT_EQ(erase_sectors_cmd, 0x2u);
}

// ---- Device names ----------------------------------------------------------------------------

TEST_F(OptionsTest, DeviceNames)
{
    struct Case {
        std::string word;
        int quiet;
        int result;
        const char *devnam_after;  // null: unchanged
        std::string message;
    };
    // "/dev/" + 4089 characters = 4094, the most devnam holds; short components keep stat()
    // at "no such file" rather than "name too long".
    std::string fits;
    while (fits.size() < 4089)
        fits += fits.size() + 1 < 4089 ? "x/" : "x";
    const Case cases[] = {
        {"null", 0, 1, "/dev/null", ""},
        {"/dev/null", 0, 1, "/dev/null", ""},
        {"/dev/zero", 1, 1, "/dev/zero", ""},
        {"zelk-no-such-device", 0, 0, nullptr, ""},
        {"/dev/zelk-no-such-device", 0, 0, nullptr, ""},
        {"", 0, 0, nullptr, ""},
        {"null/x", 0, -1, nullptr, "\nLogview:stat() call error  /dev/null/x: Not a directory\n"},
        {"null/x", 1, 0, nullptr, ""},
        {fits, 0, 0, nullptr, ""},
        {"/dev/" + fits, 0, 0, nullptr, ""},
        {fits + "a", 0, -1, nullptr,
         "\nLogview:Device name too long (more than 4094 characters)\n"},
        {"/dev/" + fits + "a", 0, -1, nullptr,
         "\nLogview:Device name too long (more than 4094 characters)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word.substr(0, 30));
        std::strcpy(devnam, "/dev/ttyS0");
        testing::internal::CaptureStderr();
        EXPECT_EQ(setdevname(c.word.c_str(), c.quiet), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_STREQ(devnam, c.devnam_after ? c.devnam_after : "/dev/ttyS0");
    }
}

// ---- Command line ----------------------------------------------------------------------------

TEST_F(OptionsTest, NoWordsChangeNothing)
{
    Words none{};
    EXPECT_EQ(parse_args(0, none.argv()), 1);
    EXPECT_EQ(parse_args(0, nullptr), 0);
    EXPECT_STREQ(devnam, "/dev/ttyS0");
    EXPECT_EQ(inspeed, 38400);
}

TEST_F(OptionsTest, BlockWriteRequest)
{
    EXPECT_EQ(parse(Words{"write", "write", "speed", "115200", "input", "image.bin", "null"}), 1);
    EXPECT_EQ(fastwrite_cmd, 1);
    EXPECT_EQ(write_speed, 115200);
    EXPECT_STREQ(inpfilenam, "image.bin");
    EXPECT_STREQ(devnam, "/dev/null");
    EXPECT_EQ(write_cmd, 0);
}

TEST_F(OptionsTest, ValuesStored)
{
    struct Case {
        std::vector<std::string> words;
        int *setting;
        int expected;
    };
    const Case cases[] = {
        {{"size", "0x200"}, &file_size, 512},
        {{"size", "x200"}, &file_size, 512},
        {{"size", "2097152"}, &file_size, 2097152},
        {{"size", "1"}, &file_size, 1},
        {{"block", "size", "1024"}, &block_size, 1024},
        {{"speed", "-9600"}, &inspeed, -9600},  // no limits on "speed"
        {{"speed", "9600", "speed", "19200"}, &inspeed, 19200},
        {{"offset", "0x300000"}, &write_offset, 3145728},
        {{"offset", "0xFFFFFFFF"}, &write_offset, -1},
        {{"write", "speed", "0xFFFFFFFF"}, &write_speed, -1},
        {{"idle", "0"}, &idle_seconds, 0},
        {{"idle", "3600"}, &idle_seconds, 3600},
        {{"retries", "0"}, &write_retries, 0},
        {{"retries", "10"}, &write_retries, 10},
        {{"pause", "0"}, &pause_ms, 0},
        {{"pause", "3000"}, &pause_ms, 3000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.front() + " " + c.words.back());
        restore_default_settings();
        EXPECT_EQ(parse(Words(c.words)), 1);
        EXPECT_EQ(*c.setting, c.expected);
    }
}

// A file name cut short would name another file: one too long for its buffer is refused, and
// one that fits exactly is kept whole.
TEST_F(OptionsTest, FileNamesTooLongAreRefused)
{
    const std::string fits(4094, 'n');
    EXPECT_EQ(parse(Words{"input", fits, "output", "out.bin", "protocol", "log.txt"}), 1);
    EXPECT_EQ(std::string(inpfilenam), fits);
    EXPECT_STREQ(outfilenam, "out.bin");
    EXPECT_STREQ(protfilenam, "log.txt");
    EXPECT_EXIT(parse(Words{"report", fits + "n"}), ::testing::ExitedWithCode(1),
                literal("\nOption [report] error:Name too long (more than 4094 characters)\n"));
}

TEST_F(OptionsTest, DeviceAnywhereNamedOnce)
{
    EXPECT_EQ(parse(Words{"read", "/dev/null"}), 1);
    EXPECT_STREQ(devnam, "/dev/null");
    EXPECT_EQ(read_cmd, 1);
    // The same device twice, however written, is one device.
    restore_default_settings();
    EXPECT_EQ(parse(Words{"null", "read", "/dev/null"}), 1);
    EXPECT_STREQ(devnam, "/dev/null");
}

// Two different devices: one of them is a slip of the fingers, and the run would flash the wrong
// board. Refused before anything is opened.
TEST_F(OptionsTest, TwoDevicesAreRefused)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(Words{"zero", "read", "/dev/null"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nTwo devices named: [/dev/zero] and [/dev/null]\n");
}

TEST_F(OptionsTest, UnknownWordPrintsUsage)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(Words{"read", "foo", "--version"}), 0);  // reported before --version
    EXPECT_EQ(testing::internal::GetCapturedStderr(), unknown_word("foo"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
    EXPECT_EQ(read_cmd, 1);
}

// A word within two edits of an option's name (or of its first word) names that option after the
// report; the usage listing is unchanged.
TEST_F(OptionsTest, MistypedWordNamesTheNearestOption)
{
    struct Case {
        const char *word;
        const char *suggestion;  // "" when none
    };
    const Case cases[] = {
        {"erse", "erase"},  {"eraes", "erase"},  {"regsiters", "registers"}, {"devce", "device id"},
        {"wirte", "write"}, {"verfy", "verify"}, {"--hepl", "--help"},       {"foo", ""},
        {"xy", ""},         {"potato", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        restore_default_settings();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse(Words{c.word}), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), unknown_word(c.word, c.suggestion));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
    }
}

TEST_F(OptionsTest, DeviceStatusErrorStopsWithoutUsage)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse(Words{"null/x", "erase"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nLogview:stat() call error  /dev/null/x: Not a directory\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(erase_cmd, 0);
}

// A device word naming nothing is a missing device, reported before any later word and without
// the listing; other words naming nothing stay unknown options.
TEST_F(OptionsTest, MissingDeviceWordIsNotAnUnknownOption)
{
    for (auto [word, path] : {std::pair{"ttyzelk-missing", "/dev/ttyzelk-missing"},
                              std::pair{"/dev/zelk-missing", "/dev/zelk-missing"}}) {
        SCOPED_TRACE(word);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse(Words{"read", word, "--version"}), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind(std::string("\nDevice [") + path + "] not found; ", 0), 0u) << err;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_STREQ(devnam, "/dev/ttyS0");
    }
}

// "verify" compares what the block write wrote; alone or with only the byte write it is refused.
TEST_F(OptionsTest, VerifyNeedsTheBlockWrite)
{
    struct Case {
        std::vector<std::string> words;
        int agreed;
    };
    const Case cases[] = {
        {{"verify"}, 0},
        {{"bwrite", "verify"}, 0},
        {{"verify", "read", "size", "10"}, 0},
        {{"verify", "write"}, 1},
        {{"bwrite", "write", "verify"}, 1},
        {{"write"}, 1},
        {{"read", "size", "10"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.front() + " ...");
        restore_default_settings();
        ASSERT_EQ(parse(Words(c.words)), 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_option_combinations(), c.agreed);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.agreed ? ""
                           : "\nOption [verify] error:only the block write \"write\" can be "
                             "verified\n");
    }
}

// "read speed" is two words: without "read" it would speed up nothing (and the words "read speed
// 115200" once meant the read at line speed 115200), so it is refused.
TEST_F(OptionsTest, ReadSpeedNeedsTheRead)
{
    struct Case {
        std::vector<std::string> words;
        int agreed;
    };
    const Case cases[] = {
        {{"read", "speed", "115200"}, 0},
        {{"write", "read", "speed", "115200"}, 0},
        {{"read", "read", "speed", "115200"}, 1},
        {{"read", "speed", "115200", "read"}, 1},
        {{"read", "size", "10", "speed", "115200"}, 1},
        {{"read", "write", "speed", "115200"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.front() + " ...");
        restore_default_settings();
        ASSERT_EQ(parse(Words(c.words)), 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_option_combinations(), c.agreed);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.agreed ? ""
                           : "\nOption [read speed] error:sets the speed of the flash read "
                             "\"read\", which is not selected (\"speed\" sets the line speed)\n");
    }
}

// ---- Usage -----------------------------------------------------------------------------------

TEST(OptionsUsage, FullListing)
{
    testing::internal::CaptureStdout();
    usage();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage);
}

}  // namespace
