// The module's ROM boot-loader protocol over an open serial port.
#ifndef TARVION_LOADER_H
#define TARVION_LOADER_H

#include "image.h"

#define LD_NOCHKSUM 1  // send blocks without their checksum byte
#define LD_WAITACK 2   // await and examine the acknowledgement of each block
#define LD_VERBOSE 4   // verbose operation (carried along)
#define LD_PROGRESS 8  // ld_write_image prints its progress display

int ld_init_device(int fh, int flags);
unsigned int ld_getid(int fh, int flags);
int ld_erase_all(int fh, int flags);
int ld_write_image(int fh, image *img, int flags);
int ld_restart(int fh, int addr, int flags);

#endif
