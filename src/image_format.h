// The choice of reader for a firmware file: by its content, or the format
// the user names. Sits above the readers (ELF, S-record, Intel HEX, raw).
#ifndef TARVION_IMAGE_FORMAT_H
#define TARVION_IMAGE_FORMAT_H

#include "image.h"

// How a firmware file is read.
enum img_format {
  IMG_FORMAT_AUTO,    // the content decides (see parse_file)
  IMG_FORMAT_IHEX,    // Intel HEX alone
  IMG_FORMAT_SREC,    // Motorola S-record alone
  IMG_FORMAT_ELF,     // ELF alone
  IMG_FORMAT_BINARY,  // raw binary alone, one chunk at address 0, whatever it begins with
};

// The format named by text ("auto", "ihex", "srec", "elf", "binary"). Returns
// 0, or -1 with errno EINVAL for any other text (*fmt untouched).
int img_format_parse(const char *text, img_format *fmt);

// Loads the file fn as the format fmt. The name "-" stands for standard
// input. A terminal is refused ("FN: a terminal, not a firmware file",
// EINVAL); a pipe is read whole first. With IMG_FORMAT_AUTO the content
// decides: ELF by its magic bytes, then by its first line that is not blank,
// Intel HEX (':'), Motorola S-record ('S' and a digit), and anything else raw
// binary, read without a message. A forced format is read as that format
// alone, and a raw binary may begin with anything. The record need not be
// initialised. Returns 0 for a file with addresses (Intel HEX, S-record,
// ELF), the file size for raw binary, and a negative value on failure:
//  - the open failed: its result, errno set by it, record untouched;
//  - a read, size query or allocation failed: -1 with errno set (EISDIR for
//    a directory, EFBIG for a raw file over IMG_RAW_MAX);
//  - -N for a malformed Intel HEX or S-record line N, or minus the line
//    after the last for a file without its end record; -1 for a malformed
//    ELF file (the reader has printed the cause; errno is EINVAL).
// fn is borrowed: img->fn points at the caller's text once the file is open.
// After a successful open the record always holds an image for img_free.
int parse_file_as(const char *fn, img_format fmt, image *img);

// parse_file_as with IMG_FORMAT_AUTO.
int parse_file(const char *fn, image *img);

#endif
