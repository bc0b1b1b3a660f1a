// Tests of the simulated module itself, driven over its pseudo-terminal with
// raw bytes: replies, checksums, refusals, faults, dump, log and GPIO model.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
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
  uint8_t x = b[0];
  for (uint8_t v : data) {
    b.push_back(v);
    x ^= v;
  }
  b.push_back(x);
  return b;
}

// One exchange: what the host sends and every byte it must get back.
struct Step {
  Bytes send;
  Bytes expect;
};

// A block starting the write of data at addr: command, address, data.
std::vector<Step> write_steps(uint32_t addr, const Bytes &data) {
  return {{{0x31, 0xCE}, {ACK}}, {address_block(addr), {ACK}}, {data_block(data), {ACK}}};
}

// Writes text to a FIFO of the sysfs stand-in, as the flasher's gpio module does.
void write_sysfs(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

// Waits until the log holds count records of this kind and text.
bool wait_for_log(const SimProcess &sim, const std::string &kind, const std::string &rest,
                  int count = 1) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    int n = 0;
    for (const auto &r : sim.log()) n += r.kind == kind && r.rest == rest;
    if (n >= count) return true;
    usleep(5000);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// Runs the simulator to its end (a time-out stands for a hang).
testsupport::ProcResult run_sim(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {testsupport::sim_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::ProcOptions o;
  o.timeout_ms = 10000;
  return testsupport::run_process(argv, o);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
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

// Each case: simulator arguments, then exchanges in order. A refused block
// leaves the simulator waiting for the same block again.
TEST(Sim, RefusesWhatARealBootLoaderRefusesAndShowsRequestedFaults) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"each byte before sync is a refused block", {},
       {{{0x02, 0xFD}, {NACK, NACK}}, {{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"a second sync", {}, {{{0x7F}, {ACK}}, {{0x7F}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"a wrong complement and an unknown command", {},
       {{{0x7F}, {ACK}}, {{0x02, 0xFC}, {NACK}}, {{0x44, 0xBB}, {NACK}}, {{0x00, 0xFF}, {NACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"an erase other than global", {},
       {{{0x7F}, {ACK}}, {{0x43, 0xBC}, {ACK}}, {{0x00, 0xFF}, {NACK}}, {{0xFF, 0x00}, {ACK}}}},
      {"address and data checksums", {},
       {{{0x7F}, {ACK}}, {{0x31, 0xCE}, {ACK}}, {{0x08, 0, 0, 0, 0x09}, {NACK}},
        {address_block(0x08000000), {ACK}}, {{0x00, 0xAB, 0x54}, {NACK}},
        {{0x00, 0xAB, 0xAB}, {ACK}}, {{0x21, 0xDE}, {ACK}}, {{0x08, 0, 0, 0, 0}, {NACK}}}},
      {"addresses outside flash", {"--flash-size", "0x100"},
       {{{0x7F}, {ACK}}, {{0x31, 0xCE}, {ACK}}, {address_block(0x07FFFFFF), {NACK}},
        {address_block(0x08000100), {NACK}}, {address_block(0x080000FF), {ACK}},
        {data_block({1, 2}), {NACK}}, {data_block({1}), {ACK}}}},
      {"nack-block counts the sync byte", {"--nack-block", "1", "--nack-block", "3"},
       {{{0x7F}, {NACK}}, {{0x7F}, {ACK}}, {{0x43, 0xBC}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"nack-cmd refuses the first attempts", {"--nack-cmd", "0x43:2", "--nack-cmd", "0x7f:1"},
       {{{0x7F}, {NACK}}, {{0x7F}, {ACK}}, {{0x43, 0xBC}, {NACK}}, {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {ACK}}, {{0xFF, 0x00}, {ACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"wrong-byte answers in place of the ACK", {"--wrong-byte", "3:0x55"},
       {{{0x7F}, {ACK}}, {{0x43, 0xBC}, {ACK}}, {{0xFF, 0x00}, {0x55}}, {{0xFF, 0x00}, {ACK}}}},
      {"identifier of four bytes", {"--id", "0x12345678"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x12, 0x34, 0x56, 0x78, ACK}}}},
      {"identifier just past two bytes", {"--id", "0x10000"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x00, 0x01, 0x00, 0x00, ACK}}}},
      {"small identifier", {"--id", "65"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x00, 0x41, ACK}}}},
      {"identifier cut short", {"--id-short", "1"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim(c.args);
    ASSERT_TRUE(sim.ready());
    Port port(sim.tty_path());
    ASSERT_TRUE(port.ok());
    for (const Step &s : c.steps) EXPECT_EQ(port.ask(s.send, s.expect.size()), s.expect);
    // Nothing more than the expected answers was sent.
    EXPECT_TRUE(port.quiet(50));
    EXPECT_EQ(sim.stop(), 0);
  }
}

TEST(Sim, SilentModuleLogsTheBlocksButNeverAnswers) {
  SimProcess sim({"--silent"});
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  port.send({0x7F});
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(300));
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(sim.rx_blocks(), (std::vector<Bytes>{{0x7F}, {0x7F}}));
}

TEST(Sim, WriteOverBytesNotErasedIsReportedAndClearsBits) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  ASSERT_EQ(port.ask({0x7F}), Bytes{ACK});
  Bytes full(256);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i);
  std::vector<Step> steps = write_steps(0x0801FF00, full);  // the last 256 bytes
  for (const Step &s : write_steps(0x08000004, {0xF0, 0xFF})) steps.push_back(s);
  for (const Step &s : write_steps(0x08000004, {0x0F, 0x3C, 0xFF})) steps.push_back(s);
  for (const Step &s : steps) EXPECT_EQ(port.ask(s.send, s.expect.size()), s.expect);
  EXPECT_EQ(sim.stop(), 0);

  std::string dump = sim.dump();
  ASSERT_EQ(dump.size(), 0x20000u);
  EXPECT_EQ(dump.substr(4, 4), std::string("\x00\x3c\xff\xff", 4));
  EXPECT_EQ(dump.substr(0x1FF00), std::string(full.begin(), full.end()));
  EXPECT_EQ(sim.events(), (std::vector<std::string>{"sync", "write 0801ff00 256",
                                                     "write 08000004 2", "write 08000004 3",
                                                     "overwrite 08000004"}));
  EXPECT_NE(sim.stderr_text().find("not erased"), std::string::npos);
}

TEST(Sim, LogHasOneTimedLinePerBlockAnswerAndEvent) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(port.ask({0x02, 0xFD}, 5).size(), 5u);
  EXPECT_EQ(sim.stop(), 0);

  std::string text = testsupport::read_file(sim.log_path());
  std::regex line_form(R"(\d+\.\d{6} (rx|tx) [0-9a-f]{2}( [0-9a-f]{2})*|\d+\.\d{6} event \S.*)");
  size_t start = 0, lines = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    ASSERT_NE(nl, std::string::npos) << "last line without line end";
    std::string line = text.substr(start, nl - start);
    EXPECT_TRUE(std::regex_match(line, line_form)) << line;
    start = nl + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 5u);
  auto log = sim.log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].kind + " " + log[0].rest, "rx 7f");
  EXPECT_EQ(log[1].kind + " " + log[1].rest, "event sync");
  EXPECT_EQ(log[2].kind + " " + log[2].rest, "tx 79");
  EXPECT_EQ(log[3].kind + " " + log[3].rest, "rx 02 fd");
  EXPECT_EQ(log[4].kind + " " + log[4].rest, "tx 79 01 04 10 79");
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].t, log[i].t);
}

TEST(Sim, DelaysTheAnswerByAckDelayAndEraseTime) {
  SimProcess sim({"--ack-delay-ms", "200", "--erase-ms", "300"});
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_GE(seconds_since(t0), 0.19);
  EXPECT_EQ(port.ask({0x43, 0xBC}), Bytes{ACK});
  auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ask({0xFF, 0x00}), Bytes{ACK});
  EXPECT_GE(seconds_since(t1), 0.49);
  EXPECT_EQ(sim.stop(), 0);
}

// 11000 baud: one millisecond per byte in either direction.
TEST(Sim, PacedLineTakesTheWireTimeOfEveryByte) {
  SimProcess sim({"--baud", "11000"});
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(port.ask({0x31, 0xCE}), Bytes{ACK});
  EXPECT_EQ(port.ask(address_block(0x08000000)), Bytes{ACK});
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ask(data_block(Bytes(256, 0x5A))), Bytes{ACK});
  EXPECT_GE(seconds_since(t0), 0.258);  // 258 bytes in, one byte out
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port.ask({0x02, 0xFD}, 5).size(), 5u);
  EXPECT_GE(seconds_since(t0), 0.0065);
  EXPECT_EQ(sim.stop(), 0);

  // The log shows the same: the answer follows its block by its own wire time.
  auto log = sim.log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].rest, "02 fd");
  EXPECT_GE(log.back().t - log[log.size() - 2].t, 0.0045);
}

TEST(Sim, HangsUpAfterTheGivenNumberOfWrites) {
  for (bool exit_on_close : {false, true}) {
    SCOPED_TRACE(exit_on_close ? "with --exit-on-close" : "without");
    std::vector<std::string> args = {"--hangup-after", "2"};
    if (exit_on_close) args.push_back("--exit-on-close");
    SimProcess sim(args);
    ASSERT_TRUE(sim.ready());
    Port port(sim.tty_path());
    EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
    for (uint32_t a : {0x08000000u, 0x08000100u}) {
      for (const Step &s : write_steps(a, {1, 2, 3, 4})) {
        EXPECT_EQ(port.ask(s.send, s.expect.size()), s.expect);
      }
    }
    // The line is dead: end of file or EIO on reading, EIO on writing.
    struct pollfd p = {port.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    uint8_t b;
    EXPECT_LE(read(port.fd(), &b, 1), 0);
    EXPECT_EQ(write(port.fd(), "\x31", 1), -1);
    if (exit_on_close) {
      EXPECT_EQ(sim.wait_exit(10000), 0);
    } else {
      EXPECT_EQ(sim.wait_exit(100), -1);
      EXPECT_EQ(sim.stop(), 0);
    }
    auto ev = sim.events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back(), "hangup");
    EXPECT_EQ(sim.dump().substr(0x100, 4), std::string("\x01\x02\x03\x04", 4));
  }
}

TEST(Sim, ExitOnCloseWaitsForTheHostToOpenAndCloseThePort) {
  SimProcess sim({"--exit-on-close"});
  ASSERT_TRUE(sim.ready());
  EXPECT_EQ(sim.wait_exit(200), -1);  // nobody has opened the port yet
  {
    Port port(sim.tty_path());
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(sim.wait_exit(100), -1);
  }
  EXPECT_EQ(sim.wait_exit(10000), 0);
  EXPECT_EQ(sim.dump().size(), 131072u);
}

TEST(Sim, KeepsItsStateWhenTheHostClosesAndReopensThePort) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  {
    Port port(sim.tty_path());
    EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  }
  Port again(sim.tty_path());
  EXPECT_EQ(again.ask({0x7F}), Bytes{NACK});
  EXPECT_EQ(again.ask({0x02, 0xFD}, 5), (Bytes{ACK, 1, 4, 0x10, ACK}));
  EXPECT_EQ(sim.stop(), 0);
}

TEST(Sim, MakesTheLinkAndEndsWithTheDumpOnSigtermOrSigint) {
  for (int sig : {SIGTERM, SIGINT}) {
    testsupport::TempDir tmp;
    std::string link = tmp.file("ttySIM");
    SimProcess sim({"--flash-size", "16", "--link", link});
    ASSERT_TRUE(sim.ready());
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target, static_cast<size_t>(n)), sim.tty_path());
    Port port(link);
    EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
    kill(sim.pid(), sig);
    EXPECT_EQ(sim.wait_exit(10000), 0);
    EXPECT_EQ(sim.dump(), std::string(16, '\xff'));
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
  }
}

TEST(Sim, MalformedCommandLineGetsUsageAndStatus2) {
  testsupport::TempDir tmp;
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"-x"}, {"stray"}, {"--baud"}, {"--baud", "fast"}, {"--baud=-1"},
      {"--flash-size", "0"}, {"--flash-size", "0x10000000"}, {"--flash-base", "0xFFFFFF00"},
      {"--id", "0x100000000"}, {"--id", "0x"}, {"--id", "12a"}, {"--nack-cmd", "0x43"},
      {"--nack-cmd", "0x143:1"}, {"--nack-cmd", ":1"}, {"--wrong-byte", "0:0x55"},
      {"--wrong-byte", "1:256"}, {"--hangup-after", "0"}, {"--id-short", "256"},
      {"--nack-block", "0"}, {"--erase-ms", "99999999"}, {"--link", ""}, {"--dump="},
      {"--sysfs", tmp.path()}, {"--reset-gpio", "3", "--boot-gpio", "4"},
      {"--sysfs", tmp.path(), "--reset-gpio", "3", "--boot-gpio", "3"},
      {"--get-reply", "00", "--extended-erase", "--get-reply", "0x"},
      {"--get-reply", "123", "--extended-erase"}, {"--get-reply", "00"},
  };
  for (const auto &args : cases) {
    auto r = run_sim(args);
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err.rfind("tarvion_module_sim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Usage: tarvion_module_sim"), std::string::npos);
  }
  auto help = run_sim({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: tarvion_module_sim", 0), 0u);
  EXPECT_NE(help.out.find("--hangup-after N"), std::string::npos);
  EXPECT_TRUE(help.err.empty());
}

TEST(Sim, HelperReportsASimulatorThatNeverGetsReady) {
  EXPECT_NONFATAL_FAILURE(
      {
        SimProcess bad({"--baud", "fast"});
        EXPECT_FALSE(bad.ready());
        EXPECT_EQ(bad.stop(), 2);
      },
      "simulator not ready (status 2): tarvion_module_sim: invalid argument 'fast' for --baud");
}

TEST(Sim, SetUpFailureEndsWithStatus1) {
  testsupport::TempDir tmp;
  testsupport::write_file(tmp.file("plain"), "x");
  const std::vector<std::vector<std::string>> cases = {
      {"--log", tmp.file("missing/sim.log")},
      {"--link", tmp.file("plain")},
      {"--sysfs", tmp.file("missing/sysfs"), "--reset-gpio", "1", "--boot-gpio", "2"},
      {"--sysfs", tmp.file("plain"), "--reset-gpio", "1", "--boot-gpio", "2"},
  };
  for (const auto &args : cases) {
    auto r = run_sim(args);
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << "readiness line printed before a failure";
    EXPECT_EQ(r.err.rfind("tarvion_module_sim: ", 0), 0u) << r.err;
  }
  EXPECT_EQ(testsupport::read_file(tmp.file("plain")), "x");
}

namespace {

// A sysfs stand-in with the reset line 17 and the boot-select line 22.
struct GpioSim {
  testsupport::TempDir tmp;
  std::string gpio = tmp.file("sysfs/class/gpio");
  SimProcess sim{{"--sysfs", tmp.file("sysfs"), "--reset-gpio", "17", "--boot-gpio", "22"}};

  void reset(char v) { write_sysfs(gpio + "/gpio17/value", std::string(1, v)); }
  void boot(char v) { write_sysfs(gpio + "/gpio22/value", std::string(1, v)); }

  // The flasher's entry sequence: reset low, boot-select high, reset high.
  void enter_boot_loader() {
    write_sysfs(gpio + "/gpio17/direction", "out\n");
    reset('0');
    write_sysfs(gpio + "/gpio22/direction", "out\n");
    boot('1');
    reset('1');
  }

  // The release sequence: reset low, boot-select low, reset high.
  void release() {
    reset('0');
    boot('0');
    reset('1');
  }

  std::vector<std::string> records(const char *kind) const {
    std::vector<std::string> out;
    for (const auto &r : sim.log()) {
      if (r.kind == kind) out.push_back(r.rest);
    }
    return out;
  }
};

bool is_fifo(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

TEST(SimGpio, CreatesTheSysfsStandInAndRemovesItsFifosOnExit) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  const std::vector<std::string> files = {"export", "unexport", "gpio17/direction",
                                          "gpio17/value", "gpio22/direction", "gpio22/value"};
  for (const auto &f : files) EXPECT_TRUE(is_fifo(g.gpio + "/" + f)) << f;
  write_sysfs(g.gpio + "/export", "22\n");
  write_sysfs(g.gpio + "/unexport", "22\n17\n");
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.records("gpio"),
            (std::vector<std::string>{"export 22", "unexport 22", "unexport 17"}));
  for (const auto &f : files) EXPECT_FALSE(is_fifo(g.gpio + "/" + f)) << f;
}

TEST(SimGpio, AnswersOnlyAfterResetRoseWhileBootSelectWasHigh) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  Port port(g.sim.tty_path());
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the application answered";
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  for (const Step &s : write_steps(0x08000000, {0xAA})) EXPECT_EQ(port.ask(s.send, 1), s.expect);
  g.release();
  ASSERT_TRUE(wait_for_log(g.sim, "event", "restart app"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the application answered";
  EXPECT_EQ(g.sim.stop(), 0);

  // Writes to different files that the simulator sees at once are put in the
  // order of a real sequence, so directions may come before values.
  auto gpio = g.records("gpio");
  std::vector<std::string> values;
  for (const auto &r : gpio) {
    if (r.rfind("direction", 0) != 0) values.push_back(r);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"reset 0", "boot 1", "reset 1", "reset 0", "boot 0",
                                              "reset 1"}));
  EXPECT_EQ(std::count(gpio.begin(), gpio.end(), "direction reset out"), 1);
  EXPECT_EQ(std::count(gpio.begin(), gpio.end(), "direction boot out"), 1);
  EXPECT_EQ(g.records("event"), (std::vector<std::string>{"restart boot", "sync",
                                                          "write 08000000 1", "restart app"}));
  EXPECT_NE(g.sim.stderr_text().find("module restarted into its application\n"),
            std::string::npos);
  EXPECT_EQ(g.sim.dump()[0], '\xaa');
}

TEST(SimGpio, ResetPulseRestartsTheBootLoaderUnsynchronised) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  Port port(g.sim.tty_path());
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(port.ask({0x7F}), Bytes{NACK});
  g.reset('0');
  g.reset('1');
  ASSERT_TRUE(wait_for_log(g.sim, "event", "restart boot", 2));  // the entry made the first
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(g.sim.stop(), 0);
}

// Without waiting for acknowledgements the host may pull the lines right
// after its last bytes: the module must still take those bytes in first.
TEST(SimGpio, BytesWrittenBeforeALineChangeReachTheBootLoaderFirst) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  Port port(g.sim.tty_path());
  g.enter_boot_loader();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  Bytes burst = {0x31, 0xCE};
  for (uint8_t b : address_block(0x08000010)) burst.push_back(b);
  for (uint8_t b : data_block({0x11, 0x22})) burst.push_back(b);
  port.send(burst);
  g.release();
  ASSERT_TRUE(wait_for_log(g.sim, "event", "restart app"));
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.sim.dump().substr(0x10, 2), "\x11\x22");
  auto ev = g.records("event");
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[2], "write 08000010 2");
}
