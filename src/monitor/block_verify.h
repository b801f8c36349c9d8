// The block write's read-back (block_verify.cc).
#pragma once

// The check values cover what the monitor received, not what the flash holds: a sector not
// erased (programming only clears bits), a protected sector or a stuck bit still confirm.
// Reads the flash back from offset 0 (the monitor's read takes no offset) up to `count` (at most
// the end of the image's highest region) and compares the bytes the image defines. Sectors that
// hold a differing byte are rebuilt where that is safe and retries are left, and the read-back
// runs again up to the end of the highest one rebuilt. 1 = the flash holds the image.
int verify_flash();
