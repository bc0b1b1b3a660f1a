// Reading the module's whole flash into a raw binary file (--read): a
// backup before an update, or a look at what a module holds. Prints its own
// messages on standard error.
#ifndef TARVION_BACKUP_H
#define TARVION_BACKUP_H

#include <csignal>
#include <string>

#include "device.h"
#include "loader.h"
#include "progress.h"
#include "whole_file.h"

// Where the flash goes, opened before the port: standard output's own
// descriptor, or a file written whole or not at all (a device or a FIFO as
// it is).
struct backup_target {
  std::string path;  // as given; it names the target in the messages
  WholeFile file;
};

// Opens path for the flash read; the run does so before it opens the port,
// and nothing here waits without an end. "-" is standard output, which must
// not be a terminal (ENOTTY). A symbolic link is followed, through a chain
// of them, to its end; what is there and no regular file (a device, a FIFO)
// is opened as it is, without waiting, and a regular file is created beside
// it under a temporary name (see WholeFile). A FIFO that no process reads
// yet is tried again every few milliseconds for reader_ms, so that a reader
// started beside the run finds it. Returns 0, or -1 with errno: ETIMEDOUT
// when the FIFO found no reader, EINTR when *stop (when given) was set
// during that wait, otherwise as the open left it (EISDIR for a directory).
int backup_open(const char *path, int reader_ms, const volatile sig_atomic_t *stop,
                backup_target *target);

// Whether path names the same file as file: the same device and inode, or,
// when one of them does not exist, the same place once links and
// directories are resolved. "-" (a standard stream) is never the same.
bool backup_same_file(const char *path, const char *file);

// Reads the whole flash of the module d describes (identified, its flash
// size read), on a session whose boot loader is synchronised, into the
// target backup_open opened: Read Memory in blocks of 256 bytes from the
// flash start, with the progress display ("Reading") in mode shown. Each
// block is read once, guarded by the line's parity and the
// acknowledgements; with agreed, until two reads of it agree (at most
// three). Nothing is erased or written on the module. Standard output and
// what is no regular file (a device, a FIFO) get the flash written as it
// is; a regular file is written whole or not at all: its temporary file is
// renamed onto it, a symbolic link written through, the file at the end of
// its chain replaced and the link kept.
// Returns 0, or -1 after a message with errno: ENOENT for a part whose flash
// size is not known; ERANGE when its flash-size register gave no size the
// part can have (size_doubt); EACCES when the boot loader refuses Read
// Memory (read-out protection); EIO when no two reads of a block agreed;
// otherwise as the read or the file left it.
int backup_flash(ld_session *s, backup_target *target, const device_info &d, progress_mode shown,
                 bool agreed);

#endif
