// The ELF reader: the loadable segments of a 32-bit little-endian ARM
// executable, at their load addresses.
#ifndef TARVION_IMAGE_ELF_H
#define TARVION_IMAGE_ELF_H

#include "image.h"

// True when the first four bytes are the ELF magic, 0x7F 'E' 'L' 'F'.
bool elf_magic(const unsigned char *head, unsigned long len);

// Reads the executable behind fh (a regular file, read with pread whatever
// the descriptor's position) into img, clearing the record first: every
// program header of type PT_LOAD with file bytes becomes a run of those
// bytes at its physical address (p_paddr, the load address: initialised
// data lie in flash there and are copied to RAM at start-up). Returns 0
// (an image without such segments has one empty chunk at address 0), or -1
// with errno set: EINVAL for a file that is not such an executable or is
// malformed, after printing "FN: what is wrong" on standard error; errno of
// a failed read; EIO for a file cut short while read; ENOMEM. The chunks
// read so far stay in img for img_free.
int parse_file_elf(int fh, image *img, const char *fn);

#endif
