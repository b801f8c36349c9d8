// The run report's formatting: JSON strings, numbers, times, and the message taken from the
// stream text. These run in a fatal-signal handler too, so they work on fixed buffers.
#include <gtest/gtest.h>

#include <string>

#include "report.h"

namespace {

template <typename F> std::string formatted(F f, int size = 256)
{
    std::string buf(static_cast<std::size_t>(size), '\0');
    report_buf b{buf.data(), size};
    f(b);
    return b.overflow ? "<overflow>" + buf.substr(0, static_cast<std::size_t>(b.len))
                      : buf.substr(0, static_cast<std::size_t>(b.len));
}

std::string json(const char *s, int max_len = 100)
{
    return formatted([&](report_buf &b) { rb_json_string(b, s, max_len); });
}

std::string utc(long long usec)
{
    return formatted([&](report_buf &b) { rb_utc_time(b, usec); });
}

std::string line_of(const std::string &text, int out_size = 64)
{
    char out[64];
    if (!last_line(text.data(), static_cast<int>(text.size()), out, out_size))
        return "<none>";
    return out;
}

}  // namespace

TEST(ReportFormat, StringsAreEscapedAndStayAscii)
{
    EXPECT_EQ(json(nullptr), "null");
    EXPECT_EQ(json(""), "\"\"");
    EXPECT_EQ(json("Output file [a\"b\\c] open error"), "\"Output file [a\\\"b\\\\c] open error\"");
    EXPECT_EQ(json("\r\n\t"), "\"\\r\\n\\t\"");
    EXPECT_EQ(json("\x01~\x7f\xff"), "\"\\u0001~\\u007f\\u00ff\"");
    EXPECT_EQ(json("abcdef", 3), "\"abc\"");  // a buffer without its terminator ends at max_len
}

TEST(ReportFormat, NumbersAndSeconds)
{
    EXPECT_EQ(formatted([](report_buf &b) { rb_uint(b, 0); }), "0");
    EXPECT_EQ(formatted([](report_buf &b) { rb_uint(b, 18446744073709551615ULL); }),
              "18446744073709551615");
    EXPECT_EQ(formatted([](report_buf &b) { rb_seconds(b, 0); }), "0.000000");
    EXPECT_EQ(formatted([](report_buf &b) { rb_seconds(b, 12345678); }), "12.345678");
    EXPECT_EQ(formatted([](report_buf &b) { rb_seconds(b, -5); }), "0.000000");
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
    EXPECT_EQ(formatted([](report_buf &b) { rb_text(b, "abcdef"); }, 4), "<overflow>abcd");
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
