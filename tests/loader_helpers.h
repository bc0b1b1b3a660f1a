// Helpers of the loader tests: a scripted peer on a pseudo-terminal, the
// simulated module's port and log, hand-built images, captured stderr.
#ifndef TARVION_LOADER_HELPERS_H
#define TARVION_LOADER_HELPERS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image.h"
#include "sim_process.h"
#include "testsupport.h"
#include "uart.h"
#include "util.h"

namespace loader_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using testsupport::SimProcess;

constexpr uint32_t kFlashBase = 0x08000000;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The far end of a pseudo-terminal whose near end is opened with uart_open.
class Peer {
 public:
  Peer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
      port_ = uart_open(ptsname(master_), 115200, UART_EVEN);
  }
  ~Peer() {
    close(port_);
    close_master();
  }
  int port() const { return port_; }
  void close_master() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  // What the port sent: n bytes, or fewer when none came for `quiet_ms`.
  Bytes receive(size_t n, int quiet_ms = 2000) {
    Bytes got;
    uint8_t buf[512];
    while (got.size() < n && wait_fh(master_, quiet_ms) > 0) {
      const ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  void send(const Bytes &b) { ASSERT_EQ(write(master_, b.data(), b.size()), ssize_t(b.size())); }

 private:
  int master_ = -1;
  int port_ = -1;
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

inline Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The blocks the simulated module received, once there are at least n of
// them (it logs a block as soon as it has taken it in) or 5 s have passed.
inline std::vector<Bytes> blocks_received(const SimProcess &sim, size_t n) {
  const auto start = Clock::now();
  std::vector<Bytes> got = sim.rx_blocks();
  while (got.size() < n && seconds_since(start) < 5) {
    wait_fh(-1, 10);
    got = sim.rx_blocks();
  }
  return got;
}

// The simulated module's port, opened as the driver opens it.
class SimPort {
 public:
  explicit SimPort(const SimProcess &sim)
      : fh_(sim.ready() ? uart_open(sim.tty_path().c_str(), 115200, UART_EVEN) : -1) {}
  ~SimPort() { close(fh_); }
  int fh() const { return fh_; }

 private:
  int fh_;
};

// An image built by hand, its chunk table and blocks in heap memory that
// img_free releases, as a loaded image's.
class HandImage {
 public:
  HandImage(const char *fn, const std::vector<std::pair<uint32_t, Bytes>> &chunks) {
    img_.fn = fn;
    img_.chunks = img_.slots = static_cast<int>(chunks.size());
    img_.img = static_cast<image_chunk *>(std::calloc(chunks.size() + 1, sizeof(image_chunk)));
    for (size_t i = 0; i < chunks.size(); ++i) {
      image_chunk &c = img_.img[i];
      c.offset = static_cast<int>(chunks[i].first);
      c.len = c.cap = static_cast<int>(chunks[i].second.size());
      c.data = static_cast<unsigned char *>(std::malloc(chunks[i].second.size() + 1));
      std::memcpy(c.data, chunks[i].second.data(), chunks[i].second.size());
    }
  }
  ~HandImage() { img_free(&img_); }
  HandImage(const HandImage &) = delete;
  HandImage &operator=(const HandImage &) = delete;
  image *get() { return &img_; }

 private:
  image img_{};
};

// n bytes counting up from `first`, wrapping at 256.
inline Bytes counting(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// Sends what the operation writes to standard error into a file meanwhile.
class StderrCapture {
 public:
  explicit StderrCapture(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = dup(2);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() { finish(); }
  std::string finish() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    return testsupport::read_file(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

}  // namespace loader_test

#endif
