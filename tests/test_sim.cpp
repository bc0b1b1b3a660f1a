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
  RawPort port(sim.tty_path());
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
  RawPort port(sim.tty_path());
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
  RawPort port(sim.tty_path());
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
    RawPort port(sim.tty_path());
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
    RawPort port(sim.tty_path());
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
    RawPort port(sim.tty_path());
    EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  }
  RawPort again(sim.tty_path());
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
    RawPort port(link);
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
