// Reading the module's flash, whole or a range of it, into a raw binary file
// (--read): a backup before an update, or a look at what a module holds. Prints its own
// messages on standard error.
#ifndef TARVION_BACKUP_H
#define TARVION_BACKUP_H

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

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

// A part of the flash to read (--range): len bytes from addr, as text gave
// them; len 0: the whole flash.
struct backup_range {
  uint32_t addr = 0;
  uint32_t len = 0;
  const char *text = "";
};

// Whether range lies inside the flash of part p, whose identifier is id, of
// flash_bytes (above 0). Returns 0, or -1 after "--range 0x08100000:1K is
// outside the flash of part 0x410 (0x08000000-0x0801FFFF)", errno ERANGE.
int backup_range_check(const backup_range &range, uint32_t id, const part_info &p,
                       uint32_t flash_bytes);

// Reads data->size() bytes from start in blocks of 256, each step shown on
// shown, each block read once or, with agreed, until two reads of it agree
// (at most three). Returns 0, or -1 after a message, errno EACCES when the
// boot loader refuses Read Memory (read-out protection), EIO when no two
// reads of a block agreed, otherwise as the read left it (EINTR: stopped).
int backup_read_blocks(ld_session *s, progress_display *shown, uint32_t start, bool agreed,
                       std::vector<unsigned char> *data);

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
// otherwise as the read or the file left it. With a range (len above 0)
// only that part of the flash is read, once it lies inside the flash (else
// ERANGE, nothing read). A run stopped while the flash-size register was
// read says that it was stopped (EINTR).
int backup_flash(ld_session *s, backup_target *target, const device_info &d, progress_mode shown,
                 bool agreed, const backup_range &range = {});

#endif
