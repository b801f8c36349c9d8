// The JSON text writer: strings escaped to stay valid UTF-8, numbers, seconds and UTC times, all
// formatted in place.
#include "json/json_text.h"

#include <cstring>

void json_text(json_buf &b, const char *s)
{
    for (; *s; ++s) {
        if (b.len >= b.size) {
            b.overflow = true;
            return;
        }
        b.data[b.len++] = *s;
    }
}

namespace {

// The length of the valid UTF-8 sequence at s (at most `left` bytes), 0 when the byte there
// starts none: no overlong forms, no surrogates, nothing above U+10FFFF.
int utf8_sequence(const unsigned char *s, int left)
{
    const unsigned char c = s[0];
    int len;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (left < len || s[1] < lo || s[1] > hi)
        return 0;
    for (int i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

// The JSON form of the character at u[i] (of len bytes) into out (terminated); returns the bytes
// of u it takes.
int json_char(const unsigned char *u, int i, int len, char out[8])
{
    constexpr char HEX[] = "0123456789abcdef";
    const unsigned char c = u[i];
    std::memset(out, 0, 8);
    // Valid UTF-8 (a name or label in any language) stays as it is; any other byte (a garbled
    // reply, a file name in another encoding) becomes an escape of its own value, so the text
    // stays valid UTF-8 JSON.
    if (c >= 0x80) {
        if (const int n = utf8_sequence(u + i, len - i)) {
            std::memcpy(out, u + i, static_cast<size_t>(n));
            return n;
        }
    }
    out[0] = '\\';
    if (c == '"' || c == '\\')
        out[1] = static_cast<char>(c);
    else if (c == '\n')
        out[1] = 'n';
    else if (c == '\r')
        out[1] = 'r';
    else if (c == '\t')
        out[1] = 't';
    else if (c < 0x20 || c >= 0x7F) {
        out[1] = 'u';
        out[2] = '0';
        out[3] = '0';
        out[4] = HEX[c >> 4];
        out[5] = HEX[c & 15];
    } else {
        out[0] = static_cast<char>(c);
    }
    return 1;
}

void digits(json_buf &b, unsigned long long v, int width)
{
    char out[24];
    out[width] = '\0';
    for (int i = width - 1; i >= 0; i--) {
        out[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    json_text(b, out);
}

}  // namespace

void json_string(json_buf &b, const char *s, int max_len)
{
    if (s == nullptr) {
        json_text(b, "null");
        return;
    }
    const int len = static_cast<int>(strnlen(s, static_cast<size_t>(max_len)));
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    char piece[8];
    std::size_t whole = 0;
    for (int i = 0; i < len;) {
        i += json_char(u, i, len, piece);
        whole += std::strlen(piece);
    }
    const bool cut = whole > static_cast<std::size_t>(JSON_TEXT_MAX);
    const std::size_t room = cut ? JSON_TEXT_MAX - (sizeof CUT_MARK - 1) : whole;
    json_text(b, "\"");
    std::size_t used = 0;
    for (int i = 0; i < len;) {
        i += json_char(u, i, len, piece);
        used += std::strlen(piece);
        if (used > room)
            break;
        json_text(b, piece);
    }
    if (cut)
        json_text(b, CUT_MARK);
    json_text(b, "\"");
}

void json_string_or_null(json_buf &b, const char *s, int max_len)
{
    json_string(b, s[0] ? s : nullptr, max_len);
}

std::size_t format_decimal(char *buf, unsigned long long v)
{
    char tmp[20];
    std::size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t i = 0; i < n; i++)
        buf[i] = tmp[n - 1 - i];
    return n;
}

void json_uint(json_buf &b, unsigned long long v)
{
    char out[24];
    out[format_decimal(out, v)] = '\0';
    json_text(b, out);
}

void json_seconds(json_buf &b, long long usec)
{
    if (usec < 0)
        usec = 0;
    json_uint(b, static_cast<unsigned long long>(usec / 1000000));
    json_text(b, ".");
    digits(b, static_cast<unsigned long long>(usec % 1000000), 6);
}

void json_utc_time(json_buf &b, long long epoch_usec)
{
    if (epoch_usec < 0)
        epoch_usec = 0;
    long long days = epoch_usec / 86400000000LL;
    const long long in_day = epoch_usec % 86400000000LL;
    // Civil date of a day count since 1970-01-01 (proleptic Gregorian), in 400-year eras.
    days += 719468;
    const long long era = days / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    const long long sec = in_day / 1000000;
    digits(b, static_cast<unsigned long long>(year), 4);
    json_text(b, "-");
    digits(b, static_cast<unsigned long long>(month), 2);
    json_text(b, "-");
    digits(b, static_cast<unsigned long long>(day), 2);
    json_text(b, "T");
    digits(b, static_cast<unsigned long long>(sec / 3600), 2);
    json_text(b, ":");
    digits(b, static_cast<unsigned long long>(sec / 60 % 60), 2);
    json_text(b, ":");
    digits(b, static_cast<unsigned long long>(sec % 60), 2);
    json_text(b, ".");
    digits(b, static_cast<unsigned long long>(in_day % 1000000), 6);
    json_text(b, "Z");
}
