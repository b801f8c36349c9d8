// JSON text written into a fixed buffer, without allocation: the run report and the progress
// events are both written with it. Text beyond the buffer's size is dropped and marks it
// overflowed, so a record cut short is never taken for a whole one.
#pragma once

#include <cstddef>

struct json_buf {
    char *data;
    int size;
    int len = 0;
    bool overflow = false;
};

// The most bytes a string takes between its quotes, so that every record has room for every
// field: a longer one is cut, whole characters and escapes only, and ends with CUT_MARK.
constexpr int JSON_TEXT_MAX = 512;
constexpr char CUT_MARK[] = "[...]";

// `s` as it stands: punctuation, keys, words.
void json_text(json_buf &b, const char *s);
// Quoted; valid UTF-8 is kept as it is, other bytes and control characters are escaped; at most
// max_len bytes of s are read; null -> null.
void json_string(json_buf &b, const char *s, int max_len);
// The same, null for an empty string.
void json_string_or_null(json_buf &b, const char *s, int max_len);
void json_uint(json_buf &b, unsigned long long v);
void json_seconds(json_buf &b, long long usec);  // "12.345678"
// UTC time of the epoch microseconds: "2026-12-08T09:41:33.123456Z".
void json_utc_time(json_buf &b, long long epoch_usec);

// Writes v in decimal into buf (room for 20 digits) without stdio or allocation, so that signal
// handlers may call it. Returns the number of digits; writes no terminator.
std::size_t format_decimal(char *buf, unsigned long long v);
