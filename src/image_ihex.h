// The Intel HEX reader.
#ifndef TARVION_IMAGE_IHEX_H
#define TARVION_IMAGE_IHEX_H

#include "image.h"

// Reads the Intel HEX text behind fh (which stays open) into img. Returns 0
// at the end of the input and minus the line number at the first malformed
// line, after printing the cause on standard error.
int parse_file_ihex(int fh, image *img);

#endif
