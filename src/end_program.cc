#include <cstdlib>

#include "report/report.h"
#include "serial/serial.h"
#include "zelk.h"

// The report is written here, so that every way out, the normal end included, leaves one.
// Weak, so that a harness that must not end (a fuzz target) can put its own in its place.
__attribute__((weak)) void end_program(int status)
{
    // A termination request that came after the last operation's last look (it has waited,
    // blocked, since): the run was asked to end before it could report success.
    if (take_requests())
        status = 1;
    std::fflush(stdout);
    // A trace or progress file that lost a write fails the run, and the report records that.
    if (!trace_finish())
        status = 1;
    if (!report_finish(status))
        status = 1;
    std::exit(status);
}
