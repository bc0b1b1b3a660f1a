// Whether the module already holds an image (--compare): its bytes read back
// and compared, nothing erased or written. Prints its own messages on
// standard error.
#ifndef TARVION_COMPARE_H
#define TARVION_COMPARE_H

#include "device.h"
#include "image.h"
#include "loader.h"
#include "progress.h"

// Reads the bytes of img back from the module d describes (identified), on a
// session whose boot loader is synchronised, in blocks of at most 256 bytes,
// each until two reads of it agree (at most three), under the progress
// display "Comparing <file>" in mode shown, and compares them, up to the
// first difference. An image that reaches outside the flash of a known part
// is refused before anything is read (erase_check_fit). Returns 0 when the
// module holds the image; 1 after "The module's flash differs from <file> at
// 0x%08X" (the lowest address that differs); -1 after a message when it
// could not be read, errno EFBIG or as backup_read_blocks.
int compare_image(ld_session *s, const image *img, const device_info &d, progress_mode shown);

#endif
