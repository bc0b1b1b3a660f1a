// Tests of the simulated module itself: its boot loader fed in-process, and
// the whole program driven over its pseudo-terminal with raw bytes (timing,
// faults of the line, dump, log and GPIO model).
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "bootloader.h"
#include "bytes.h"
#include "capture.h"
#include "pty.h"
#include "sim_process.h"
#include "testsupport.h"
#include "timing.h"

using namespace testsupport;

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
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;

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

// The boot loader alone, in-process: its options from a command line as the
// simulator takes it, a flash and a log of its own.
class InProcess {
 public:
  explicit InProcess(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"tarvion_module_sim", "--log", dir_.file("sim.log")});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    std::string err;
    EXPECT_EQ(sim::parse_sim_options(int(argv.size()), argv.data(), opts_, err), 0) << err;
    flash_ = std::make_unique<sim::Flash>(opts_.flash_base, opts_.flash_size);
    EXPECT_EQ(log_.open(opts_.log), 0);
    loader_ = std::make_unique<sim::BootLoader>(opts_, *flash_, log_);
  }

  // Feeds a block byte by byte and returns every byte answered to it.
  Bytes ask(const Bytes &block) {
    Bytes out;
    for (uint8_t b : block) {
      sim::Reply reply;
      if (loader_->feed(b, reply)) out = cat(out, reply.bytes);
    }
    return out;
  }

  std::vector<SimLogRecord> log() const { return parse_sim_log(read_file(dir_.file("sim.log"))); }
  std::vector<std::string> events() const { return rests(of_kind(log(), "event")); }
  std::string flash() const { return std::string(flash_->bytes().begin(), flash_->bytes().end()); }

 private:
  TempDir dir_;
  sim::SimOptions opts_;
  sim::Log log_{0};
  std::unique_ptr<sim::Flash> flash_;
  std::unique_ptr<sim::BootLoader> loader_;
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

// Runs the simulator to its end (a time-out stands for a hang).
ProcResult run_sim(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {sim_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcOptions o;
  o.timeout_ms = 10000;
  return run_process(argv, o);
}

}  // namespace

TEST(SimBootLoader, AnswersSyncGetIdEraseWriteAndGoAndProgramsTheFlash) {
  InProcess m;
  EXPECT_EQ(m.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(m.ask({0x02, 0xFD}), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
  EXPECT_EQ(m.ask({0x43, 0xBC}), Bytes{ACK});
  EXPECT_EQ(m.ask({0xFF, 0x00}), Bytes{ACK});
  EXPECT_EQ(m.ask({0x31, 0xCE}), Bytes{ACK});
  EXPECT_EQ(m.ask(address_block(0x08000010)), Bytes{ACK});
  EXPECT_EQ(m.ask(data_block({1, 2, 3})), Bytes{ACK});
  EXPECT_EQ(m.ask({0x21, 0xDE}), Bytes{ACK});
  EXPECT_EQ(m.ask(address_block(0x08000000)), Bytes{ACK});

  const std::string flash = m.flash();
  ASSERT_EQ(flash.size(), 131072u);
  EXPECT_EQ(flash.substr(0x0E, 7), std::string("\xff\xff\x01\x02\x03\xff\xff", 7));
  EXPECT_EQ(m.events(),
            (std::vector<std::string>{"sync", "erase", "write 08000010 3", "go 08000000"}));
}

// Each case: simulator arguments, then exchanges in order. A refused block
// leaves the simulator waiting for the same block again.
TEST(SimBootLoader, RefusesWhatARealBootLoaderRefusesAndShowsRequestedFaults) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"each byte before sync is a refused block",
       {},
       {{{0x02, 0xFD}, {NACK, NACK}}, {{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"a second sync", {}, {{{0x7F}, {ACK}}, {{0x7F}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"a wrong complement and an unknown command",
       {},
       {{{0x7F}, {ACK}},
        {{0x02, 0xFC}, {NACK}},
        {{0x44, 0xBB}, {NACK}},
        {{0x00, 0xFF}, {NACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"an erase other than global",
       {},
       {{{0x7F}, {ACK}}, {{0x43, 0xBC}, {ACK}}, {{0x00, 0xFF}, {NACK}}, {{0xFF, 0x00}, {ACK}}}},
      {"address and data checksums",
       {},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {{0x08, 0, 0, 0, 0x09}, {NACK}},
        {address_block(0x08000000), {ACK}},
        {{0x00, 0xAB, 0x54}, {NACK}},
        {{0x00, 0xAB, 0xAB}, {ACK}},
        {{0x21, 0xDE}, {ACK}},
        {{0x08, 0, 0, 0, 0}, {NACK}}}},
      {"addresses outside flash",
       {"--flash-size", "0x100"},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x07FFFFFF), {NACK}},
        {address_block(0x08000100), {NACK}},
        {address_block(0x080000FF), {ACK}},
        {data_block({1, 2}), {NACK}},
        {data_block({1}), {ACK}}}},
      {"nack-block counts the sync byte",
       {"--nack-block", "1", "--nack-block", "3"},
       {{{0x7F}, {NACK}}, {{0x7F}, {ACK}}, {{0x43, 0xBC}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"nack-cmd refuses the first attempts",
       {"--nack-cmd", "0x43:2", "--nack-cmd", "0x7f:1"},
       {{{0x7F}, {NACK}},
        {{0x7F}, {ACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}},
        {{0x43, 0xBC}, {ACK}}}},
      {"wrong-byte answers in place of the ACK",
       {"--wrong-byte", "3:0x55"},
       {{{0x7F}, {ACK}}, {{0x43, 0xBC}, {ACK}}, {{0xFF, 0x00}, {0x55}}, {{0xFF, 0x00}, {ACK}}}},
      {"identifier of four bytes",
       {"--id", "0x12345678"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x12, 0x34, 0x56, 0x78, ACK}}}},
      {"identifier just past two bytes",
       {"--id", "0x10000"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x00, 0x01, 0x00, 0x00, ACK}}}},
      {"small identifier",
       {"--id", "65"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x00, 0x41, ACK}}}},
      {"identifier cut short",
       {"--id-short", "1"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    InProcess m(c.args);
    // Exactly the expected answers, nothing more.
    for (const Step &s : c.steps) EXPECT_EQ(m.ask(s.send), s.expect);
  }
}

TEST(SimBootLoader, SilentModuleLogsTheBlocksButNeverAnswers) {
  InProcess m({"--silent"});
  EXPECT_EQ(m.ask({0x7F}), Bytes{});
  EXPECT_EQ(m.ask({0x7F}), Bytes{});
  EXPECT_EQ(rests(of_kind(m.log(), "rx")), (std::vector<std::string>{"7f", "7f"}));
}

TEST(SimBootLoader, WriteOverBytesNotErasedIsReportedAndClearsBits) {
  InProcess m;
  ASSERT_EQ(m.ask({0x7F}), Bytes{ACK});
  Bytes full = counting(256);
  std::vector<Step> steps = write_steps(0x0801FF00, full);  // the last 256 bytes
  for (const Step &s : write_steps(0x08000004, {0xF0, 0xFF})) steps.push_back(s);
  for (const Step &s : write_steps(0x08000004, {0x0F, 0x3C, 0xFF})) steps.push_back(s);
  StderrCapture err;
  for (const Step &s : steps) EXPECT_EQ(m.ask(s.send), s.expect);
  EXPECT_NE(err.finish().find("not erased"), std::string::npos);

  const std::string flash = m.flash();
  EXPECT_EQ(flash.substr(4, 4), std::string("\x00\x3c\xff\xff", 4));
  EXPECT_EQ(flash.substr(0x1FF00), std::string(full.begin(), full.end()));
  EXPECT_EQ(m.events(), (std::vector<std::string>{"sync", "write 0801ff00 256", "write 08000004 2",
                                                  "write 08000004 3", "overwrite 08000004"}));
}

TEST(Sim, LogHasOneTimedLinePerBlockAnswerAndEvent) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  Port port(sim.tty_path());
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(port.ask({0x02, 0xFD}, 5).size(), 5u);
  EXPECT_EQ(sim.stop(), 0);

  std::string text = read_file(sim.log_path());
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
  auto t0 = Clock::now();
  EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  EXPECT_GE(seconds_since(t0), 0.19);
  EXPECT_EQ(port.ask({0x43, 0xBC}), Bytes{ACK});
  auto t1 = Clock::now();
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
  auto t0 = Clock::now();
  EXPECT_EQ(port.ask(data_block(Bytes(256, 0x5A))), Bytes{ACK});
  EXPECT_GE(seconds_since(t0), 0.258);  // 258 bytes in, one byte out
  t0 = Clock::now();
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
    TempDir tmp;
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
  TempDir tmp;
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"-x"},
      {"stray"},
      {"--baud"},
      {"--baud", "fast"},
      {"--baud=-1"},
      {"--flash-size", "0"},
      {"--flash-size", "0x10000000"},
      {"--flash-base", "0xFFFFFF00"},
      {"--id", "0x100000000"},
      {"--id", "0x"},
      {"--id", "12a"},
      {"--nack-cmd", "0x43"},
      {"--nack-cmd", "0x143:1"},
      {"--nack-cmd", ":1"},
      {"--wrong-byte", "0:0x55"},
      {"--wrong-byte", "1:256"},
      {"--hangup-after", "0"},
      {"--id-short", "256"},
      {"--nack-block", "0"},
      {"--erase-ms", "99999999"},
      {"--link", ""},
      {"--dump="},
      {"--sysfs", tmp.path()},
      {"--reset-gpio", "3", "--boot-gpio", "4"},
      {"--sysfs", tmp.path(), "--reset-gpio", "3", "--boot-gpio", "3"},
      {"--get-reply", "00", "--extended-erase", "--get-reply", "0x"},
      {"--get-reply", "123", "--extended-erase"},
      {"--get-reply", "00"},
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
  TempDir tmp;
  write_file(tmp.file("plain"), "x");
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
  EXPECT_EQ(read_file(tmp.file("plain")), "x");
}

namespace {

// A sysfs stand-in with the reset line 17 and the boot-select line 22.
struct GpioSim {
  TempDir tmp;
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
    return rests(of_kind(sim.log(), kind));
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
  const std::vector<std::string> files = {"export",       "unexport",         "gpio17/direction",
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
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart app"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the application answered";
  EXPECT_EQ(g.sim.stop(), 0);

  // Every write in the order the host made it, across files.
  EXPECT_EQ(g.records("gpio"),
            (std::vector<std::string>{"direction reset out", "reset 0", "direction boot out",
                                      "boot 1", "reset 1", "reset 0", "boot 0", "reset 1"}));
  EXPECT_EQ(g.records("event"),
            (std::vector<std::string>{"restart boot", "sync", "write 08000000 1", "restart app"}));
  EXPECT_NE(g.sim.stderr_text().find("module restarted into its application\n"), std::string::npos);
  EXPECT_EQ(g.sim.dump()[0], '\xaa');
}

// Reset samples boot-select as it rises: a host that raises reset first
// finds the application, however quickly it raises boot-select after it.
TEST(SimGpio, HostThatRaisesResetBeforeBootSelectFindsTheApplication) {
  GpioSim g;
  ASSERT_TRUE(g.sim.ready());
  Port port(g.sim.tty_path());
  g.reset('0');
  g.reset('1');
  g.boot('1');
  ASSERT_TRUE(wait_for_record(g.sim, "gpio", "boot 1"));
  port.send({0x7F});
  EXPECT_TRUE(port.quiet(200)) << "the boot loader answered";
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.records("gpio"), (std::vector<std::string>{"reset 0", "reset 1", "boot 1"}));
  EXPECT_EQ(g.records("event"), std::vector<std::string>{"restart app"});
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
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart boot", 2));  // the entry made the first
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
  ASSERT_TRUE(wait_for_record(g.sim, "event", "restart app"));
  EXPECT_EQ(g.sim.stop(), 0);
  EXPECT_EQ(g.sim.dump().substr(0x10, 2), "\x11\x22");
  auto ev = g.records("event");
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[2], "write 08000010 2");
}
