#include "util.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

void setup_tv(struct timeval *tv, int ms) {
  tv->tv_sec = ms / 1000;
  tv->tv_usec = (ms % 1000) * 1000;
}

int wait_fh(int fh, int to) {
  // FD_SET beyond the set's last bit would write past the fd_set record.
  if (fh >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  struct timeval tv;
  setup_tv(&tv, to);
  if (fh < 0) return select(0, nullptr, nullptr, nullptr, &tv);
  fd_set rfds;
  FD_ZERO(&rfds);
  FD_SET(fh, &rfds);
  return select(fh + 1, &rfds, nullptr, nullptr, &tv);
}

int read_number(const char *text, long long lo, long long hi, long long *value) {
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 0);
  const bool in_range = errno != ERANGE && v >= lo && v <= hi;
  *value = std::min(std::max(v, lo), hi);
  return *end == '\0' && in_range ? 0 : -1;
}

int read_range(const char *text, uint32_t *addr, uint32_t *len) {
  const std::string t = text ? text : "";
  const size_t colon = t.find(':');
  std::string count = colon == std::string::npos ? "" : t.substr(colon + 1);
  const bool kib = !count.empty() && (count.back() == 'K' || count.back() == 'k');
  if (kib) count.pop_back();
  long long a = 0, n = 0;
  const long long most = kib ? UINT32_MAX / 1024 : UINT32_MAX;
  // An empty text reads as 0 for read_number: neither number may be empty.
  if (colon == 0 || count.empty() ||
      read_number(t.substr(0, colon).c_str(), 0, UINT32_MAX, &a) < 0 ||
      read_number(count.c_str(), 1, most, &n) < 0) {
    errno = EINVAL;
    return -1;
  }
  *addr = static_cast<uint32_t>(a);
  *len = static_cast<uint32_t>(kib ? n * 1024 : n);
  return 0;
}

int close_keep_errno(int fd) {
  if (fd < 0) return 0;
  const int saved = errno;
  const int r = ::close(fd);
  errno = saved;
  return r;
}

int open_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open takes the lowest free descriptor: this one, as those below it
    // are open by now.
    if (::open("/dev/null", O_RDWR) < 0) return -1;
  }
  return 0;
}

namespace {

// One pselect on fh (none when negative), for reading or for writing, for
// at most ns nanoseconds, with the signal mask `mask` while it waits.
int pselect_once(int fh, bool for_write, long long ns, const sigset_t *mask) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  if (fh < 0) return pselect(0, nullptr, nullptr, nullptr, &ts, mask);
  fd_set fds;
  FD_ZERO(&fds);
  FD_SET(fh, &fds);
  return pselect(fh + 1, for_write ? nullptr : &fds, for_write ? &fds : nullptr, nullptr, &ts,
                 mask);
}

long long now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int wait_rest(int fh, bool for_write, int to, const volatile sig_atomic_t *stop) {
  if (to < 0) return wait_fh(fh, to);  // let select refuse it as usual
  if (fh >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  // A signal that sets *stop between the look at it and the start of the wait
  // would otherwise go unnoticed until the wait ends by itself: signals stay
  // blocked except inside pselect, which unblocks them atomically.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  const long long deadline = now_ns() + static_cast<long long>(to) * 1000000;
  long long left_ns = static_cast<long long>(to) * 1000000;
  int r;
  for (;;) {
    if (stop && *stop) {
      r = -1;
      errno = EINTR;
      break;
    }
    r = pselect_once(fh, for_write, left_ns, &old);
    if (r >= 0 || errno != EINTR) break;
    // Whatever time is left, even none, gets one more look at the descriptor
    // so that a byte that came in with the signal is not taken for a time-out.
    left_ns = std::max(deadline - now_ns(), 0LL);
  }
  const int err = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return r;
}

}  // namespace

int wait_fh_rest(int fh, int to, const volatile sig_atomic_t *stop) {
  return wait_rest(fh, false, to, stop);
}

int wait_fh_writable_rest(int fh, int to, const volatile sig_atomic_t *stop) {
  return wait_rest(fh, true, to, stop);
}
