// "plan": what the run would do, printed before (and instead of) opening the device.
#pragma once

// Prints the plan on stdout: the image (file, format, SHA-256, regions and their flash offsets),
// the sectors the run erases, the blocks it sends and skips, the operations after the write, and
// the estimated time. The image has been made by load_write_image.
void print_plan();

// The estimated time of the run in seconds: the protocol's bytes on the wire at 10 bits a byte
// at the speed each part runs at, the pause after each paced command letter and the settle of a
// speed restore. What the monitor itself takes (erasing, DRAM phases) is not known here.
double plan_seconds();

// The pauses the run makes after paced command letters (two per paced command; "pause" sets their
// length), rebuilds after faults aside.
int plan_pauses();
