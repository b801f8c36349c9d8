// The options file: line assembly (comments, blanks and tabs, the 511-character cut), the word
// limit, physical line numbers in messages, and files that cannot be read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>

#include "death_text.h"
#include "options.h"
#include "settings.h"

namespace {

using zt::literal;
using zt::restore_default_settings;

std::string words(int count)
{
    std::string line = "speed 4800";
    for (int i = 2; i < count; ++i)
        line += " w" + std::to_string(i);
    return line;
}

class OptionsFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        restore_default_settings();
        char tmpl[] = "/tmp/zelk-options-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/zelk.cfg";
    }
    void TearDown() override
    {
        restore_default_settings();
        std::filesystem::remove_all(dir_);
    }
    void write(const std::string &content)
    {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
    }
    // Expected text with "{file}" standing for the file's path.
    // "{error}" stands for the head of a parse error, "{file}" for the path.
    std::string with_path(std::string text) const
    {
        for (std::size_t at; (at = text.find("{error}")) != std::string::npos;)
            text.replace(at, 7, "\nLogview:File [{file}] parse error. Line ");
        for (std::size_t at; (at = text.find("{file}")) != std::string::npos;)
            text.replace(at, 6, path_);
        return text;
    }

    std::string dir_, path_;
};

TEST_F(OptionsFileTest, LinesApplied)
{
    struct Case {
        const char *label;
        std::string content;
        std::string errors;  // expected stderr, "{file}" for the path
        std::function<void()> check;
    };
    const std::string cut_line = "input " + std::string(594, 'a');       // 600 characters
    const std::string exact_line = "input " + std::string(505, 'b');     // 511 characters
    const std::string longest_line = "input " + std::string(4090, 'c');  // 4096 characters
    const Case cases[] = {
        {"comment after option", "speed 115200 # fast line\n", "",
         [] { EXPECT_EQ(inspeed, 115200); }},
        {"comment line", "# speed 9600\n", "", [] { EXPECT_EQ(inspeed, 38400); }},
        {"comment inside a word", "speed 12#34\n", "", [] { EXPECT_EQ(inspeed, 12); }},
        // Words left after an option and its arguments: the line is not what its writer meant,
        // so it is reported and not applied ("erase sectors 3" must not erase the chip).
        {"one option per line", "terminal hex\n", "{error}[1] at word 'hex'\n",
         [] {
             EXPECT_EQ(terminal_cmd, 0);
             EXPECT_EQ(terminal_hex_opt, 0);
         }},
        {"stray words after a command", "erase sectors 3\nread\n",
         "{error}[1] at word 'sectors'\nDid you mean \"erase sector\" (two words)?\n",
         [] {
             EXPECT_EQ(erase_cmd, 0);
             EXPECT_EQ(read_cmd, 1);
         }},
        {"stray words after a number", "write sped 115200\nspeed 9600 9600\n",
         "{error}[1] at word 'sped'\nDid you mean \"write speed\" (two words)?\n"
         "{error}[2] at word '9600'\n",
         [] {
             EXPECT_EQ(fastwrite_cmd, 0);
             EXPECT_EQ(inspeed, 38400);
         }},
        {"stray words after a sector list", "erase sector 1,2 3\n", "{error}[1] at word '3'\n",
         [] { EXPECT_EQ(erase_sectors_cmd, 0u); }},
        {"two lines", "terminal\nhex\n", "",
         [] {
             EXPECT_EQ(terminal_cmd, 1);
             EXPECT_EQ(terminal_hex_opt, 1);
         }},
        {"blanks and tabs", "write  \tspeed \t 230400\t\n", "",
         [] {
             EXPECT_EQ(write_speed, 230400);
             EXPECT_EQ(fastwrite_cmd, 0);
         }},
        {"later line wins", "speed 9600\n\nspeed 19200\n", "", [] { EXPECT_EQ(inspeed, 19200); }},
        {"sector lists replace", "erase sector 1,2\nerase sector 5\n", "",
         [] { EXPECT_EQ(erase_sectors_cmd, 0x20u); }},
        {"last line without newline", "read\nspeed 57600", "",
         [] {
             EXPECT_EQ(read_cmd, 1);
             EXPECT_EQ(inspeed, 57600);
         }},
        // A file written on another system: CR LF ends a line as LF does.
        {"CR LF line ends", "input a.bin\r\nspeed 9600\r\nerase\r\n", "",
         [] {
             EXPECT_STREQ(inpfilenam, "a.bin");
             EXPECT_EQ(inspeed, 9600);
             EXPECT_EQ(erase_cmd, 1);
         }},
        {"CR inside a line stays", "input a\rb.bin\n", "",
         [] { EXPECT_STREQ(inpfilenam, "a\rb.bin"); }},
        {"leading blanks", "  speed 9600\n", "{error}[1] begins with a blank\n",
         [] { EXPECT_EQ(inspeed, 38400); }},
        {"blanks only", "read\n   \n", "{error}[2] begins with a blank\n",
         [] { EXPECT_EQ(read_cmd, 1); }},
        {"indented comment", "\t# speed 9600\n", "{error}[1] begins with a blank\n",
         [] { EXPECT_EQ(inspeed, 38400); }},
        {"device word", "ttyS1\nspeed 1200\n", "{error}[1] at word 'ttyS1'\n",
         [] {
             EXPECT_STREQ(devnam, "/dev/ttyS0");
             EXPECT_EQ(inspeed, 1200);
         }},
        {"physical line numbers", "\n# one\n\nspeed 9600\ndram tset\nread\ndram\n",
         "{error}[5] at word 'tset'\nDid you mean \"dram test\" (two words)?\n"
         "{error}[7] at its end\n",
         [] {
             EXPECT_EQ(inspeed, 9600);
             EXPECT_EQ(read_cmd, 1);
         }},
        {"600 characters cut to 511", cut_line + "\nspeed 1200\n", "",
         [] {
             EXPECT_EQ(std::string(inpfilenam), std::string(505, 'a'));
             EXPECT_EQ(inspeed, 1200);
         }},
        {"511 characters kept", exact_line + "\n", "",
         [] { EXPECT_EQ(std::string(inpfilenam), std::string(505, 'b')); }},
        {"4096 characters cut to 511", longest_line + "\nspeed 1200", "",
         [] {
             EXPECT_EQ(std::string(inpfilenam), std::string(505, 'c'));
             EXPECT_EQ(inspeed, 1200);
         }},
        {"31 words", words(31) + "\n", "{error}[1] at word 'w2'\n",
         [] { EXPECT_EQ(inspeed, 38400); }},
        {"empty file", "", "", [] { EXPECT_EQ(inspeed, 38400); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        restore_default_settings();
        write(c.content);
        testing::internal::CaptureStderr();
        EXPECT_EQ(options_from_file(path_.c_str()), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), with_path(c.errors));
        c.check();
    }
}

// What the file applied is named for the driver's report: each option by its name with the
// argument words it took, in file order; lines that applied nothing are not named.
TEST_F(OptionsFileTest, AppliedOptionsAreNamed)
{
    write(
        "erase  # a stray one\nterminal\nterminal hex\nbogus\n\nwrite\tspeed 115200\nerase sector "
        "1,2\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(options_from_file(path_.c_str()), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(options_file_applied(), "erase, terminal, write speed 115200, erase sector 1,2");
    write("# nothing\n");
    EXPECT_EQ(options_from_file(path_.c_str()), 1);
    EXPECT_EQ(options_file_applied(), "");
}

TEST_F(OptionsFileTest, NoFileChangesNothing)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(options_from_file(path_.c_str()), 0);
    EXPECT_EQ(options_from_file(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(inspeed, 38400);
}

// Only a regular file is read: a directory, a FIFO without a writer (whose open must not
// block) and a device that never ends are reported and change nothing.
TEST_F(OptionsFileTest, OnlyARegularFileIsRead)
{
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &name : {dir_, fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(options_from_file(name.c_str()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "\nLogview:File [" + name + "] is not a regular file: not read\n");
        EXPECT_EQ(inspeed, 38400);
        EXPECT_EQ(options_file_applied(), "");
    }
}

TEST_F(OptionsFileTest, FatalLines)
{
    struct Case {
        const char *label;
        std::string content;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"32 words", "read\n\n" + words(32) + "\n", 1, "\nFile [{file}] line [3] too long\n"},
        {"4097 characters", "read\n# " + std::string(4095, 'x') + "\nspeed 1200\n", 1,
         "\nFile [{file}] line [2] too long\n"},
        {"no newline at all", "speed 1200 " + std::string(100000, ' '), 1,
         "\nFile [{file}] line [1] too long\n"},
        {"limit", "read\nsize 0\n", 1,
         "Options from {file}: read, size 0\n\nOption [size] error:must be >= 1 and <= 2097152\n"},
        {"missing value", "read\nblock size\n", 1,
         "\nOption [block size] error:Option requery parameter.\n"},
        {"bad sector list", "erase sector 1.5\n", 1,
         "\nOption [erase sector] error:Invalid sector list '1.5'\n"},
        {"version", "read\n--version\nsize 0\n", 0, "Version ZELK 0.1.0\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        write(c.content);
        EXPECT_EXIT(options_from_file(path_.c_str()), ::testing::ExitedWithCode(c.status),
                    literal(with_path(c.message)));
    }
}

}  // namespace
