#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

ProcResult run_on_terminal(const std::vector<std::string> &argv, ProcOptions opts) {
  PtyPair pty;
  // Held open here, so that the master end never reports a hang-up.
  const int slave = open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios tio;
  if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  opts.stderr_path = pty.slave();
  Process p(argv, opts);
  std::string seen;
  const auto give_up =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.timeout_ms);
  // Once the program has ended, a short silence shows that the terminal has
  // passed on all it wrote; one that runs too long is left to wait() to end.
  while (std::chrono::steady_clock::now() < give_up) {
    const bool ended = !p.running();
    const Bytes got = receive(pty.master(), 4096, ended ? 100 : 5);
    seen.append(got.begin(), got.end());
    if (ended && got.empty()) break;
  }
  ProcResult r = p.wait();
  r.err = seen;
  if (slave >= 0) close(slave);
  return r;
}

}  // namespace testsupport
