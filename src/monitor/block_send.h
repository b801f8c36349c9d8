// The blocks of the block write on the line (block_send.cc).
#pragma once

#include <vector>

#include "monitor/image/image.h"
#include "zelk.h"

// Sends `blocks` (ascending). A block that goes wrong on the line has its sectors rebuilt, where
// that is safe and retries are left, and the sending goes on from their first block. With
// `first_pass`, the progress line, the marks and the report's count follow the blocks sent for
// the first time. 1 = every block confirmed.
int send_list(const std::vector<U32> &blocks, bool first_pass);

// The blocks of the plan, with the progress line, the marks and the transfer time and speed,
// which count the image's bytes in the blocks sent. 1 = all blocks confirmed.
int send_blocks(const block_plan &plan);
