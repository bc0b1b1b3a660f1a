#include "pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "uart.h"

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

Peer::Peer() {
  if (!pty_.slave().empty()) port_ = uart_open(pty_.slave().c_str(), 115200, UART_EVEN);
}

Peer::~Peer() {
  if (port_ >= 0) close(port_);
}

void Peer::send(const Bytes &b) {
  EXPECT_TRUE(send_all(pty_.master(), b));
}

Script::Script(Peer &peer, size_t expect, Bytes reply, bool hang_up)
    : thread_([&peer, expect, reply, hang_up, this] {
        received = peer.receive(expect);
        peer.send(reply);
        if (hang_up) peer.close_master();
      }) {}

SimPort::SimPort(const SimProcess &sim)
    : fh_(sim.ready() ? uart_open(sim.tty_path().c_str(), 115200, UART_EVEN) : -1) {}

SimPort::~SimPort() {
  if (fh_ >= 0) close(fh_);
}

}  // namespace testsupport
