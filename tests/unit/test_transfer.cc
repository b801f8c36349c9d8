// The pure parts of the flash transfers: the check value reply, the input file loader and its
// messages, the echo timeout of a byte-write chunk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "monitor/byte_write.h"
#include "monitor/image/input_file.h"
#include "monitor/link/link.h"

namespace {

// The check value arrives as exactly 8 bytes, without a terminator.
int parse(const char *reply, U32 *value)
{
    char digits[NUMBER_DIGITS];
    std::memcpy(digits, reply, sizeof digits);
    return parse_hex8(digits, *value);
}

}  // namespace

TEST(TransferCrcReply, HexDigitsOfEitherCase)
{
    struct Case {
        const char *reply;
        U32 value;
    } cases[] = {
        {"00000000", 0},          {"FFFFF01F", 0xFFFFF01F}, {"fffff01f", 0xFFFFF01F},
        {"BcAdD11f", 0xBCADD11F}, {"12345678", 0x12345678}, {"9aBf0c0E", 0x9ABF0C0E},
    };
    for (const Case &c : cases) {
        U32 v = 1;
        EXPECT_EQ(parse(c.reply, &v), 1) << c.reply;
        EXPECT_EQ(v, c.value) << c.reply;
    }
}

TEST(TransferCrcReply, AnyOtherCharacterIsRejected)
{
    for (const char *reply : {"0000000 ", " 0000000", "0000000G", "0000000g", "0x000000",
                              "0000:000", "0000/000", "0000@000", "0000`000", "-0000000"}) {
        U32 v = 0x5A5A5A5A;
        EXPECT_EQ(parse(reply, &v), 0) << reply;
        EXPECT_EQ(v, 0x5A5A5A5Au) << "untouched on rejection: " << reply;
    }
    const char with_nul[8] = {'0', '0', '0', 0, '0', '0', '0', '0'};
    U32 v = 0;
    EXPECT_EQ(parse_hex8(with_nul, v), 0);
}

TEST(TransferChunkTimeout, ElevenBitTimesPerBytePlusTenSeconds)
{
    EXPECT_EQ(chunk_echo_wait_sec(1024, 38400), 10);
    EXPECT_EQ(chunk_echo_wait_sec(1024, 9600), 11);
    EXPECT_EQ(chunk_echo_wait_sec(1024, 300), 47);
    EXPECT_EQ(chunk_echo_wait_sec(2, 460800), 10);
    // A line at a speed the table lacks counts as 9600 instead of dividing by zero.
    EXPECT_EQ(chunk_echo_wait_sec(1024, 0), 11);
    EXPECT_EQ(chunk_echo_wait_sec(1024, -1), 11);
}

namespace {

struct TransferLoader : testing::Test {
    std::filesystem::path dir;
    int saved_file_size = 0;

    void SetUp() override
    {
        char tmpl[] = "/tmp/zelk-loader-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        saved_file_size = file_size;
        file_size = 0;
    }
    void TearDown() override
    {
        file_size = saved_file_size;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string make(const std::string &name, const std::string &data)
    {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << data;
        return path;
    }
    // Loads `path`, returning what went to stderr.
    std::string load(const std::string &path, input_image &image, int *result)
    {
        testing::internal::CaptureStderr();
        *result = load_input_file(path.c_str(), image);
        return testing::internal::GetCapturedStderr();
    }
};

}  // namespace

TEST_F(TransferLoader, WholeFile)
{
    std::string data(1300, '\0');
    for (std::size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i * 7);
    const std::string path = make("image.bin", data);
    input_image image;
    int rvl = 0;
    EXPECT_EQ(load(path, image, &rvl), "");
    ASSERT_EQ(rvl, 1);
    ASSERT_EQ(image.len, 1300);
    EXPECT_EQ(std::memcmp(image.bytes.get(), data.data(), data.size()), 0);
    EXPECT_EQ(file_size, 0) << "the setting is the user's";
}

TEST_F(TransferLoader, SizeAlreadySetIsKept)
{
    for (int given : {100, 5000}) {
        file_size = given;
        input_image image;
        int rvl = 0;
        EXPECT_EQ(load(make("image.bin", std::string(1000, 'x')), image, &rvl), "");
        EXPECT_EQ(rvl, 1);
        EXPECT_EQ(image.len, 1000);
        EXPECT_EQ(file_size, given);
    }
}

TEST_F(TransferLoader, WriteProtectedFileIsRead)
{
    const std::string path = make("ro.bin", "abc");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    input_image image;
    int rvl = 0;
    EXPECT_EQ(load(path, image, &rvl), "");
    EXPECT_EQ(rvl, 1);
    EXPECT_EQ(image.len, 3);
}

// The mode bits above do not stop root; a read-only binary sysfs attribute refuses writers
// whoever they are, and has a true length.
TEST_F(TransferLoader, FileNoOneMayOpenForWritingIsRead)
{
    const std::string path = "/sys/kernel/btf/vmlinux";
    std::FILE *probe = std::fopen(path.c_str(), "r+b");
    if (probe)
        std::fclose(probe);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (probe || ec || size == 0)
        GTEST_SKIP() << "no read-only file of known length here";
    input_image image;
    int rvl = 0;
    EXPECT_EQ(load(path, image, &rvl), "");
    EXPECT_EQ(rvl, 1);
    EXPECT_EQ(image.len, static_cast<long>(size));
}

TEST_F(TransferLoader, FailuresAreReportedAndLeaveNothing)
{
    const std::string missing = (dir / "missing.bin").string();
    const std::string empty = make("empty.bin", "");
    // Longer than an int can count: refused before any memory is taken (a sparse file).
    const std::string huge = make("huge.bin", "");
    std::filesystem::resize_file(huge, 3'000'000'000ULL);
    struct Case {
        std::string path, message;
    } cases[] = {
        {missing, "\nInput file [" + missing + "] open error: No such file or directory\n"},
        {empty, "\nSize read of input file [" + empty + "] error\n"},
        {huge, "\nSize read of input file [" + huge + "] error\n"},
    };
    for (const Case &c : cases) {
        input_image image;
        int rvl = 1;
        EXPECT_EQ(load(c.path, image, &rvl), c.message);
        EXPECT_EQ(rvl, 0);
        EXPECT_EQ(image.bytes, nullptr);
        EXPECT_EQ(file_size, 0) << "the setting is the user's";
    }
}

// A file that reads shorter than its measured length (a sysfs attribute measures a full page).
TEST_F(TransferLoader, ShorterThanMeasured)
{
    const std::string path = "/sys/kernel/uevent_seqnum";
    std::error_code ec;
    const auto measured = std::filesystem::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    if (ec || content.size() >= measured)
        GTEST_SKIP() << "no sysfs attribute to read here";
    input_image image;
    int rvl = 1;
    char expected[200];
    std::snprintf(expected, sizeof expected, "\nFile [%s] read error, position [%d,%x]\n",
                  path.c_str(), static_cast<int>(content.size()),
                  static_cast<unsigned>(content.size()));
    EXPECT_EQ(load(path, image, &rvl), expected);
    EXPECT_EQ(rvl, 0);
    EXPECT_EQ(image.bytes, nullptr);
}
