// The sector rebuilds of the block write (block_rebuild.cc).
#pragma once

#include <string>

#include "zelk.h"

enum class rebuild_check { ALLOWED, NO_RETRIES, UNSAFE, USED_UP, DAMAGE };

// A write begins: no retry made yet, the line at its fast `speed` (0: not switched).
void rebuild_begin(int speed);

// The sectors this run erases before writing them: those of the erase options and, when the
// write resumes, the sector it resumes with.
U32 erased_by_this_run();
long sector_start(U32 offset);     // the flash offset of the sector that holds `offset`
U32 sectors_of_block(U32 offset);  // the sectors the block at `offset` reaches into, as a mask

// Whether the sectors of `mask` may be rebuilt now, with one retry; the first sector that is not
// safe in `unsafe`.
rebuild_check may_rebuild(U32 mask, int &unsafe);
// After a failure's text: one line saying why no rebuild follows.
void say_why_not(rebuild_check why, int unsafe);

// Counts the rebuild of `mask` (already allowed) as a retry, unless it is part of the retry
// already counted (`same_retry`: the sectors one read-back found), and says so with `what`; then
// erases its sectors once the monitor is ready again. 1 = the sectors are erased, ready for their
// blocks; 0 after the messages.
int rebuild_sectors(U32 mask, std::string what, bool same_retry = false);

void rebuild_resent();        // a block is sent again for a rebuild
void rebuild_went_through();  // the blocks of the sectors rebuilt are confirmed
