// Tests of the simulated module itself, driven over its pseudo-terminal with
// raw bytes: replies, checksums, refusals, faults, dump, log and GPIO model.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "sim_process.h"
#include "testsupport.h"

using testsupport::SimProcess;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t ACK = 0x79;
constexpr uint8_t NACK = 0x1F;

// The host's end of the line: the simulator's terminal, raw, as a flasher
// would set it up.
class Port {
 public:
  explicit Port(const std::string &path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    struct termios tio;
    if (tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Port() { close_port(); }
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void close_port() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void send(const Bytes &b) {
    size_t done = 0;
    while (done < b.size()) {
      ssize_t n = write(fd_, b.data() + done, b.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // Reads until n bytes came or timeout_ms passed without all of them.
  Bytes recv(size_t n, int timeout_ms = 5000) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      uint8_t buf[512];
      ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

  // Sends a block and returns the n bytes of its answer.
  Bytes ask(const Bytes &b, size_t n = 1) {
    send(b);
    return recv(n);
  }

  // True when nothing arrives within ms milliseconds.
  bool quiet(int ms) { return recv(1, ms).empty(); }

 private:
  int fd_ = -1;
};

Bytes address_block(uint32_t a) {
  Bytes b = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
  b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
  return b;
}

Bytes data_block(const Bytes &data) {
  Bytes b = {uint8_t(data.size() - 1)};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t x = 0;
  for (uint8_t v : b) x ^= v;
  b.push_back(x);
  return b;
}

}  // namespace

TEST(Sim, AnswersSyncGetIdEraseWriteAndGoAndDumpsTheFlash) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(port.ask({0x02, 0xFD}, 5), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
  EXPECT_EQ(port.ask({0x43, 0xBC}), Bytes{ACK});
  EXPECT_EQ(port.ask({0xFF, 0x00}), Bytes{ACK});
  EXPECT_EQ(port.ask({0x31, 0xCE}), Bytes{ACK});
  EXPECT_EQ(port.ask(address_block(0x08000010)), Bytes{ACK});
  EXPECT_EQ(port.ask(data_block({1, 2, 3})), Bytes{ACK});
  EXPECT_EQ(port.ask({0x21, 0xDE}), Bytes{ACK});
  EXPECT_EQ(port.ask(address_block(0x08000000)), Bytes{ACK});
  EXPECT_EQ(sim.stop(), 0);

  std::string dump = sim.dump();
  ASSERT_EQ(dump.size(), 131072u);
  EXPECT_EQ(dump.substr(0x0E, 7), std::string("\xff\xff\x01\x02\x03\xff\xff", 7));
  EXPECT_EQ(sim.events(), (std::vector<std::string>{"sync", "erase", "write 08000010 3",
                                                     "go 08000000"}));
}
