// Reading the module's whole flash into a raw binary file (--read): a
// backup before an update, or a look at what a module holds. Prints its own
// messages on standard error.
#ifndef TARVION_BACKUP_H
#define TARVION_BACKUP_H

#include "erase.h"

// Whether a file can be created beside path (in its directory), tried with a
// temporary name that is removed again; the run asks before it opens the
// port. Returns 0, or -1 with errno from the creation.
int backup_check(const char *path);

// Reads the whole flash of the module, on an open port whose boot loader is
// synchronised, into the raw binary file path: first learns the part when m
// does not know it yet (Get ID, the table of parts, the flash-size
// register), then Read Memory in blocks of 256 bytes from the flash start,
// with the progress display ("Reading") that ldflags ask for
// (ld_progress_mode). Nothing is erased or written on the
// module. The file is written whole or not at all: under a temporary name in
// the same directory, then renamed onto path. Returns 0, or -1 after a
// message with errno: ENOENT for a part whose flash size is not known;
// EACCES when the boot loader refuses Read Memory (read-out protection);
// otherwise as the read, the identifier or the file left it.
int backup_flash(int fh, int ldflags, const char *path, erase_module *m);

#endif
