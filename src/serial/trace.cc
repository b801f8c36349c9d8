// The protocol trace of "trace FILE": every byte put on the serial line and taken from it, in
// order, with its direction and a monotonic timestamp, and every change of the line's speed. The
// serial layer calls it where bytes are written and read, so every operation and the terminal
// are traced alike.
//
//   12345678901 > 57 42                                             |WB|
//   12345679020 < 57 42                                             |WB|
//   12345680000 speed 115200
//
// One direction a line (">" sent, "<" received), at most 16 bytes, as hex and as text with "."
// for what does not print; the timestamp is CLOCK_MONOTONIC in microseconds when the bytes moved.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "files.h"
#include "serial/serial.h"

namespace {

constexpr int TRACE_LINE_BYTES = 16;
constexpr std::size_t TRACE_BUFFER_BYTES = 1 << 16;

file_ptr trace_file;
char trace_buffer[TRACE_BUFFER_BYTES];
const char *trace_name = "";
bool trace_lost = false;  // a write failed: said once, the trace ends there and the run fails

// "%11lld " into out; returns the characters written.
int stamp(char *out, long long us) { return std::snprintf(out, 24, "%11lld ", us); }

// Ends the trace at a write that failed, saying why.
void check_trace_written()
{
    if (!trace_file || !std::ferror(trace_file.get()))
        return;
    say_write_error("Trace file", trace_name, errno);
    std::fclose(trace_file.release());
    trace_lost = true;
}

}  // namespace

int trace_start(const char *path)
{
    trace_name = path;
    trace_file = create_output_file(path);
    if (!trace_file) {
        if (errno != 0)
            std::fprintf(stderr, "\nTrace file [%s] open error: %s\n", path, std::strerror(errno));
        return 0;
    }
    std::setvbuf(trace_file.get(), trace_buffer, _IOFBF, sizeof trace_buffer);
    return 1;
}

void trace_bytes(char direction, const unsigned char *p, long n)
{
    if (!trace_file || n <= 0)
        return;
    static const char HEX[] = "0123456789abcdef";
    const long long us = monotonic_us();
    for (long at = 0; at < n; at += TRACE_LINE_BYTES) {
        const int count = static_cast<int>(std::min<long>(n - at, TRACE_LINE_BYTES));
        char line[128];
        int len = stamp(line, us);
        line[len++] = direction;
        line[len++] = ' ';
        for (int i = 0; i < TRACE_LINE_BYTES; i++) {
            if (i < count) {
                line[len++] = HEX[p[at + i] >> 4];
                line[len++] = HEX[p[at + i] & 0xF];
            } else {
                line[len++] = ' ';
                line[len++] = ' ';
            }
            line[len++] = ' ';
        }
        line[len++] = '|';
        for (int i = 0; i < count; i++) {
            const unsigned char c = p[at + i];
            line[len++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        line[len++] = '|';
        line[len++] = '\n';
        std::fwrite(line, 1, static_cast<std::size_t>(len), trace_file.get());
    }
    check_trace_written();
}

void trace_speed(int baud)
{
    if (!trace_file)
        return;
    char line[64];
    const int len = stamp(line, monotonic_us());
    std::fprintf(trace_file.get(), "%.*sspeed %d\n", len, line, baud);
    check_trace_written();
}

int trace_finish()
{
    if (trace_file && std::fclose(trace_file.release()) != 0) {
        say_write_error("Trace file", trace_name, errno);
        trace_lost = true;
    }
    return !trace_lost;
}
