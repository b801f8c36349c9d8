// The protocol file's default name, chosen from the device word.
#include <gtest/gtest.h>

#include "terminal/terminal.h"

TEST(TerminalProtName, ChosenByThePortInTheDeviceWord)
{
    struct Case {
        const char *device, *name;
    } cases[] = {
        {"/dev/ttyS0", "zelk.ttyS0"},
        {"/dev/ttyS1", "zelk.ttyS1"},
        {"/dev/ttyS10", "zelk.ttyS1"},  // contains "ttyS1"
        {"/dev/ttyS01", "zelk.ttyS0"},  // "ttyS0" is tested first
        {"/dev/by-id/ttyS1-ttyS0", "zelk.ttyS0"},
        {"/dev/ttyS2", "zelk.txt"},
        {"/dev/ttyUSB0", "zelk.txt"},
        {"/dev/ttys0", "zelk.txt"},  // case matters
        {"", "zelk.txt"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(default_prot_name(c.device), c.name) << c.device;
}
