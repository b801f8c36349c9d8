// The stream tails: stdout and stderr written through, their latest bytes kept.
#include "report/stream_tails.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int TAIL_BYTES = 1024;  // stderr text kept: enough for any one message

// The latest text of one output stream: the last TAIL_BYTES bytes written since the running
// operation began.
struct text_tail {
    int fd;
    char text[TAIL_BYTES];
    int len = 0;
};
text_tail err_tail{STDERR_FILENO, {}};
text_tail out_tail{STDOUT_FILENO, {}};

void keep_tail(text_tail &t, const char *p, int n)
{
    if (n >= TAIL_BYTES) {
        std::memcpy(t.text, p + n - TAIL_BYTES, TAIL_BYTES);
        t.len = TAIL_BYTES;
        return;
    }
    if (t.len + n > TAIL_BYTES) {
        const int drop = t.len + n - TAIL_BYTES;
        std::memmove(t.text, t.text + drop, static_cast<size_t>(t.len - drop));
        t.len -= drop;
    }
    std::memcpy(t.text + t.len, p, static_cast<size_t>(n));
    t.len += n;
}

// The streams that stand in for stdout and stderr: every byte goes to the same descriptor as
// before, and a copy of the latest ones stays in the tail.
ssize_t tail_write(void *cookie, const char *p, size_t n)
{
    text_tail &t = *static_cast<text_tail *>(cookie);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(t.fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<size_t>(w);
    }
    keep_tail(t, p, static_cast<int>(n));
    return done > 0 || n == 0 ? static_cast<ssize_t>(done) : -1;
}

// A stream writing through `t`, buffered as `mode`; null when none can be made.
std::FILE *tail_stream(text_tail &t, int mode)
{
    const cookie_io_functions_t io = {nullptr, tail_write, nullptr, nullptr};
    std::FILE *f = fopencookie(&t, "w", io);
    if (f != nullptr)
        std::setvbuf(f, nullptr, mode, mode == _IONBF ? 0 : BUFSIZ);
    return f;
}

}  // namespace

void keep_tails()
{
    std::fflush(stdout);
    if (std::FILE *f = tail_stream(out_tail, _IOLBF))
        stdout = f;
    if (std::FILE *f = tail_stream(err_tail, _IONBF))
        stderr = f;
}

void clear_tails()
{
    err_tail.len = 0;
    out_tail.len = 0;
}

int tail_last_line(int fd, char *out, int out_size)
{
    const text_tail &t = fd == STDERR_FILENO ? err_tail : out_tail;
    return last_line(t.text, t.len, out, out_size);
}

int last_line(const char *text, int len, char *out, int out_size)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    int end = len;
    while (end > 0 && blank(text[end - 1]))
        --end;
    if (end == 0 || out_size <= 0)
        return 0;
    int start = end;
    while (start > 0 && text[start - 1] != '\n' && text[start - 1] != '\r')
        --start;
    while (start < end && blank(text[start]))
        ++start;
    const int n = end - start < out_size - 1 ? end - start : out_size - 1;
    std::memcpy(out, text + start, static_cast<size_t>(n));
    out[n] = '\0';
    return 1;
}
