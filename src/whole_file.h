// A file written whole or not at all. A regular file, or one that does not
// exist yet, is written under a temporary name beside the end of its chain
// of symbolic links and renamed onto it once it is complete, so that a
// failure leaves what was there; the links stay links. What exists there and
// is no regular file (a device, a FIFO) is written as it is, and so is a
// file behind a link only the kernel resolves (/proc/self/fd/N), beside
// which nothing can be placed.
#ifndef TARVION_WHOLE_FILE_H
#define TARVION_WHOLE_FILE_H

#include <csignal>
#include <cstddef>
#include <string>

#include "util.h"

// The path a write through path reaches: every symbolic link of a chain is
// followed (a relative one from its own directory) to a path that is no
// link, which need not exist. Returns 0, or -1 with errno (ELOOP for a
// chain without end).
int follow_links(const std::string &path, std::string *out);

constexpr int WHOLE_KEEP_MODE = 1;  // a file replaced keeps its mode

// One file being written; a temporary file not committed is removed when
// the record goes.
class WholeFile {
 public:
  WholeFile() = default;
  ~WholeFile();
  WholeFile(const WholeFile &) = delete;
  WholeFile &operator=(const WholeFile &) = delete;

  // Opens path for writing, as the file comment says. What is no regular
  // file is opened write-only without waiting (a FIFO without a reader fails
  // with ENXIO) and without becoming the controlling terminal, then used
  // with blocking writes. A temporary file gets the mode of the file it
  // replaces with WHOLE_KEEP_MODE, else the mode any new file of the user
  // gets (0666 less the umask). Returns 0, or -1 with errno (EISDIR for a
  // directory, EEXIST when already open).
  int open(const char *path, int flags);

  // Takes over fd (a copy of standard output, say), written as it is.
  // Returns 0; -1 for a negative fd, errno as the call that gave it left
  // it; -1 with EEXIST (fd closed) when already open.
  int adopt(int fd);

  // Whether the file is written as it is (a device, a FIFO).
  bool direct() const { return fd_.ok() && temp_.empty(); }

  // Writes data whole; a write a signal interrupts goes on unless *stop
  // (when given) is set. Returns 0, or -1 with errno.
  int write(const void *data, size_t size, const volatile sig_atomic_t *stop);

  // Ends the file: a temporary one is forced to the medium and renamed onto
  // its place, a direct one closed. Returns 0, or -1 with errno.
  int commit();

 private:
  Fd fd_;
  std::string target_;  // the end of the chain of links
  std::string temp_;    // the temporary file's name; empty: none
};

#endif
