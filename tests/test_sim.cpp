// Tests of the simulated module as a program, driven over its pseudo-terminal
// with raw bytes: timing, faults of the line, restarts, dump, log and
// command line.
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "bytes.h"
#include "pty.h"
#include "sim_process.h"
#include "testsupport.h"
#include "timing.h"

using namespace testsupport;

namespace {

// Runs the simulator to its end (a time-out stands for a hang).
ProcResult run_sim(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {sim_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcOptions o;
  o.timeout_ms = 10000;
  return run_process(argv, o);
}

}  // namespace

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
  EXPECT_EQ(lines, 6u);
  auto log = sim.log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].kind + " " + log[0].rest, "rx 7f");
  EXPECT_EQ(log[1].kind + " " + log[1].rest, "event sync");
  EXPECT_EQ(log[2].kind + " " + log[2].rest, "tx 79");
  EXPECT_EQ(log[3].kind + " " + log[3].rest, "rx 02 fd");
  EXPECT_EQ(log[4].kind + " " + log[4].rest, "event cmd get-id");
  EXPECT_EQ(log[5].kind + " " + log[5].rest, "tx 79 01 04 10 79");
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
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 3].rest, "02 fd");
  EXPECT_GE(log.back().t - log[log.size() - 3].t, 0.0045);
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

// Each case: the fault, then exchanges over the terminal (an empty answer:
// nothing comes).
TEST(Sim, LineFaultsDamageOrLoseTheGivenBytes) {
  struct Case {
    std::vector<std::string> args;
    std::vector<Step> steps;
    std::string event;
  };
  const Case cases[] = {
      {{"--damage-byte", "1"}, {{{0x7F}, {NACK}}, {{0x7F}, {ACK}}}, "line damaged 7f 7e"},
      {{"--lose-byte", "2"},
       {{{0x7F}, {ACK}},
        {{0x02, 0xFD}, {}},
        {{0x02}, {NACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}},
       "line lost 02"},
      {{"--damage-reply", "2"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {0x78, 1, 4, 0x10, ACK}}},
       "line damaged reply 79 78"},
      {{"--bit-errors", "1", "--seed", "7"}, {{{0x7F}, {0xE0}}}, "line damaged reply 1f e0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0]);
    SimProcess sim(c.args);
    ASSERT_TRUE(sim.ready());
    RawPort port(sim.tty_path());
    for (const Step &s : c.steps) {
      if (!s.expect.empty()) {
        EXPECT_EQ(port.ask(s.send, s.expect.size()), s.expect);
        continue;
      }
      port.send(s.send);
      EXPECT_TRUE(port.quiet(200));
    }
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(has_event(sim, c.event));
  }
}

// Sends 0x7F until the module, starting after a restart, takes one in (each
// one lost before it is logged); after the first sync. Returns the answer.
Bytes sync_once_started(RawPort &port, const SimProcess &sim) {
  const auto count = [](const std::vector<SimLogRecord> &log, const char *kind, const char *rest) {
    return std::count_if(log.begin(), log.end(),
                         [&](const SimLogRecord &r) { return r.kind == kind && r.rest == rest; });
  };
  for (auto lost = count(sim.log(), "event", "starting lost 7f"); lost < 1000; ++lost) {
    port.send({0x7F});
    if (!wait_for_log(sim, [&](const std::vector<SimLogRecord> &log) {
          return count(log, "event", "starting lost 7f") > lost || count(log, "rx", "7f") > 1;
        }))
      break;
    if (count(sim.log(), "rx", "7f") > 1) return receive(port.fd(), 1, 5000);
  }
  return {};
}

// Readout Unprotect and Write Unprotect restart a module whose family does
// so (F4, by the row of its --id) or that is told to: in its boot loader, not
// synchronised, and deaf for its start-up time. Other families (F1) stay
// synchronised. The protection is lifted either way.
TEST(Sim, UnprotectRestartsTheModuleWhereItsFamilyDoesElseItStaysSynchronised) {
  TempDir tmp;
  const std::string image = tmp.file("flash.bin");
  write_file(image, std::string(16, '\x00'));
  struct Case {
    std::vector<std::string> args;
    Bytes command;
    std::string flash;  // the first 16 bytes afterwards
    bool restarts;
  };
  const Case cases[] = {
      {{"--read-protected", "--id", "0x413"}, {0x92, 0x6D}, std::string(16, '\xff'), true},
      {{"--write-protected", "--reset-after-options"}, {0x73, 0x8C}, std::string(16, '\x00'), true},
      {{"--read-protected"}, {0x92, 0x6D}, std::string(16, '\xff'), false},
      {{"--write-protected", "--id", "0x413", "--no-reset-after-options"},
       {0x73, 0x8C},
       std::string(16, '\x00'),
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--boot-ms", "300", "--flash-init", image});
    SimProcess sim(args);
    ASSERT_TRUE(sim.ready());
    RawPort port(sim.tty_path());
    EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
    EXPECT_EQ(port.ask(c.command, 2), (Bytes{ACK, ACK}));
    port.send({0x7F});
    EXPECT_TRUE(port.quiet(100)) << (c.restarts ? "answered while starting" : "not a command pair");
    if (c.restarts) {
      ASSERT_TRUE(wait_for_record(sim, "event", "starting lost 7f"));
      EXPECT_EQ(sync_once_started(port, sim), Bytes{ACK});
    } else {
      EXPECT_EQ(port.ask({0x7F}), Bytes{NACK});
    }
    EXPECT_EQ(port.ask({0x11, 0xEE}), Bytes{ACK}) << "still read-protected";
    EXPECT_EQ(port.ask(address_block(0x08000000)), Bytes{ACK});
    EXPECT_EQ(port.ask({0x0F, 0xF0}, 17), cat({ACK}, Bytes(c.flash.begin(), c.flash.end())));
    EXPECT_EQ(port.ask({0x43, 0xBC}), Bytes{ACK});
    EXPECT_EQ(port.ask({0xFF, 0x00}), Bytes{ACK}) << "still write-protected";
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(has_event(sim, "restart boot"), c.restarts);
    EXPECT_EQ(has_event(sim, "starting lost 7f"), c.restarts);
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
  EXPECT_EQ(sim.dump().size(), 262144u);
}

TEST(Sim, KeepsItsStateWhenTheHostClosesAndReopensThePort) {
  SimProcess sim;
  ASSERT_TRUE(sim.ready());
  {
    RawPort port(sim.tty_path());
    EXPECT_EQ(port.ask({0x7F}), Bytes{ACK});
  }
  // The boot loader still listens: the new host's sync is the first byte of
  // a command pair, its second sync completes a pair that is no command.
  RawPort again(sim.tty_path());
  again.send({0x7F});
  EXPECT_TRUE(again.quiet(200));
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
      {"--get-reply", "0g"},
      {"--part", "0x999"},
      {"--part", "0x410", "--flash-size", "0x40000"},
      {"--program-unit", "12"},
      {"--program-unit", "64"},
      {"--page-size", "6"},
      {"--bit-errors", "2"},
      {"--erase-scale", "x"},
      {"--lose-byte", "0"},
      {"--boot-ms", "-1"},
      {"--autobaud-window", "x"},
      {"--zero-on-reset=1"},
      {"--option-word", "0x1fffffffff", "--part", "0x460"},
      {"--option-word", "0xfffffeaa"},
      {"--options-need-power-cycle", "--part", "0x410"},
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
  EXPECT_NE(help.out.find("--autobaud-window US"), std::string::npos);
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
  write_file(tmp.file("two"), "xy");
  const std::vector<std::vector<std::string>> cases = {
      {"--log", tmp.file("missing/sim.log")},
      {"--link", tmp.file("plain")},
      {"--sysfs", tmp.file("missing/sysfs"), "--reset-gpio", "1", "--boot-gpio", "2"},
      {"--sysfs", tmp.file("plain"), "--reset-gpio", "1", "--boot-gpio", "2"},
      {"--flash-init", tmp.file("missing.bin")},
      {"--flash-init", tmp.file("two"), "--flash-size", "1"},
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
