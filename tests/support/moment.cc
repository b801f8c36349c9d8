#include "moment.h"

#include <chrono>

#include "harness.h"

namespace zt {

bool reach(const zb::Board &board, const Moment &m, pid_t pid)
{
    using std::chrono::milliseconds;
    const std::size_t n = static_cast<std::size_t>(m.command);
    if (!board.wait_for_commands(n, 20000))
        return false;
    // zelk's reads are counted from the pause after the letters, before it reads any answer:
    // the count is taken while zelk is seen asleep before and after it.
    long long base = 0;
    auto counted_in_the_pause = [&] {
        if (!asleep(pid))
            return false;
        base = bytes_read(pid);
        return asleep(pid);
    };
    if (m.consumed > 0 && !poll_until(counted_in_the_pause, milliseconds(10000)))
        return false;
    if (m.number && !poll_until([&] { return board.commands()[n - 1].number.has_value(); },
                                milliseconds(15000)))
        return false;
    if (!poll_until([&] { return board.received().size() >= m.received; }, milliseconds(20000)))
        return false;
    if (m.consumed > 0 &&
        !poll_until([&] { return bytes_read(pid) >= base + m.consumed; }, milliseconds(15000)))
        return false;
    switch (m.in) {
    case In::Anything:
        return true;
    case In::Pause:
        return poll_until([&] { return asleep(pid); }, milliseconds(10000));
    case In::Read:
        return poll_until([&] { return waiting_for_line(pid); }, milliseconds(15000));
    }
    return false;
}

}  // namespace zt
