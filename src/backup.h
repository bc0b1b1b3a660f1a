// Reading the module's whole flash into a raw binary file (--read): a
// backup before an update, or a look at what a module holds. Prints its own
// messages on standard error.
#ifndef TARVION_BACKUP_H
#define TARVION_BACKUP_H

#include "device.h"
#include "loader.h"

// Whether a file can be created beside path (in its directory), tried with a
// temporary name that is removed again; the run asks before it opens the
// port. Returns 0, or -1 with errno from the creation.
int backup_check(const char *path);

// Reads the whole flash of the module d describes (identified, its flash
// size read), on a session whose boot loader is synchronised, into the raw
// binary file path: Read Memory in blocks of 256 bytes from the flash start,
// with the progress display ("Reading"). Nothing is erased or written on the
// module. The file is written whole or not at all: under a temporary name in
// the same directory, then renamed onto path. Returns 0, or -1 after a
// message with errno: ENOENT for a part whose flash size is not known;
// EACCES when the boot loader refuses Read Memory (read-out protection);
// otherwise as the read or the file left it.
int backup_flash(ld_session *s, const char *path, const device_info &d);

#endif
