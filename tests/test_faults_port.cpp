// The flasher's surroundings, end to end: a caller that ignores hang-ups or
// closes standard error, a port another process holds, and another root
// process that takes over the port in the middle of a run. Each run ends
// as documented, with the module released.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "flasher.h"
#include "timing.h"

namespace {

using namespace testsupport;

TEST(FaultsCaller,
     AHangUpIgnoredOrAStandardErrorGoneOrClosedNeitherStopsTheRunNorReachesTheModule) {
  const struct {
    const char *what;
    const char *shell;  // run with $0 a FIFO of the test's own, then execs the flasher
    std::vector<std::string> module = {};
    std::string budgets = run_budgets();
  } cases[] = {
      // A pipe without reader: the only descriptor that read the FIFO is
      // closed before the flasher starts.
      {"reader gone", "exec 4<>\"$0\"; exec 2>\"$0\"; exec 4<&-; exec \"$@\""},
      // Closed: the port must not take descriptor 2 and get the progress.
      {"closed", "exec 2>&-; exec \"$@\""},
      // Started under nohup: a hang-up in the middle of the erase changes nothing.
      {"hang-up ignored",
       "trap '' HUP; (sleep 0.4; kill -HUP $$) & exec \"$@\"",
       {"--erase-ms", "800"},
       "wait=1000"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WiredModule m(c.module);
    ASSERT_TRUE(m.sim.ready());
    const std::string fifo = dir.file("stderr.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> argv = {"/bin/bash", "-c", c.shell, fifo};
    // The shell execs the flasher itself, so the emulator of a cross build
    // must be named here.
    for (const auto &a : testsupport::command_for(flasher_argv(dir, m.args()))) argv.push_back(a);
    ProcOptions po = flasher_options(m.sysfs.path());
    po.env["TARVION_BUDGETS"] = c.budgets;
    const ProcResult r = testsupport::run_process(argv, po);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(m.sim.stop(), 0);
    EXPECT_EQ(last_line_changes(m.sim, 5), release_sequence());
    EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
    // Sync, Get ID twice, erase command and parameter, three blocks per
    // fragment, the closing Get Version: nothing else.
    EXPECT_EQ(of_kind(m.sim.log(), "rx").size(), 5u + 3u * kSampleFragments + 1u);
  }
}

TEST(FaultsLock, APortHeldByAnotherProcessEndsWith255BeforeAnythingIsSentOrDriven) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  const int held = open(m.sim.tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const ProcResult r = flash(dir, m.args(), m.sysfs.path());
  close(held);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Can't open " + m.sim.tty_path() + ": Device or resource busy\n");
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_TRUE(of_kind(m.sim.log(), "rx").empty());
  EXPECT_TRUE(of_kind(m.sim.log(), "gpio").empty());
}

// Root passes the port's exclusive mode. Another root process that opens
// the port during a run, takes the answers, changes the settings (reads
// that return at once, hardware and software flow control) and finally
// holds the output back must not keep the run waiting for good: it ends
// with status 2 and the module released. The run's time limit is only the
// watchdog.
TEST(FaultsPort, AnotherRootProcessThatReadsThePortAndChangesItsSettingsCannotHoldTheRun) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to pass the exclusive mode";
  TempDir dir;
  WiredModule m({"--baud", "19200"});
  ASSERT_TRUE(m.sim.ready());
  ProcResult r;
  std::atomic<bool> done{false};
  std::thread run([&] {
    r = flash(dir, m.args(), m.sysfs.path());
    done = true;
  });
  const bool writing = wait_for_log(
      m.sim,
      [](const std::vector<SimLogRecord> &log) {
        for (const auto &e : of_kind(log, "event"))
          if (e.rest.rfind("cmd write", 0) == 0) return true;
        return false;
      },
      20000);
  const int other = open(m.sim.tty_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_TRUE(writing);
  EXPECT_GE(other, 0) << std::strerror(errno);
  if (other >= 0) {
    struct termios tio;
    ASSERT_EQ(tcgetattr(other, &tio), 0);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cflag |= CRTSCTS;
    tio.c_iflag |= IXON;
    EXPECT_EQ(tcsetattr(other, TCSANOW, &tio), 0);
    char b[64];
    const auto start = Clock::now();
    bool held = false;
    while (!done) {
      (void)read(other, b, sizeof b);
      if (!held && seconds_since(start) > 0.5) held = tcflow(other, TCOOFF) == 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(held);
  }
  run.join();
  if (other >= 0) {
    (void)tcflow(other, TCOON);
    close(other);
  }
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 2) << r.err;
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_EQ(last_line_changes(m.sim, 5), release_sequence());
}

}  // namespace
