#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace testsupport {

bool send_all(int fd, const Bytes &b) {
  size_t done = 0;
  while (done < b.size()) {
    const ssize_t n = write(fd, b.data() + done, b.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

Bytes receive(int fd, size_t n, int quiet_ms) {
  Bytes got;
  uint8_t buf[512];
  while (got.size() < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, quiet_ms) <= 0) break;
    const ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
}

void PtyPair::close_master() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace testsupport
