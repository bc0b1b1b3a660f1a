// Reading the module's whole flash into a raw binary file (--read): a
// backup before an update, or a look at what a module holds. Prints its own
// messages on standard error.
#ifndef TARVION_BACKUP_H
#define TARVION_BACKUP_H

#include "device.h"
#include "loader.h"
#include "progress.h"

// Whether the flash can be stored at path; the run asks before it opens the
// port. "-" is standard output, which must not be a terminal (ENOTTY). A
// symbolic link is followed, through a chain of them, to its end. What is
// there and no regular file (a device, a FIFO) must be writable (a directory:
// EISDIR); otherwise a file must be creatable beside it, tried with a
// temporary name that is removed again. Returns 0, or -1 with errno.
int backup_check(const char *path);

// Whether path names the same file as file: the same device and inode, or,
// when one of them does not exist, the same place once links and
// directories are resolved. "-" (a standard stream) is never the same.
bool backup_same_file(const char *path, const char *file);

// Reads the whole flash of the module d describes (identified, its flash
// size read), on a session whose boot loader is synchronised, into the raw
// binary file path: Read Memory in blocks of 256 bytes from the flash start,
// with the progress display ("Reading") in mode shown. Each block is read
// once, guarded by the line's parity and the acknowledgements; with agreed,
// until two reads of it agree (at most three). Nothing is erased or
// written on the module. "-" writes the flash to standard output, and what
// is no regular file (a device, a FIFO, opened before the read) gets it
// written as it is. A regular file is written whole or not at all: under a
// temporary name beside it, then renamed onto it; a symbolic link is written
// through, the file at the end of its chain replaced and the link kept.
// Returns 0, or -1 after a message with errno: ENOENT for a part whose flash
// size is not known; ERANGE when its flash-size register gave no size the
// part can have (size_doubt); EACCES when the boot loader refuses Read
// Memory (read-out protection); EIO when no two reads of a block agreed;
// otherwise as the read or the file left it.
int backup_flash(ld_session *s, const char *path, const device_info &d, progress_mode shown,
                 bool agreed);

#endif
