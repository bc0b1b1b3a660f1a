// Faults of the module, end to end: the real flasher against the simulated
// module told to refuse, answer wrongly, fall silent, answer late or hang
// up. Every case checks the exact messages, the exit status, the release of
// the module (seen in the module's own log of its lines) and that the run
// ended within its documented worst case: each awaited byte costs at most
// one wait of a second. Under the sanitizer build a leak shows as extra
// output and another exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

// What a refused erase prints: the cause, then where to look.
const std::string kEraseRefused =
    std::string("Can't erase device: ") + kInvalid +
    "\nHint: the flash may be read- or write-protected; --unprotect lifts the protection "
    "(read-out protection only with the whole flash)\n";

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
      {"erase parameter, in each try", refuse_tries(5, 2, 3), {}, 2, kEraseRefused, 0},
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
       refuse_tries(5, 2, 2),
       {},
       0,
       kFlashed,
       0,
       {"7f", "02 fd", "02 fd", "43 bc", "ff 00", "a4 a4", "43 bc", "ff 00", "a4 a4", "43 bc",
        "ff 00", "31 ce"}},
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
      {"erase command answered 0x7A twice", answer(4, 2, "0x7A"), {}, 0, kFlashed, 0},
  };
  for (const auto &c : cases) check_fault_case(c);
}

TEST(Faults, ABootLoaderThatRefusesTheGlobalEraseIsErasedThroughTheExtendedOne) {
  const std::vector<std::string> extended = {"7f",    "02 fd",    "02 fd", "43 bc",
                                             "43 bc", "43 bc",    "00 ff", "00 ff",
                                             "44 bb", "ff ff 00", "31 ce"};
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
       {"7f", "02 fd", "02 fd", "43 bc", "ff 00", "31 ce"}},
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
    bool head = false;  // the one-fragment image: a late answer costs each block
  } rows[] = {
      {"every answer 30 ms late", {"--ack-delay-ms", "30"}, true},
      {"every answer 100 ms late", {"--ack-delay-ms", "100"}, true},
      {"a stray byte before the sync's answer", {"--garbage-before-ack"}},
      // Fragment 1's data block is refused; the first probe that follows
      // it (the 275th byte from the flasher) is lost.
      {"the first probe after a refusal lost", {"--nack-block", "8", "--lose-byte", "275"}},
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
// more; then the erase fails, named.
TEST(FaultsSlow, AnExtendedMassEraseOfSixWaitsIsWaitedFor) {
  const auto erase_of = [](int waits) {
    return std::vector<std::string>{"--extended-erase", "--erase-ms",
                                    std::to_string(waits * kRunWaitMs)};
  };
  const std::string none =
      std::string("Can't erase device: no answer to the mass erase within 3 s\n") + kIncomplete;
  FaultCase rows[] = {{"6 waits", erase_of(6), {}, 0, kMassErase + kFlashed, 6},
                      {"9 waits", erase_of(9), {}, 0, kMassErase + kFlashed, 9},
                      {"20 waits", erase_of(20), {}, 2, kMassErase + none, 11}};
  for (FaultCase &c : rows) {
    c.erases = 1;
    c.most_rx = 8000;
    check_fault_case(c);
  }
}

// A known part's mass erase is waited for as long as its pages take: a G0's
// 32 pages of 40 ms, so that a lost checksum costs twice that, not a minute.
TEST(FaultsSlow, AKnownPartsMassEraseIsWaitedForAsLongAsItsPagesTake) {
  FaultCase c = {"G0, checksum lost",
                 {"--part", "0x466", "--option-word", "0xFEFFFEAA", "--lose-byte", "32"},
                 {},
                 0,
                 kMassErase + kFlashed,
                 12};
  c.budgets = "wait=" + std::to_string(kRunWaitMs);
  c.erases = 1;
  c.most_rx = 8000;
  check_fault_case(c);
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

}  // namespace
