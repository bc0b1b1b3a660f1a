// Faults of the module and of the line, end to end: the real flasher against
// the simulated module told to refuse, answer wrongly, fall silent, answer
// late or hang up, and the flasher stopped by signals at each phase of a run.
// Every case checks the exact messages, the exit status, the release of the
// module (seen in the module's own log of its lines) and that the run ended
// within its documented worst case: each awaited byte costs at most one wait
// of a second. Under the sanitizer build a leak shows as extra output and
// another exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// What a write that fails while sending fragment number `dots` prints.
std::string failed_write(int dots, const std::string &why) {
  const std::string fn = sample_hex();
  return "Flashing " + fn + progress_dots(dots) + "Communication Error: " + why +
         "\nCan't write image " + fn + ": " + why + "\n" + kIncomplete;
}

// The module's arguments that answer `byte` to the blocks from `first` on,
// `n` of them.
std::vector<std::string> answer(int first, int n, const std::string &byte) {
  std::vector<std::string> a;
  for (int k = first; k < first + n; ++k)
    a.insert(a.end(), {"--wrong-byte", std::to_string(k) + ":" + byte});
  return a;
}

const char kInvalid[] = "Invalid argument";
const char kIo[] = "Input/output error";
const char kInterrupted[] = "Interrupted system call";

// What a refused erase prints: the cause, then where to look.
const std::string kEraseRefused =
    std::string("Can't erase device: ") + kInvalid +
    "\nHint: the flash may be read- or write-protected; --unprotect lifts the protection "
    "(read-out protection only with the whole flash)\n";
// A newer boot loader's mass erase is announced, as it can take a minute.
const std::string kMassErase = "Mass erase: this can take up to a minute\n";

// A refusal inside a command ends it in the boot loader, so the whole
// command is sent again after a probe pair: the block's next attempt comes
// `per_try` blocks and the probe later.
std::vector<std::string> refuse_tries(int first, int per_try, int tries) {
  std::vector<std::string> a;
  for (int k = 0; k < tries; ++k)
    a.insert(a.end(), {"--nack-block", std::to_string(first + k * (per_try + 1))});
  return a;
}

TEST(Faults, ABlockRefusedThreeTimesFailsWithEinvalWhateverItsKind) {
  const int frag3 = write_command_block(3);
  const FaultCase cases[] = {
      {"Get ID command",
       {"--nack-cmd", "0x02:3"},
       {"-i", "0x410"},
       2,
       "Can't read device ID: Invalid argument\n",
       0},
      {"erase command", {"--nack-cmd", "0x43:3"}, {}, 2, kEraseRefused, 0},
      {"erase parameter, in each try", refuse_tries(4, 2, 3), {}, 2, kEraseRefused, 0},
      {"write command", {"--nack-cmd", "0x31:3"}, {}, 2, failed_write(1, kInvalid), 0},
      {"address block, in each try",
       refuse_tries(frag3 + 1, 2, 3),
       {},
       2,
       failed_write(3, kInvalid),
       0},
      {"data block, in each try",
       refuse_tries(frag3 + 2, 3, 3),
       {},
       2,
       failed_write(3, kInvalid),
       0},
  };
  for (const auto &c : cases) check_fault_case(c);
}

// Without acknowledgements awaited the writes go out unchecked; the boot
// loader takes the bytes after its refusal as command pairs and refuses
// most. The answers read once the writes are out show it.
TEST(Faults, WithoutAcknowledgementsARefusedBlockFailsTheRunOnceTheWritesAreOut) {
  TempDir dir;
  WiredModule m({"--nack-block", std::to_string(write_command_block(3))});
  ASSERT_TRUE(m.sim.ready());
  const ProcResult r = flash(dir, m.args({"--waitack"}), m.sysfs.path());
  EXPECT_EQ(r.status, 2);
  // How many of the bytes after it the boot loader refuses as pairs
  // depends on how the stream arrives.
  const std::string fn = sample_hex();
  const std::string head = "Flashing " + fn + progress_dots(kSampleFragments) +
                           "\nThe module refused blocks or left them unanswered (";
  const std::string tail =
      " answers missing): the flash must be written again with acknowledgements awaited\nCan't "
      "write image " +
      fn + ": " + kInvalid + "\n" + kIncomplete;
  EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail) << r.err;
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_EQ(last_line_changes(m.sim, 5), release_sequence());
}

TEST(Faults, ABlockRefusedTwiceIsAcceptedAtTheThirdAttempt) {
  const FaultCase cases[] = {
      {"Get ID command", {"--nack-cmd", "0x02:2"}, {"-i", "0x410"}, 0, kFlashed, 0},
      {"erase command", {"--nack-cmd", "0x43:2"}, {}, 0, kFlashed, 0},
      {"erase parameter: the command again from its pair",
       refuse_tries(4, 2, 2),
       {},
       0,
       kFlashed,
       0,
       {"7f", "02 fd", "43 bc", "ff 00", "a4 a4", "43 bc", "ff 00", "a4 a4", "43 bc", "ff 00",
        "31 ce"}},
      {"write command", {"--nack-cmd", "0x31:2"}, {}, 0, kFlashed, 0},
      {"address block", refuse_tries(write_command_block(3) + 1, 2, 2), {}, 0, kFlashed, 0},
      {"data block", refuse_tries(write_command_block(24) + 2, 3, 2), {}, 0, kFlashed, 0},
  };
  for (const auto &c : cases) check_fault_case(c);
}

TEST(Faults, WrongBytesForAcknowledgementsCountAsRefusals) {
  const FaultCase cases[] = {
      // One 0x00 is passed over; the second fails the sync, and the next
      // entry through the reset line passes over the third.
      {"sync answered 0x00 three times: flashed after a second entry",
       answer(1, 3, "0x00"),
       {},
       0,
       kFlashed,
       0},
      // Unclear, not refused: the module is restarted (its sync answered
      // 0x78 twice more) and asked again.
      {"Get ID command answered 0x78", answer(2, 3, "0x78"), {"-i", "0x410"}, 0, kFlashed, 0},
      // Not acted on: read back still erased, so written again.
      {"last data block answered 0xFF",
       answer(write_command_block(24) + 2, 1, "0xFF"),
       {},
       0,
       kFlashed,
       0},
      {"erase command answered 0x7A twice", answer(3, 2, "0x7A"), {}, 0, kFlashed, 0},
  };
  for (const auto &c : cases) check_fault_case(c);
}

TEST(Faults, ABootLoaderThatRefusesTheGlobalEraseIsErasedThroughTheExtendedOne) {
  const std::vector<std::string> extended = {"7f",    "02 fd", "43 bc",    "43 bc", "43 bc",
                                             "00 ff", "44 bb", "ff ff 00", "31 ce"};
  const auto newer = [](std::vector<std::string> faults) {
    faults.insert(faults.begin(), "--extended-erase");
    return faults;
  };
  const FaultCase cases[] = {
      {"global erase accepted: the bytes as ever",
       {},
       {},
       0,
       kFlashed,
       0,
       {"7f", "02 fd", "43 bc", "ff 00", "31 ce"}},
      {"only the extended erase", newer({}), {}, 0, kMassErase + kFlashed, 0, extended},
      {"Get refused", newer({"--nack-cmd", "0x00:3"}), {}, 2, kEraseRefused, 0},
      {"Get reply closed by 0x1F",
       newer({"--get-reply", "053100022131441F"}),
       {},
       2,
       kEraseRefused,
       0},
      {"0x44 not listed", newer({"--get-reply", "033100023179"}), {}, 2, kEraseRefused, 0},
      {"0x44 refused", newer({"--nack-cmd", "0x44:3"}), {}, 2, kMassErase + kEraseRefused, 0},
  };
  for (const auto &c : cases) check_fault_case(c);
}

// The sync's answer late (the next 0x7F already out, held by the boot
// loader as the first byte of a pair), a stray byte before it, a realigning
// probe lost, the very first 0x7F damaged (refused by a boot loader not yet
// synchronised: checked, not taken as one that already listens): each run
// realigns, or listens on, and flashes.
TEST(Faults, ALateOrStraySyncAnswerAndALostProbeAreFlashed) {
  const struct {
    const char *what;
    std::vector<std::string> sim;
    bool head = false;  // the one-fragment image
  } rows[] = {
      {"every answer 30 ms late", {"--ack-delay-ms", "30"}},
      {"every answer 100 ms late", {"--ack-delay-ms", "100"}, true},
      {"a stray byte before the sync's answer", {"--garbage-before-ack"}},
      // Fragment 1's data block is refused; the first probe that follows
      // it (the 273rd byte from the flasher) is lost.
      {"the first probe after a refusal lost", {"--nack-block", "7", "--lose-byte", "273"}},
      {"the first sync byte damaged", {"--damage-byte", "1"}},
  };
  for (const auto &r : rows) {
    for (bool lines : {false, true}) {
      // Every answer late makes a long run; once, without lines, is enough.
      if (lines && r.sim[0] == "--ack-delay-ms") continue;
      FaultCase c{r.what, r.sim, {}, 0, r.head ? progress(kHead, 1) : kFlashed, 0};
      c.lines = lines;
      c.head = r.head;
      check_fault_case(c);
    }
  }
}

TEST(Faults, AHangUpInTheMiddleOfTheWriteFailsItWithEio) {
  const FaultCase cases[] = {
      {"after the first fragment", {"--hangup-after", "1"}, {}, 2, failed_write(2, kIo), 0},
      {"after three fragments", {"--hangup-after", "3"}, {}, 2, failed_write(4, kIo), 0},
      {"before the last fragment", {"--hangup-after", "23"}, {}, 2, failed_write(24, kIo), 0},
  };
  for (const auto &c : cases) check_fault_case(c);
}

// The slow cases, each a test of its own so that they run side by side.

// Three entries through the reset line, each with a whole sync (its budget
// shortened to three waits).
TEST(FaultsSlow, ASilentModuleCostsThreeEntriesOfAWholeSync) {
  check_fault_case(
      {"silent",
       {"--silent"},
       {},
       2,
       "Can't init device: Device or resource busy\nNo answer from the module's boot loader: check "
       "its power, the wiring, the boot-select line and the line speed\n",
       9,
       {},
       false,
       run_budgets() + ",sync=" + std::to_string(3 * kRunWaitMs)});
}

TEST(FaultsSlow, IdentifierBytesAnnouncedButNeverSentFailGetIdAfterOneWait) {
  check_fault_case({"one of two sent, shown",
                    {"--id-short", "1"},
                    {"--showid"},
                    2,
                    "Can't read device ID: Device or resource busy\n",
                    1});
  check_fault_case({"none sent, tested",
                    {"--id-short", "0"},
                    {"-i", "0xFFFFFFFF"},
                    2,
                    "Can't read device ID: Device or resource busy\n",
                    1});
}

// The erase's acknowledgement, awaited one wait and three more, is still
// caught while the boot loader is brought back to command level: the erase
// is not sent again.
TEST(FaultsSlow, AnEraseLongerThanItsWaitIsSeenDoneByTheRecovery) {
  const std::string erase_ms = std::to_string(kRunWaitMs * 7 / 2);
  check_fault_case({"erase of 3.5 waits", {"--erase-ms", erase_ms}, {}, 0, kFlashed, 3});
}

TEST(FaultsSlow, AGetReplyCutShortFailsTheEraseAfterOneWait) {
  check_fault_case({"one code missing, no closing byte",
                    {"--extended-erase", "--get-reply", "053100022131"},
                    {},
                    2,
                    "Can't erase device: Device or resource busy\n",
                    1});
}

// A mass erase is sent once: silent past its long budget (1.5 s), the module
// gets a probe byte after each wait, no recovery flood, for half the budget
// more; then the erase fails, named. A G0's own budget follows its 32 pages
// of 40 ms: a lost checksum costs twice that, not a minute.
TEST(FaultsSlow, AnExtendedMassEraseOfSixWaitsIsWaitedFor) {
  const auto erase_of = [](int waits) {
    return std::vector<std::string>{"--extended-erase", "--erase-ms",
                                    std::to_string(waits * kRunWaitMs)};
  };
  const std::string none =
      std::string("Can't erase device: no answer to the mass erase within 3 s\n") + kIncomplete;
  const std::vector<std::string> g0 = {"--part",     "0x466",       "--option-word",
                                       "0xFEFFFEAA", "--lose-byte", "28"};
  FaultCase rows[] = {{"6 waits", erase_of(6), {}, 0, kMassErase + kFlashed, 6},
                      {"9 waits", erase_of(9), {}, 0, kMassErase + kFlashed, 9},
                      {"20 waits", erase_of(20), {}, 2, kMassErase + none, 11},
                      {"G0, checksum lost", g0, {}, 0, kMassErase + kFlashed, 12}};
  rows[3].budgets = "wait=" + std::to_string(kRunWaitMs);
  for (FaultCase &c : rows) {
    c.erases = 1;
    c.most_rx = 8000;
    check_fault_case(c);
  }
}

// An acknowledgement that comes just after its second: the attempt has timed
// out and the block goes out again, so the late answer meets the repeat (or
// the flush before the next block) and the repeat meets a module that has
// moved on. The outcome depends on timing; it must be a clean one: a failure
// with one of the driver's messages, or a success with the image in flash.
void check_late_answers(const std::vector<std::string> &sim_args, int max_waits) {
  SCOPED_TRACE(sim_args[0] + " " + sim_args[1]);
  TempDir dir;
  WiredModule m(sim_args);
  ASSERT_TRUE(m.sim.ready());
  const auto start = Clock::now();
  const ProcResult r = flash(dir, m.args(), m.sysfs.path());
  const double took = seconds_since(start);
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(took, max_waits * kRunWaitMs / 1000.0 + kSlack);
  ASSERT_EQ(m.sim.stop(), 0);
  EXPECT_EQ(last_line_changes(m.sim, 5), release_sequence());
  if (r.status == 0) {
    EXPECT_EQ(r.err, kFlashed);
    EXPECT_EQ(m.sim.dump().substr(0, 6000), sample_bin());
    return;
  }
  EXPECT_EQ(r.status, 2) << r.err;
  const bool known = r.err.rfind("Can't init device: ", 0) == 0 ||
                     r.err.rfind("Can't read device ID: ", 0) == 0 ||
                     r.err.rfind("Can't erase device: ", 0) == 0 ||
                     r.err.find("\nCan't write image " + sample_hex() + ": ") != std::string::npos;
  EXPECT_TRUE(known) << r.err;
}

// Every answer later than the wait: the sync measures the latency, and
// every wait that tells no answer from a late one grows to twice it. The
// one-fragment image, each run a few dozen answers long.
TEST(FaultsSlow, AcknowledgementsJustAfterTheirWaitEndCleanly) {
  for (int ms : {kRunWaitMs + 10, 500}) {
    FaultCase c{"late", {"--ack-delay-ms", std::to_string(ms)}, {}, 0, "", 8 * ms / kRunWaitMs};
    c.err = progress(kHead, 1);
    c.head = c.only_intended = true;
    check_fault_case(c);
  }
}

TEST(FaultsSlow, AnEraseJustLongerThanOneWaitEndsCleanly) {
  check_late_answers({"--erase-ms", std::to_string(kRunWaitMs + 10)}, 3 * write_command_block(2));
}

// The flasher stopped by a signal. `ready` tells from the module's log when
// to send it; with `repeat` it is sent again every few milliseconds until the
// flasher has ended.
struct SignalRun {
  ProcResult r;
  double after_signal = -1;  // seconds from the (first) signal to the end
};

SignalRun signal_when(const WiredModule &m, const TempDir &dir,
                      const std::vector<std::string> &extra, int sig, const LogPredicate &ready,
                      bool repeat = false) {
  testsupport::Process p(flasher_argv(dir, m.args(extra)), flasher_options(m.sysfs.path()));
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
// times. extra: the flasher's arguments besides the sample and the lines.
void stop_at_phase(
    const std::vector<std::string> &sim_args, const LogPredicate &ready, bool repeat,
    const RunCheck &check,
    const std::function<bool(const SignalRun &, const SimProcess &)> &landed =
        [](const SignalRun &, const SimProcess &) { return true; },
    const std::vector<std::string> &flasher_args = {}) {
  for (int sig : kSignals) {
    SCOPED_TRACE(strsignal(sig));
    bool hit = false;
    for (int attempt = 0; attempt < 5 && !hit; ++attempt) {
      TempDir dir;
      WiredModule m(sim_args);
      ASSERT_TRUE(m.sim.ready());
      const SignalRun run = signal_when(m, dir, flasher_args, sig, ready, repeat);
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
// phase the signal is meant for.
TEST(FaultsSignal, DuringTheEraseEndsTheWaitAndReleasesTheModule) {
  const std::string erase_stopped = std::string("Can't erase device: ") + kInterrupted + "\n";
  struct Row {
    std::vector<std::string> module, args;
    std::string ready_kind, ready;
    std::string want;
  };
  const auto row = [](std::vector<std::string> module, std::vector<std::string> args,
                      std::string kind, std::string ready, std::string want) {
    return Row{module, args, kind, ready, want};
  };
  const std::vector<std::string> slow = {"--erase-ms", "5000"}, late = {"--ack-delay-ms", "20"};
  const Row rows[] = {
      row(slow, {}, "event", "erase", erase_stopped + kIncomplete),
      row({"--extended-erase", "--erase-ms", "5000"}, {}, "event", "erase",
          kMassErase + erase_stopped + kIncomplete),
      row(late, {}, "event", "cmd get-version",
          kFlashed +
              "The run was stopped once the image was written: every block was acknowledged\n"),
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
        [](const SignalRun &run, const SimProcess &) { return run.r.status != 0; }, r.args);
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
    // Sync, Get ID, erase command and parameter, three blocks per fragment,
    // the closing Get Version: nothing else.
    EXPECT_EQ(of_kind(m.sim.log(), "rx").size(), 4u + 3u * kSampleFragments + 1u);
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
