// The job checked as a whole before the device is opened: every input the selected operations
// will need. A mistake on the command line then costs the board nothing (a typo in a file name
// must not follow a chip erase). The operations keep their own checks: a file can change
// between the two.
#include <cstdio>

#include "files.h"
#include "monitor/input_file.h"
#include "monitor/progress.h"
#include "serial/serial.h"
#include "zelk.h"

namespace {

int check_write_input()
{
    const bool block = fastwrite_cmd == 1;
    if (!block && !write_cmd)
        return 1;
    long len = 0;
    if (!check_input_file(inpfilenam, &len))
        return 0;
    return block ? check_block_write(len) : check_byte_write(len);
}

// The block write's data speed must be one of the table's.
int check_write_speed()
{
    return fastwrite_cmd != 1 || write_speed == 0 || speed_toh(write_speed) != 0;
}

// The read creates or empties its output file only when the monitor's data begins; whether it
// will be able to is known now.
int check_read_output()
{
    if (!read_cmd || output_file_creatable(outfilenam))
        return 1;
    // On standard output, as the read itself reports it: the text is part of the interface.
    std::printf("\nOutput file [%s] open error\n", outfilenam);
    return 0;
}

}  // namespace

// The progress file of the "progress" option is opened here: a file that cannot be written
// ends the run before the board is touched, as the other outputs do.
int check_job()
{
    return check_write_input() && check_write_speed() && check_read_output() && progress_open();
}
