// The clocks: the monotonic clock for deadlines, durations and the times the line's bytes moved
// (no step of the wall clock, an NTP correction or a manual setting, moves it), and the wall
// clock for the times a record shows.
#pragma once

using mono_ns = long long;
inline constexpr mono_ns NS_PER_SEC = 1000000000LL;

mono_ns monotonic_ns();     // CLOCK_MONOTONIC in nanoseconds
long long monotonic_us();   // the same in microseconds
long long wall_clock_us();  // CLOCK_REALTIME: microseconds since the epoch

// A span of time in whole seconds and microseconds (0 to 999999): a timed phase of the DRAM
// test, the data phase of the block write.
struct phase_time {
    long sec;
    long us;
};
// The span between two moments of the monotonic clock, in microseconds.
phase_time phase_interval(long long start_us, long long end_us);
