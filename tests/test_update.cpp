// End to end: a run's sequence on the reset and boot-select lines, a line
// that cannot be driven, memory that runs out and a signal before the port
// is open. The real flasher against the simulated module over a real
// pseudo-terminal, with a sysfs stand-in for the lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "flasher.h"
#include "option_runs.h"
#include "pty.h"
#include "update.h"

// Memory that runs out in the middle of a run: this test program's operator
// new fails once, at the first allocation after oom::arm, or after it once
// the given port is open, as a flasher's would when memory runs out there.
namespace oom {

char port[256];  // the port's path; empty: the first allocation fails
bool armed = false;

bool port_open() {
  char proc[32], link[sizeof port];
  for (int fd = 3; fd < 64; ++fd) {
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(proc, link, sizeof link - 1);
    if (n > 0 && static_cast<size_t>(n) == std::strlen(port) && std::memcmp(link, port, n) == 0)
      return true;
  }
  return false;
}

bool fail_now() {
  if (!armed || (port[0] != '\0' && !port_open())) return false;
  armed = false;
  return true;
}

}  // namespace oom

#if !defined(__SANITIZE_ADDRESS__)
// The library's operator delete frees with std::free.
void *operator new(std::size_t n) {
  for (;;) {
    if (!oom::fail_now())
      if (void *p = std::malloc(n ? n : 1)) return p;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}
#endif

namespace {

using namespace testsupport;

TEST(Flasher, FlashesTheSampleDrivingTheLinesInOrderWithTheirPauses) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  ProcResult r =
      flash(dir, {"-d", m.sim.tty_path(), "-r", kResetPin, "-s", kBootPin, "-F", sample_hex()},
            m.sysfs.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, progress(sample_hex(), kSampleFragments));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(m.sim.stop(), 0);
  const std::string flash = m.sim.dump();
  const std::string image = sample_bin();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(flash.compare(0, image.size(), image) == 0);
  EXPECT_EQ(flash.find_first_not_of('\xff', image.size()), std::string::npos);
  EXPECT_TRUE(has_event(m.sim, "restart boot"));
  EXPECT_TRUE(has_event(m.sim, "restart app"));

  const auto log = m.sim.log();
  const auto gpio = of_kind(log, "gpio");
  const std::vector<std::string> want = {"direction reset out",
                                         "reset 0",
                                         "direction boot out",
                                         "boot 1",
                                         "reset 1",
                                         "reset 0",
                                         "boot 0",
                                         "reset 1",
                                         "unexport 18",
                                         "unexport 17"};
  ASSERT_EQ(rests(gpio), want) << testsupport::read_file(m.sim.log_path());
  // Reset is released at least 100 ms after boot-select went high, and the
  // boot loader is addressed 10 ms after that. The module notes a line
  // change when it reads it, which a loaded machine delays by a few
  // milliseconds: the second pause is checked with that much to spare.
  EXPECT_GE(gpio[4].t - gpio[3].t, 0.095);
  const auto rx = of_kind(log, "rx");
  ASSERT_FALSE(rx.empty());
  EXPECT_EQ(rx.front().rest, "7f");
  EXPECT_GE(rx.front().t - gpio[4].t, 0.005);
  // Every block went out before the release sequence began.
  EXPECT_LT(rx.back().t, gpio[5].t);
  // The reset pulse of the release lasts at least 10 ms.
  EXPECT_GE(gpio[7].t - gpio[6].t, 0.009);
}

TEST(Flasher, ResetLineAloneIsReleasedAfterTheHoldSoAModuleStrappedForItsBootLoaderIsFlashed) {
  const struct {
    bool strapped;  // boot-select strapped high on the board, else low
    std::vector<std::string> extra;
    std::vector<std::string> gpio;
    std::vector<std::string> restarts;
    int status;
  } cases[] = {
      // Without acknowledgements nothing is awaited from the module's
      // application while the writes go out; the answers missing after them
      // fail the run.
      {false,
       {"--waitack"},
       {"direction reset out", "reset 0", "reset 1", "reset 0", "reset 1", "unexport 17"},
       {"restart app", "restart app"},
       2},
      // The release restarts it in its boot loader again: only Go leaves it.
      {true,
       {},
       {"boot 1", "direction reset out", "reset 0", "reset 1", "reset 0", "reset 1", "unexport 17"},
       {"restart boot", "restart boot"},
       0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.strapped ? "strapped high" : "low");
    TempDir dir;
    WiredModule m;
    ASSERT_TRUE(m.sim.ready());
    if (c.strapped) {
      testsupport::write_file(m.sysfs.path() + "/class/gpio/gpio" + kBootPin + "/value", "1");
      ASSERT_TRUE(wait_for_record(m.sim, "gpio", "boot 1"));
    }
    std::vector<std::string> args = {"-d", m.sim.tty_path(), "-r", kResetPin, "-F", sample_hex()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const ProcResult r = flash(dir, args, m.sysfs.path());
    EXPECT_EQ(r.status, c.status) << r.err;
    m.sim.stop();
    const auto gpio = of_kind(m.sim.log(), "gpio");
    ASSERT_EQ(rests(gpio), c.gpio);
    // Reset is held low for 100 ms before it is released.
    EXPECT_GE(gpio[gpio.size() - 4].t - gpio[gpio.size() - 5].t, 0.095);
    std::vector<std::string> restarts;
    for (const auto &e : m.sim.events())
      if (e.rfind("restart", 0) == 0) restarts.push_back(e);
    EXPECT_EQ(restarts, c.restarts);
    if (c.strapped) {
      EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
    }
  }
}

TEST(Flasher, BootSelectLineAloneIsOnlyUnexported) {
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  ProcResult r =
      flash(dir, {"-d", m.sim.tty_path(), "-s", kBootPin, "--waitack", "-F", sample_hex()},
            m.sysfs.path());
  // Never restarted, the module stays in its application and answers
  // nothing: the answers missing after the writes fail the run.
  EXPECT_EQ(r.status, 2) << r.err;
  m.sim.stop();
  EXPECT_EQ(rests(of_kind(m.sim.log(), "gpio")), std::vector<std::string>{"unexport 18"});
}

// A sysfs stand-in of plain files for lines 17 and 18, whose value of line
// `gpio` is a FIFO read only until the target entry has written `writes`
// values to it: the release then finds no reader, so the value cannot be
// opened. With `full` the value then refuses every write instead, as
// /dev/full does (from the start with no writes).
struct LineGoneAfterEntry {
  TempDir sysfs;
  std::thread reader;
  std::atomic<int> got{0};
  LineGoneAfterEntry(int gpio, int writes, bool full) {
    for (const char *d : {"/class", "/class/gpio", "/class/gpio/gpio17", "/class/gpio/gpio18"})
      ::mkdir((sysfs.path() + d).c_str(), 0755);
    for (int line : {17, 18}) {
      const std::string value = sysfs.path() + "/class/gpio/gpio" + std::to_string(line) + "/value";
      line == gpio ? (void)::mkfifo(value.c_str(), 0644) : testsupport::write_file(value, "");
    }
    const std::string fifo = sysfs.path() + "/class/gpio/gpio" + std::to_string(gpio) + "/value";
    const auto refuse = [this, fifo] {
      ::symlink("/dev/full", sysfs.file("full").c_str());
      ::rename(sysfs.file("full").c_str(), fifo.c_str());
    };
    if (full && writes == 0) {
      refuse();
      return;
    }
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    reader = std::thread([this, fd, writes, full, refuse] {
      char c;
      for (int i = 0; got < writes && i < 10000; ++i)
        ::read(fd, &c, 1) == 1 ? ++got : ::usleep(1000);
      if (full) refuse();
      ::close(fd);
    });
  }
  ~LineGoneAfterEntry() {
    if (reader.joinable()) reader.join();
  }
};

TEST(Flasher, ALineThatCannotBeDrivenInTheReleaseEndsWithTwoWhateverElseHappened) {
  const std::string flashed = progress(sample_hex(), kSampleFragments);
  const std::string v17 = "Can't open gpio17's value: No such device or address\n";
  const std::string full17 = "Can't write gpio17's value: No space left on device\n";
  const std::string notty = ": Inappropriate ioctl for device\n",
                    dtr = "Can't set line dtr" + notty;
  const std::string no = ": No such file or directory\n", export_ = "Can't open exportfile" + no,
                    v5 = "Can't open gpio5's value" + no,
                    unexport = "Can't open unexport-file" + no;
  const std::string hint =
      "Hint: this kernel has no sysfs GPIO; give the line as CHIP:LINE, e.g. --resetpin "
      "gpiochip0:17\n";
  struct Case {
    std::vector<std::string> lines;
    int gone, writes;  // the line whose value goes after that many writes; 0: no gpio class
    std::vector<std::string> module;
    int signal;  // sent once the module heard the first sync byte
    std::string err;
    bool full = false;  // the value refuses writes instead of going
  } cases[] = {
      {{"-r", "17", "-s", "18"}, 17, 2, {}, 0, flashed + v17 + v17},
      // No line at all: the entry fails at once, the release tries every step.
      {{"-r", "5", "-s", "6", "--waitack"},
       0,
       0,
       {},
       0,
       export_ + hint + v5 + "Can't open gpio6's value" + no + v5 + unexport + unexport},
      // Boot-select left high keeps the module in its boot loader.
      {{"-r", "17", "-s", "18"},
       18,
       1,
       {},
       0,
       flashed + "Can't open gpio18's value: No such device or address\n"},
      // Not 128 + the signal: the caller must know that the module may not run.
      {{"-r", "17", "-s", "18"},
       17,
       2,
       {"--silent"},
       SIGTERM,
       "Can't init device: Interrupted system call\n" + v17 + v17},
      // A value the kernel refuses is no line moved: in the release, and at
      // entry, where the run ends before the sync.
      {{"-r", "17", "-s", "18"}, 17, 2, {}, 0, flashed + full17 + full17, true},
      {{"-r", "17", "-s", "18"}, 17, 0, {}, 0, full17 + full17 + full17, true},
      // A port without modem lines: DTR cannot be held low after the open.
      {{"-r", "dtr"}, 0, 0, {}, 0, "Can't request line dtr" + notty + dtr + dtr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir, empty;
    SimProcess sim(c.module);
    ASSERT_TRUE(sim.ready());
    std::optional<LineGoneAfterEntry> gone;
    if (c.gone) gone.emplace(c.gone, c.writes, c.full);
    std::vector<std::string> args = {"-d", sim.tty_path(), "-F", sample_hex()};
    args.insert(args.end(), c.lines.begin(), c.lines.end());
    testsupport::Process p(flasher_argv(dir, args),
                           flasher_options(gone ? gone->sysfs.path() : empty.path()));
    if (c.signal) {
      ASSERT_TRUE(wait_for_record(sim, "rx", "7f"));
      kill(p.pid(), c.signal);
    }
    const ProcResult r = p.wait();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err);
    ASSERT_EQ(sim.stop(), 0);
    // A run that neither flashed nor met the signal ended at its entry.
    const bool entered = c.signal || c.err.find(flashed) != std::string::npos;
    EXPECT_EQ(of_kind(sim.log(), "rx").empty(), !entered);
  }
}

TEST(Flasher, OutOfMemoryEndsLikeAnyFailureOfItsPhase) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer replaces operator new";
#else
  const struct {
    bool port_open;  // the allocation fails once the port is open, else the first one
    int status;
    std::vector<std::string> gpio;
  } cases[] = {{false, 255, {}}, {true, 2, release_sequence()}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.port_open ? "port open" : "before the port");
    TempDir dir;
    WiredModule m;
    ASSERT_TRUE(m.sim.ready());
    std::vector<std::string> args = flasher_argv(dir, m.args());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const Outcome o = in_child([&] {
      ::setenv("TARVION_SYSFS", m.sysfs.path().c_str(), 1);
      std::snprintf(oom::port, sizeof oom::port, "%s", c.port_open ? m.sim.tty_path().c_str() : "");
      oom::armed = true;
      return update_main(static_cast<int>(args.size()), argv.data()) & 0xff;
    });
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, "tarvion_update: out of memory\n");
    ASSERT_EQ(m.sim.stop(), 0);
    EXPECT_EQ(rests(of_kind(m.sim.log(), "gpio")), c.gpio);
    EXPECT_TRUE(of_kind(m.sim.log(), "rx").empty());
  }
#endif
}

// Whether process pid waits in the open of a FIFO for its writer.
bool waits_in_fifo_open(pid_t pid) {
  return testsupport::read_file("/proc/" + std::to_string(pid) + "/wchan") == "wait_for_partner";
}

TEST(Flasher, ASignalBeforeThePortIsOpenedIsCaughtAndEndsTheRunWithNothingHeld) {
  // The handlers are in place from the start: a firmware file that is a
  // FIFO without writer holds the flasher in its open, which the signal ends.
  TempDir dir;
  WiredModule m;
  ASSERT_TRUE(m.sim.ready());
  const std::string fifo = dir.file("firmware.hex");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  testsupport::Process p(
      flasher_argv(dir, {"-d", m.sim.tty_path(), "-r", kResetPin, "-s", kBootPin, "-F", fifo}),
      flasher_options(m.sysfs.path()));
  for (int i = 0; i < 10000 && p.running() && !waits_in_fifo_open(p.pid()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(p.pid(), SIGTERM);
  const ProcResult r = p.wait();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(r.err, "Can't open " + fifo + ": Interrupted system call\n");
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_TRUE(of_kind(m.sim.log(), "gpio").empty());
  EXPECT_TRUE(of_kind(m.sim.log(), "rx").empty());
}

}  // namespace
