// A board's presence and departure as a station watches its line: each result of the watch, on a
// pseudo-terminal whose master plays the board, behind a link as /dev/serial/by-id names are.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "monitor/link/link.h"
#include "serial/serial.h"

TEST(Presence, EachWayABoardComesAndGoes)
{
    const std::string link = "/tmp/zelk-presence-" + std::to_string(getpid());
    line_watch w;
    struct stat st;
    // Nothing at the path: said so, and nothing is made there; a node that is no line is refused.
    EXPECT_EQ(watch_open(w, link.c_str(), B38400, READY_MARKER), board_news::VANISHED);
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    EXPECT_EQ(watch_open(w, "/dev/null", B38400, READY_MARKER), board_news::REFUSED);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    ASSERT_EQ(symlink(ptsname(master), link.c_str()), 0);
    struct termios found;
    const int keep = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // the line stays up
    ASSERT_EQ(tcgetattr(keep, &found), 0);
    ASSERT_EQ(watch_open(w, link.c_str(), B38400, READY_MARKER), board_news::NONE);
    line_watch other;
    EXPECT_EQ(watch_open(other, link.c_str(), B38400, READY_MARKER), board_news::BUSY);
    // The marker, among other bytes; then no marker for the quiet time.
    EXPECT_EQ(watch_read(w), board_news::NONE);
    ASSERT_EQ(write(master, "xrrOK", 5), 5);
    ASSERT_EQ(tcdrain(master), 0);
    EXPECT_EQ(watch_read(w), board_news::MARKER);
    const mono_ns quiet = 2 * NS_PER_SEC;
    EXPECT_EQ(watch_check(w, link.c_str(), w.last_marker + quiet - 1, quiet), board_news::NONE);
    EXPECT_EQ(watch_check(w, link.c_str(), w.last_marker + quiet, quiet), board_news::QUIET);
    // The link now names another device, or none.
    ASSERT_EQ(unlink(link.c_str()), 0);
    EXPECT_EQ(watch_check(w, link.c_str(), w.last_marker, quiet), board_news::VANISHED);
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    EXPECT_EQ(watch_check(w, link.c_str(), w.last_marker, quiet), board_news::VANISHED);
    unlink(link.c_str());
    // Let go, the line has its attributes as found; the far end closed, it has hung up.
    watch_close(w);
    struct termios after;
    ASSERT_EQ(tcgetattr(keep, &after), 0);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&found));
    ASSERT_EQ(watch_open(w, ptsname(master), B38400, READY_MARKER), board_news::NONE);
    close(master);
    EXPECT_EQ(watch_read(w), board_news::HUNG_UP);
    watch_close(w);
    close(keep);
}
