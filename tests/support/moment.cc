#include "moment.h"

#include <chrono>

#include "harness.h"

namespace zt {

bool reach(const zb::Board &board, const Moment &m, pid_t pid)
{
    using std::chrono::milliseconds;
    const std::size_t n = static_cast<std::size_t>(m.command);
    // zelk listens during the pause after each letter, so the answer to a paced command may be
    // read before that pause ends. Its reads are counted from the pause after the command's
    // first letter, before the monitor answers anything: the count is taken while zelk is seen
    // asleep there, with the command not complete, before and after it.
    long long base = 0;
    auto counted_in_the_first_pause = [&] {
        if (!asleep(pid) || board.commands().size() >= n)
            return false;
        base = bytes_read(pid);
        return asleep(pid) && board.commands().size() < n;
    };
    if (m.consumed > 0 && !poll_until(counted_in_the_first_pause, milliseconds(20000)))
        return false;
    if (!board.wait_for_commands(n, 20000))
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
