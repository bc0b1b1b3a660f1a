// The Motorola S-record reader.
#ifndef TARVION_IMAGE_SREC_H
#define TARVION_IMAGE_SREC_H

#include <cstddef>

#include "image.h"

// What the reader carries from line to line besides the image.
struct srec_state {
  unsigned long data_records;  // S1, S2 and S3 records so far
  bool ended;                  // an S7, S8 or S9 record was read
};

// Reads the S-record text behind fh (which stays open) into img, clearing
// the record first: S1, S2 and S3 data at their 16-, 24- and 32-bit
// addresses, S0 passed over, S5 and S6 counts checked, S7, S8 and S9 taken
// as the end. Blank lines (spaces, tabs, ^Z) are passed over. Returns 0 when
// the input held an end record; minus the line number at the first malformed
// line after printing the cause and the line on standard error; minus the
// line after the last, with a message, when the end record is missing (the
// file may be cut short); or IHEX_FAILED with errno set when a read or an
// allocation failed. The chunks read so far stay in img for img_free.
int parse_file_srec(int fh, image *img);

// Decodes one line of llen characters (already cut at its end of line) into
// img with the reader's state st. Returns 0 when the record was used or
// passed over, -1 for a malformed line after printing why on standard
// error, or IHEX_FAILED with errno set when growing the image failed.
int srec_decode_line(image *img, srec_state *st, const char *line, size_t llen);

#endif
