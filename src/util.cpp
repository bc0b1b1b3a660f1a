#include "util.h"

#include <sys/select.h>

#include <cerrno>
#include <ctime>

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

namespace {

long long now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int wait_fh_rest(int fh, int to, const volatile sig_atomic_t *stop) {
  if (to < 0) return wait_fh(fh, to);  // let select refuse it as usual
  const long long deadline = now_ns() + static_cast<long long>(to) * 1000000;
  int left = to;
  for (;;) {
    const int r = wait_fh(fh, left);
    if (r >= 0 || errno != EINTR) return r;
    if (stop && *stop) {
      errno = EINTR;
      return -1;
    }
    // Whatever time is left, even none, gets one more look at the descriptor
    // so that a byte that came in with the signal is not taken for a time-out.
    const long long rest = deadline - now_ns();
    left = rest > 0 ? static_cast<int>((rest + 999999) / 1000000) : 0;
  }
}
