// The one place the clocks are read.
#include "clock/clock.h"

#include <time.h>

namespace {

long long read_ns(clockid_t id)
{
    struct timespec t;
    clock_gettime(id, &t);
    return static_cast<long long>(t.tv_sec) * NS_PER_SEC + t.tv_nsec;
}

}  // namespace

mono_ns monotonic_ns() { return read_ns(CLOCK_MONOTONIC); }

long long monotonic_us() { return monotonic_ns() / 1000; }

long long wall_clock_us() { return read_ns(CLOCK_REALTIME) / 1000; }

phase_time phase_interval(long long start_us, long long end_us)
{
    const long long span = end_us - start_us;
    return {static_cast<long>(span / 1000000), static_cast<long>(span % 1000000)};
}
