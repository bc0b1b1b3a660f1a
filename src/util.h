// The timed wait, the descriptor owner, and small helpers shared by the
// modules.
#ifndef TARVION_UTIL_H
#define TARVION_UTIL_H

#include <sys/time.h>

#include <csignal>
#include <cstdint>

// Waits up to `to` milliseconds for fh to become readable; with a negative fh
// it only sleeps. Returns > 0 (1) when readable, 0 on time-out, -1 with errno
// set when the wait itself failed: EINTR when a signal interrupted it (no
// retry), EBADF for a descriptor of FD_SETSIZE or more, which the descriptor
// set cannot hold, EINVAL for a negative time.
int wait_fh(int fh, int to);

// Like wait_fh, but a wait that a signal interrupts goes on for the rest of
// the `to` milliseconds, unless *stop (when given) is non-zero: then it ends
// at once with -1 and errno EINTR, also when *stop was set before the wait
// began. Signals are blocked outside the wait itself (pselect), so a signal
// that sets *stop just before the wait cannot leave it running. Other
// failures: as wait_fh.
int wait_fh_rest(int fh, int to, const volatile sig_atomic_t *stop);

// wait_fh_rest for fh to become writable (room in its output queue).
int wait_fh_writable_rest(int fh, int to, const volatile sig_atomic_t *stop);

// Fills tv with `ms` milliseconds: tv_sec = ms / 1000 and
// tv_usec = (ms % 1000) * 1000, both truncated toward zero.
void setup_tv(struct timeval *tv, int ms);

// Closes fd (nothing for a negative one), leaving errno as it was: a close on
// a failure path must not replace the cause the caller is about to report.
// Returns close's result, 0 for a negative fd.
int close_keep_errno(int fd);

// Reads text as strtol with base 0 reads a number (leading white space, a
// sign, 0x or 0X for hexadecimal, a leading 0 for octal, else decimal), in 64
// bits, and stores it in *value clamped to lo..hi. Returns 0 when the whole
// text is such a number within lo..hi (an empty text reads as 0); -1 when
// characters are left over or the number lies outside lo..hi (*value is set
// then too).
int read_number(const char *text, long long lo, long long hi, long long *value);

// Reads "ADDR:LEN" (--range): two numbers as read_number reads them, each
// within 32 bits unsigned, LEN above 0 and optionally followed by K
// (KiB). Stores them in *addr and *len. Returns 0, or -1 (errno EINVAL) for
// any other text; *addr and *len are then unchanged.
int read_range(const char *text, uint32_t *addr, uint32_t *len);

// Opens "/dev/null" (read and write) on each of the descriptors 0, 1 and 2
// that is not open, so that a descriptor opened later (the serial port) can
// never take the place of a standard stream and receive what is printed
// there. Returns 0, or -1 with errno from open when one could not be filled.
int open_standard_fds();

// Owns one descriptor (none when negative) and closes it, with
// close_keep_errno, when it goes out of scope. Move-only.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { close(); }
  Fd(Fd &&other) noexcept : fd_(other.release()) {}
  Fd &operator=(Fd &&other) noexcept {
    if (this != &other) {
      close();
      fd_ = other.release();
    }
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Hands the descriptor over to the caller; the owner then holds none.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor now (keeping errno); the owner then holds none.
  int close() { return close_keep_errno(release()); }

 private:
  int fd_;
};

#endif
