// The flasher stopped by signals at each phase of a run, end to end: the
// exit status, the messages, what the run says it left, and the release of
// the module, seen in the module's own log of its lines.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fault_runs.h"
#include "flasher.h"
#include "timing.h"

namespace {

using namespace testsupport;

const char kInterrupted[] = "Interrupted system call";

// The flasher stopped by a signal. `ready` tells from the module's log when
// to send it; with `repeat` it is sent again every few milliseconds until the
// flasher has ended.
struct SignalRun {
  ProcResult r;
  double after_signal = -1;  // seconds from the (first) signal to the end
};

SignalRun signal_when(const WiredModule &m, const TempDir &dir,
                      const std::vector<std::string> &extra, const std::string &fw, int sig,
                      const LogPredicate &ready, bool repeat = false) {
  testsupport::Process p(flasher_argv(dir, m.args(extra, fw)), flasher_options(m.sysfs.path()));
  SignalRun run;
  wait_for_log(
      m.sim, [&](const std::vector<SimLogRecord> &log) { return !p.running() || ready(log); },
      30000);
  const auto sent = Clock::now();
  bool first = true;
  while (p.running() && (first || repeat)) {
    kill(p.pid(), sig);
    first = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  run.r = p.wait();
  run.after_signal = seconds_since(sent);
  return run;
}

std::function<bool(const std::vector<SimLogRecord> &)> seen(const std::string &kind,
                                                            const std::string &rest,
                                                            size_t times = 1) {
  return [=](const std::vector<SimLogRecord> &log) {
    size_t n = 0;
    for (const auto &r : log) n += r.kind == kind && r.rest == rest;
    return n >= times;
  };
}

bool any_write_event(const std::vector<SimLogRecord> &log) {
  for (const auto &r : log)
    if (r.kind == "event" && r.rest.rfind("write ", 0) == 0) return true;
  return false;
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What every stopped run shares: status 128 + signal, the module released.
void check_stopped(const SignalRun &run, int sig, const SimProcess &sim) {
  EXPECT_FALSE(run.r.timed_out);
  EXPECT_EQ(run.r.status, 128 + sig) << run.r.err;
  EXPECT_EQ(last_line_changes(sim, 5), release_sequence());
  EXPECT_TRUE(has_event(sim, "restart app"));
}

// A signal that comes while the flasher waits for an answer ends the wait at
// once; the next attempt is not sent.
void check_wait_cut_short(const SignalRun &run) {
  EXPECT_LT(run.after_signal, 0.8);
}

using RunCheck = std::function<void(const SignalRun &, const SimProcess &)>;

// For each of the signals: a fresh module with sim_args, the flasher stopped
// once the module's log satisfies `ready` (with `repeat`, stopped again and
// again until it has ended), the common checks, then `check`. A phase that a
// signal can miss on a loaded machine (a pause of 100 ms, the release) says
// through `landed` whether it was hit; a missed run is repeated, up to five
// times. flasher_args: the flasher's arguments besides the firmware file fw
// and the lines.
void stop_at_phase(
    const std::vector<std::string> &sim_args, const LogPredicate &ready, bool repeat,
    const RunCheck &check,
    const std::function<bool(const SignalRun &, const SimProcess &)> &landed =
        [](const SignalRun &, const SimProcess &) { return true; },
    const std::vector<std::string> &flasher_args = {}, const std::string &fw = sample_hex()) {
  for (int sig : kSignals) {
    SCOPED_TRACE(strsignal(sig));
    bool hit = false;
    for (int attempt = 0; attempt < 5 && !hit; ++attempt) {
      TempDir dir;
      WiredModule m(sim_args);
      ASSERT_TRUE(m.sim.ready());
      const SignalRun run = signal_when(m, dir, flasher_args, fw, sig, ready, repeat);
      ASSERT_EQ(m.sim.stop(), 0);
      hit = landed(run, m.sim);
      if (!hit) continue;
      check_stopped(run, sig, m.sim);
      check(run, m.sim);
    }
    EXPECT_TRUE(hit) << "no signal arrived in the phase in five runs";
  }
}

TEST(FaultsSignal, DuringTheEntryPauseNothingIsSentAndTheModuleIsReleased) {
  // A signal that arrives only after the pause meets the sync instead.
  stop_at_phase(
      {}, seen("gpio", "boot 1"), false,
      [](const SignalRun &run, const SimProcess &sim) {
        EXPECT_EQ(run.r.err, "");
        // The pause and the rise of reset complete; then the release.
        const auto gpio = rests(of_kind(sim.log(), "gpio"));
        ASSERT_EQ(gpio.size(), 10u);
        EXPECT_EQ(gpio[4], "reset 1");
      },
      [](const SignalRun &, const SimProcess &sim) { return of_kind(sim.log(), "rx").empty(); });
}

TEST(FaultsSignal, DuringTheSyncEndsTheWaitAndReleasesTheModule) {
  stop_at_phase({"--silent"}, seen("rx", "7f"), false,
                [](const SignalRun &run, const SimProcess &sim) {
                  EXPECT_EQ(run.r.err, std::string("Can't init device: ") + kInterrupted + "\n");
                  check_wait_cut_short(run);
                  // The next 0x7F may have gone out before the signal came.
                  EXPECT_LE(of_kind(sim.log(), "rx").size(), 2u);
                });
}

// A stop says what the run left: the flash incomplete once an erase has
// begun (once the unprotect's has: below); the image written once every block was
// acknowledged, and nothing sent after it; nothing blamed on the part while
// its flash-size register is read. Answers 20 ms late hold the run in the
// phase the signal is meant for; the one-fragment image keeps them few.
TEST(FaultsSignal, DuringTheEraseEndsTheWaitAndReleasesTheModule) {
  const std::string erase_stopped = std::string("Can't erase device: ") + kInterrupted + "\n";
  TempDir files;
  const std::string head = write_head(files);
  struct Row {
    std::vector<std::string> module, args;
    std::string ready_kind, ready;
    std::string want;
    std::string fw;
  };
  const auto row = [](std::vector<std::string> module, std::vector<std::string> args,
                      std::string kind, std::string ready, std::string want,
                      std::string fw = sample_hex()) {
    return Row{module, args, kind, ready, want, fw};
  };
  const std::vector<std::string> slow = {"--erase-ms", "5000"}, late = {"--ack-delay-ms", "20"};
  const Row rows[] = {
      row(slow, {}, "event", "erase", erase_stopped + kIncomplete),
      row({"--extended-erase", "--erase-ms", "5000"}, {}, "event", "erase",
          kMassErase + erase_stopped + kIncomplete),
      row(late, {}, "event", "cmd get-version",
          progress(head, 1) +
              "The run was stopped once the image was written: every block was acknowledged\n",
          head),
      // The read of the register at 0x1FFFF7E0, its address block.
      row(late, {"-i", "0x410"}, "rx", "1f ff f7 e0 f7",
          "The run was stopped before anything was erased\n"),
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.ready);
    stop_at_phase(
        r.module, seen(r.ready_kind, r.ready), false,
        [&r](const SignalRun &run, const SimProcess &sim) {
          EXPECT_EQ(run.r.err, r.want);
          check_wait_cut_short(run);
          const auto events = sim.events();
          EXPECT_EQ(std::count(events.begin(), events.end(), "restart boot"), 1);
        },
        [](const SignalRun &run, const SimProcess &) { return run.r.status != 0; }, r.args, r.fw);
  }
}

// An option write or an unprotect command out: the signal waits for its
// answer (the unprotect's second, once the module has erased its flash),
// so that the release's reset never falls inside the change.
TEST(FaultsSignal, DuringAnOptionWriteOrAnUnprotectWaitsForItsAnswer) {
  const struct {
    std::vector<std::string> module, flasher;
    std::string command, err;
    int answers;  // the module's answers to the command before its release
  } rows[] = {
      {{"--part", "0x460", "--ack-delay-ms", "60"},
       {"--boot-pin"},
       "cmd write 1fff7800 128",
       "The option bytes are written, but were not read back: " + std::string(kInterrupted) +
           "\nThe run was stopped before anything was erased\n",
       1},
      {{"--part", "0x423", "--read-protected", "--erase-scale", "0.1"},
       {"--unprotect"},
       "cmd readout-unprotect",
       "Lifting read-out protection: the module erases its whole flash\nCan't unprotect "
       "device: " +
           std::string(kInterrupted) + "\n" + kIncomplete,
       2},
  };
  for (const auto &row : rows) {
    const std::string &want = row.err;
    const auto answered = [&row](const SignalRun &, const SimProcess &sim) {
      int answers = 0;
      bool out = false;
      for (const auto &r : sim.log()) {
        out = out || (r.kind == "event" && r.rest == row.command);
        answers += out && r.kind == "tx";
        if (out && r.kind == "gpio" && r.rest == "reset 0") break;
      }
      EXPECT_EQ(answers, row.answers) << row.command;
    };
    const auto landed = [&want](const SignalRun &run, const SimProcess &) {
      return run.r.err == want;
    };
    stop_at_phase(row.module, seen("event", row.command), false, answered, landed, row.flasher);
  }
}

TEST(FaultsSignal, DuringTheWriteEndsItAfterTheFragmentInProgress) {
  // Paced at 19200 baud a fragment takes about 150 ms on the line.
  stop_at_phase(
      {"--baud", "19200"}, any_write_event, false, [](const SignalRun &run, const SimProcess &) {
        const std::string fn = sample_hex();
        const std::string head = "Flashing " + fn + "\n\t.";
        const std::string tail = std::string("Communication Error: ") + kInterrupted +
                                 "\nCan't write image " + fn + ": " + kInterrupted + "\n" +
                                 kIncomplete;
        const std::string &err = run.r.err;
        ASSERT_GE(err.size(), head.size() + tail.size()) << err;
        EXPECT_EQ(err.substr(0, head.size()), head);
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
        const std::string dots = err.substr(head.size(), err.size() - head.size() - tail.size());
        EXPECT_EQ(dots.find_first_not_of(".\n\t"), std::string::npos) << err;
        check_wait_cut_short(run);
      });
}

TEST(FaultsSignal, DuringTheReleaseLetsItFinish) {
  // The signals start with the release's first line change and go on until
  // the flasher has ended; a run that ended before the first one succeeded.
  stop_at_phase(
      {}, seen("gpio", "reset 0", 2), true,
      [](const SignalRun &run, const SimProcess &sim) {
        EXPECT_EQ(run.r.err, kFlashed);
        EXPECT_EQ(sim.dump().substr(0, 6000), sample_bin());
        EXPECT_EQ(of_kind(sim.log(), "gpio").size(), 10u);
      },
      [](const SignalRun &run, const SimProcess &) { return run.r.status != 0; });
}

}  // namespace
