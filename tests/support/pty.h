// Pseudo-terminals for the serial tests: a pair of ends, a scripted peer at
// the far end of a port the driver opened, and the simulated module's port.
#ifndef TARVION_PTY_H
#define TARVION_PTY_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <thread>

#include "bytes.h"
#include "loader_testing.h"
#include "sim_process.h"
#include "uart.h"

namespace testsupport {

// Writes all of b to fd. Returns false when the descriptor refused.
bool send_all(int fd, const Bytes &b);

// What fd delivers: n bytes, or fewer when none came for quiet_ms.
Bytes receive(int fd, size_t n, int quiet_ms = 2000);

// A pseudo-terminal: its master end and the path of its slave.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair() { close_master(); }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
  int master() const { return master_; }
  const std::string &slave() const { return slave_; }
  void close_master();  // the far end hangs up

 private:
  int master_ = -1;
  std::string slave_;
};

// The far end of a pseudo-terminal whose near end is opened with uart_open.
class Peer {
 public:
  Peer() {
    if (!pty_.slave().empty()) port_ = uart_open(pty_.slave().c_str(), 115200, UART_EVEN);
  }
  ~Peer() {
    if (port_ >= 0) close(port_);
  }
  int port() const { return port_; }
  void close_master() { pty_.close_master(); }
  Bytes receive(size_t n, int quiet_ms = 2000) {
    return testsupport::receive(pty_.master(), n, quiet_ms);
  }
  void send(const Bytes &b) { EXPECT_TRUE(send_all(pty_.master(), b)); }

 private:
  PtyPair pty_;
  int port_ = -1;
};

// The host's end of the line: the simulator's terminal, raw, as a flasher
// would set it up.
class RawPort {
 public:
  explicit RawPort(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    struct termios tio;
    if (tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~RawPort() {
    if (fd_ >= 0) close(fd_);
  }
  RawPort(const RawPort &) = delete;
  RawPort &operator=(const RawPort &) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void send(const Bytes &b) { send_all(fd_, b); }

  // Sends a block and returns the n bytes of its answer.
  Bytes ask(const Bytes &b, size_t n = 1) {
    send(b);
    return receive(fd_, n, 5000);
  }

  // True when nothing arrives within ms milliseconds.
  bool quiet(int ms) { return receive(fd_, 1, ms).empty(); }

 private:
  int fd_ = -1;
};

// Plays one exchange in a thread: awaits `expect` bytes, sends `reply`, and
// hangs up afterwards when asked to.
class Script {
 public:
  Script(Peer &peer, size_t expect, Bytes reply, bool hang_up = false)
      : thread_([&peer, expect, reply, hang_up, this] {
          received = peer.receive(expect);
          peer.send(reply);
          if (hang_up) peer.close_master();
        }) {}
  ~Script() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  Bytes received;

 private:
  std::thread thread_;
};

// The simulated module's port, opened as the driver opens it.
class SimPort {
 public:
  explicit SimPort(const SimProcess &sim)
      : fh_(sim.ready() ? uart_open(sim.tty_path().c_str(), 115200, UART_EVEN) : -1) {}
  ~SimPort() {
    if (fh_ >= 0) close(fh_);
  }
  int fh() const { return fh_; }

 private:
  int fh_;
};

}  // namespace testsupport

#endif
