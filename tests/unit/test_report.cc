// The run report's formatting: JSON strings, numbers, times, and the message taken from the
// stream text. These run in a fatal-signal handler too, so they work on fixed buffers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "report/report.h"
#include "report/stream_tails.h"
#include "serial/ports.h"
#include "json/json_text.h"

namespace {

template <typename F> std::string formatted(F f, int size = 256)
{
    std::string buf(static_cast<std::size_t>(size), '\0');
    json_buf b{buf.data(), size};
    f(b);
    return b.overflow ? "<overflow>" + buf.substr(0, static_cast<std::size_t>(b.len))
                      : buf.substr(0, static_cast<std::size_t>(b.len));
}

std::string json(const char *s, int max_len = 100)
{
    return formatted([&](json_buf &b) { json_string(b, s, max_len); }, 1024);
}

std::string utc(long long usec)
{
    return formatted([&](json_buf &b) { json_utc_time(b, usec); });
}

std::string line_of(const std::string &text, int out_size = 64)
{
    char out[64];
    if (!last_line(text.data(), static_cast<int>(text.size()), out, out_size))
        return "<none>";
    return out;
}

}  // namespace

TEST(ReportFormat, StringsAreEscapedAndStayValidUtf8)
{
    EXPECT_EQ(json(nullptr), "null");
    EXPECT_EQ(json(""), "\"\"");
    EXPECT_EQ(json("Output file [a\"b\\c] open error"), "\"Output file [a\\\"b\\\\c] open error\"");
    EXPECT_EQ(json("\r\n\t"), "\"\\r\\n\\t\"");
    EXPECT_EQ(json("\x01~\x7f\xff"), "\"\\u0001~\\u007f\\u00ff\"");
    EXPECT_EQ(json("abcdef", 3), "\"abc\"");  // a buffer without its terminator ends at max_len
    // Too long for its room: cut after the last whole escape that fits, and marked.
    const std::string controls(200, '\x01');
    std::string cut = "\"";
    for (int i = 0; i < (JSON_TEXT_MAX - 5) / 6; i++)
        cut += "\\u0001";
    EXPECT_EQ(json(controls.c_str(), 256), cut + "[...]\"");
    EXPECT_EQ(json(std::string(JSON_TEXT_MAX, 'x').c_str(), 1024).size(), JSON_TEXT_MAX + 2u);
}

TEST(ReportFormat, ValidUtf8IsKeptAsItIs)
{
    EXPECT_EQ(json("dev\xc3\xa9"), "\"dev\xc3\xa9\"");  // é
    EXPECT_EQ(json("\xe2\x82\xac \xf0\x9f\x94\xa7"),
              "\"\xe2\x82\xac \xf0\x9f\x94\xa7\"");  // € and U+1F527
    // Not UTF-8: a lone continuation byte, a cut sequence, an overlong form, a surrogate, a code
    // point above U+10FFFF. Each byte of them is escaped.
    EXPECT_EQ(json("\x80"), "\"\\u0080\"");
    EXPECT_EQ(json("\xc3"), "\"\\u00c3\"");
    EXPECT_EQ(json("\xc3x"), "\"\\u00c3x\"");
    EXPECT_EQ(json("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(json("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(json("\xf4\x90\x80\x80"), "\"\\u00f4\\u0090\\u0080\\u0080\"");
    // A sequence cut by the buffer's end is not taken whole.
    EXPECT_EQ(json("a\xc3\xa9", 2), "\"a\\u00c3\"");
}

TEST(ReportFormat, StableDeviceName)
{
    char dir[] = "/tmp/zelk-by-id.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    const std::string node = d + "/ttyX";
    std::FILE *f = std::fopen(node.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const std::string by_id = d + "/by-id";
    ASSERT_EQ(mkdir(by_id.c_str(), 0755), 0);
    char out[256];
    EXPECT_EQ(stable_device_name(node.c_str(), by_id.c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    ASSERT_EQ(symlink("../ttyX", (by_id + "/usb-FTDI_B2").c_str()), 0);
    ASSERT_EQ(symlink("../ttyX", (by_id + "/usb-FTDI_A1").c_str()), 0);
    EXPECT_EQ(stable_device_name(node.c_str(), by_id.c_str(), out, sizeof out), 1);
    EXPECT_EQ(std::string(out), by_id + "/usb-FTDI_A1");  // the first in name order
    EXPECT_EQ(stable_device_name((by_id + "/usb-FTDI_B2").c_str(), by_id.c_str(), out, sizeof out),
              1);
    EXPECT_EQ(std::string(out), by_id + "/usb-FTDI_A1");
    EXPECT_EQ(stable_device_name((d + "/none").c_str(), by_id.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::system(("rm -rf " + d).c_str()), 0);
}

TEST(ReportFormat, NumbersAndSeconds)
{
    EXPECT_EQ(formatted([](json_buf &b) { json_uint(b, 0); }), "0");
    EXPECT_EQ(formatted([](json_buf &b) { json_uint(b, 18446744073709551615ULL); }),
              "18446744073709551615");
    EXPECT_EQ(formatted([](json_buf &b) { json_seconds(b, 0); }), "0.000000");
    EXPECT_EQ(formatted([](json_buf &b) { json_seconds(b, 12345678); }), "12.345678");
    EXPECT_EQ(formatted([](json_buf &b) { json_seconds(b, -5); }), "0.000000");
}

TEST(ReportFormat, UtcTimes)
{
    EXPECT_EQ(utc(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(utc(951782400000000LL + 1), "2000-02-29T00:00:00.000001Z");  // a leap day
    EXPECT_EQ(utc(1796722893123456LL), "2026-12-08T09:41:33.123456Z");
    EXPECT_EQ(utc(4107542399999999LL), "2100-02-28T23:59:59.999999Z");  // 2100 is no leap year
    EXPECT_EQ(utc(4107542400000000LL), "2100-03-01T00:00:00.000000Z");
}

TEST(ReportFormat, FullBufferMarksOverflow)
{
    EXPECT_EQ(formatted([](json_buf &b) { json_text(b, "abcdef"); }, 4), "<overflow>abcd");
}

TEST(ReportFormat, LastLineOfTheText)
{
    EXPECT_EQ(line_of(""), "<none>");
    EXPECT_EQ(line_of("\n \r\n"), "<none>");
    EXPECT_EQ(line_of("\nRead byte timeout, offset [5][0x5]\n"),
              "Read byte timeout, offset [5][0x5]");
    EXPECT_EQ(line_of("first\nsecond"), "second");  // no newline yet
    EXPECT_EQ(line_of("\nRead byte timeout\n\nRead Manufactory Code Timeout\n"),
              "Read Manufactory Code Timeout");
    EXPECT_EQ(line_of("x\r\n  TYY read error :(5)  \r\n"), "TYY read error :(5)");
    EXPECT_EQ(line_of("\nabcdefghij\n", 5), "abcd");  // cut to the room given
}
