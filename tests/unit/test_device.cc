// Protecting the device node: the mode to put back is saved before the node is changed, so a
// fatal signal between the two steps still finds it; it is put back through the descriptor only.
// The unit tests link with fchmod wrapped, so each change can be watched as it happens.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "pty_line.h"
#include "serial/serial.h"

extern "C" int __real_fchmod(int fd, mode_t mode);

namespace {

int changes = 0;             // fchmod calls seen
mode_t saved_at_change = 0;  // tty_mode as a fatal signal arriving in fchmod would find it
int fail_with = 0;           // errno for the next fchmod calls; 0 lets them through

}  // namespace

extern "C" int __wrap_fchmod(int fd, mode_t mode)
{
    changes++;
    saved_at_change = tty_mode;
    if (fail_with) {
        errno = fail_with;
        return -1;
    }
    return __real_fchmod(fd, mode);
}

namespace {

struct NodeTest : testing::Test {
    int master = -1, slave = -1;
    std::string path;
    void SetUp() override
    {
        ASSERT_TRUE(zb::open_pty(master, slave, path, nullptr));
        std::snprintf(devnam, sizeof devnam, "%s", path.c_str());
        tty_mode = static_cast<mode_t>(-1);
        changes = 0;
        fail_with = 0;
    }
    void TearDown() override
    {
        tty_mode = static_cast<mode_t>(-1);
        fail_with = 0;
        close(slave);
        close(master);
    }
    mode_t node_mode() const
    {
        struct stat st;
        stat(path.c_str(), &st);
        return st.st_mode;
    }
};

}  // namespace

TEST_F(NodeTest, ModeIsSavedBeforeTheChange)
{
    ASSERT_EQ(__real_fchmod(slave, 0620), 0);
    const mode_t found = node_mode();
    EXPECT_EQ(protect_node(slave), 1);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(saved_at_change, found) << "the mode to put back must be known before the change";
    EXPECT_EQ(tty_mode, found);
    EXPECT_EQ(node_mode() & 07777, 0600u);

    // The restorer puts it back through the descriptor.
    ttyfd = dup(slave);
    restore_saved_state();
    EXPECT_EQ(ttyfd, -1);
    EXPECT_EQ(node_mode() & 07777, 0620u);
}

// When the node refuses the change nothing is left to restore, and the user hears why and what
// it means, once.
TEST_F(NodeTest, RefusedChangeIsReportedAndForgotten)
{
    ASSERT_EQ(__real_fchmod(slave, 0666), 0);
    fail_with = EPERM;
    testing::internal::CaptureStderr();
    EXPECT_EQ(protect_node(slave), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fchmod " + path + " error: Operation not permitted\nDevice [" + path +
                  "] stays writable by every user during the run\n");
    EXPECT_EQ(tty_mode, static_cast<mode_t>(-1));
    EXPECT_EQ(node_mode() & 07777, 0666u);
}

// A node nobody else may write to is left alone: nothing to take away, nothing to report.
TEST_F(NodeTest, NodeWithoutOthersWriteIsLeftAlone)
{
    ASSERT_EQ(__real_fchmod(slave, 0600), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(protect_node(slave), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(tty_mode, static_cast<mode_t>(-1));
}

// A restore that the descriptor refuses is not retried by path, which may name another node
// by then: close_tty reports the failure and the node keeps its reduced mode.
TEST_F(NodeTest, RestoreGoesThroughTheDescriptorOnly)
{
    ASSERT_EQ(__real_fchmod(slave, 0620), 0);
    ASSERT_EQ(protect_node(slave), 1);
    fail_with = EPERM;
    ttyfd = dup(slave);
    testing::internal::CaptureStderr();
    EXPECT_EQ(close_tty(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nRestore of " + path + " failed: Operation not permitted\n");
    EXPECT_EQ(ttyfd, -1);
    EXPECT_EQ(node_mode() & 07777, 0600u);
    // The record stays for the next run; this one cleans up after itself.
    fail_with = 0;
    EXPECT_EQ(protect_node(slave), 1);
    EXPECT_EQ(tty_mode & 07777, 0620u);
    ttyfd = dup(slave);
    EXPECT_EQ(close_tty(), 1);
}

// A run killed with SIGKILL after the change: the next run finds the record beside the port
// locks and puts the mode found back before it looks, so the group keeps its write permission.
TEST_F(NodeTest, AKilledRunsModeIsPutBackByTheNext)
{
    ASSERT_EQ(__real_fchmod(slave, 0620), 0);
    ASSERT_EQ(protect_node(slave), 1);
    ASSERT_EQ(node_mode() & 07777, 0600u);
    tty_mode = static_cast<mode_t>(-1);  // the killed run's memory is gone; its record is not
    EXPECT_EQ(protect_node(slave), 1);
    EXPECT_EQ(tty_mode & 07777, 0620u) << "the next run must put back the mode first found";
    EXPECT_EQ(node_mode() & 07777, 0600u);
    ttyfd = dup(slave);
    EXPECT_EQ(close_tty(), 1);
    EXPECT_EQ(node_mode() & 07777, 0620u);
}

// A node changed since the killed run (made anew, or set by hand) keeps what it has now.
TEST_F(NodeTest, ARecordOfAnotherNodeIsDropped)
{
    ASSERT_EQ(__real_fchmod(slave, 0620), 0);
    ASSERT_EQ(protect_node(slave), 1);
    tty_mode = static_cast<mode_t>(-1);
    struct timespec later = {0, 20000000};
    nanosleep(&later, nullptr);                // a change time of its own for the chmod below
    ASSERT_EQ(__real_fchmod(slave, 0600), 0);  // by hand: the same mode, a later change
    EXPECT_EQ(protect_node(slave), 1);
    EXPECT_EQ(tty_mode, static_cast<mode_t>(-1));
    EXPECT_EQ(node_mode() & 07777, 0600u);
}
