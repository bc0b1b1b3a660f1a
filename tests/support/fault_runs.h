// The end-to-end fault runs' shared frame: the flasher with the sample and
// both lines against the simulated module given faults, and what every such
// run must show.
#ifndef TARVION_FAULT_RUNS_H
#define TARVION_FAULT_RUNS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flasher.h"
#include "images.h"
#include "timing.h"

namespace testsupport {

// Added to a run's worst case: start-up, the line sequences, a loaded
// machine, the sanitizer build. A bound on hanging, not a measurement.
inline constexpr double kSlack = 8.0;

// Blocks of a run with the sample and without identifier test, counted from
// 1 as the module counts them: sync, Get ID twice, erase command, erase
// parameter, then per fragment f (from 1) its write command, address block
// and data block.
inline int write_command_block(int f) {
  return 6 + 3 * (f - 1);
}

// What a run that flashed the sample prints.
inline const std::string kFlashed = progress(sample_hex(), kSampleFragments);

// A newer boot loader's mass erase is announced, as it can take a minute.
inline const std::string kMassErase = "Mass erase: this can take up to a minute\n";

// Only the commands the flasher meant were acted on, each flash word
// written once. Get Version closes the writes; Get ID and Get are asked.
inline void check_only_intended_commands(const SimProcess &sim) {
  for (const auto &e : sim.events()) {
    const bool cmd = e.rfind("cmd ", 0) == 0;
    const bool intended = e.rfind("cmd erase", 0) == 0 || e.rfind("cmd write", 0) == 0 ||
                          e.rfind("cmd read", 0) == 0 || e.rfind("cmd get", 0) == 0;
    EXPECT_TRUE(!cmd || intended) << e;
    EXPECT_NE(e.rfind("twice", 0), 0u) << e;
    EXPECT_NE(e.rfind("overwrite", 0), 0u) << e;
  }
}

// The sample's first fragment alone, written into the run's directory.
inline const char kHead[] = "head.hex";

// Writes kHead into dir; returns its path.
inline std::string write_head(const TempDir &dir) {
  const std::string head = sample_bin().substr(0, 256);
  write_file(dir.file(kHead), ihex_text({{0x08000000, Bytes(head.begin(), head.end())}}));
  return dir.file(kHead);
}

struct FaultCase {
  const char *what;
  std::vector<std::string> sim_args;
  std::vector<std::string> flasher_args;
  int status;       // 0: flashed (the module's flash then holds the image), or 2
  std::string err;  // standard error, exactly
  int waits;        // waits for a byte (kRunWaitMs) that run out on the way
  std::vector<std::string> rx_first = {};  // the first blocks the module received
  bool only_intended = false;              // check that no other command was acted on
  std::string budgets = "";                // the flasher's budgets, when not run_budgets()
  bool lines = true;                       // the reset and boot-select lines wired
  bool head = false;   // flash kHead, the sample's first fragment, instead of the sample
  int erases = -1;     // erase commands acted on, when not -1
  size_t most_rx = 0;  // bytes the module may receive at most (0: any)
  // A command (its event) sent once, and never reset before its second
  // answer: an unprotect that changes the module's protection.
  std::string undisturbed = "";
};

// Whether the module logged `command` once and answered it twice before
// any reset.
inline bool answered_before_reset(const SimProcess &sim, const std::string &command) {
  int seen = 0, answers = 0;
  for (const auto &r : sim.log()) {
    if (r.kind == "event" && r.rest == command) ++seen;
    if (seen == 1 && r.kind == "tx") ++answers;
    if (seen == 1 && r.kind == "gpio" && r.rest == "reset 0") break;
  }
  return seen == 1 && answers >= 2;
}

inline void check_fault_case(const FaultCase &c) {
  SCOPED_TRACE(c.what);
  TempDir dir;
  WiredModule m(c.sim_args, c.lines);
  ASSERT_TRUE(m.sim.ready());
  ProcOptions po = flasher_options(c.lines ? m.sysfs.path() : "");
  if (!c.budgets.empty()) po.env["TARVION_BUDGETS"] = c.budgets;
  if (c.head) {
    write_head(dir);
    po.cwd = dir.path();
  }
  const auto start = Clock::now();
  const ProcResult r =
      run_process(flasher_argv(dir, m.args(c.flasher_args, c.head ? kHead : sample_hex())), po);
  const double took = seconds_since(start);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  EXPECT_GE(took, 0.99 * c.waits * kRunWaitMs / 1000);
  EXPECT_LT(took, c.waits * kRunWaitMs / 1000.0 + kSlack);
  ASSERT_EQ(m.sim.stop(), 0);
  if (c.lines) {
    EXPECT_EQ(last_line_changes(m.sim, 5), release_sequence());
    EXPECT_TRUE(has_event(m.sim, "restart app"));
  }
  if (c.status == 0) {
    const size_t n = c.head ? 256 : 6000;
    EXPECT_EQ(m.sim.dump().substr(0, n), sample_bin().substr(0, n));
  }
  const auto events = m.sim.events();
  const auto erases = std::count_if(events.begin(), events.end(), [](const std::string &e) {
    return e.rfind("cmd erase", 0) == 0;
  });
  size_t received = 0;
  for (const auto &b : m.sim.rx_blocks()) received += b.size();
  EXPECT_TRUE(c.erases < 0 || erases == c.erases) << erases << " erase commands";
  EXPECT_TRUE(c.most_rx == 0 || received <= c.most_rx) << received << " bytes received";
  const auto rx = rests(of_kind(m.sim.log(), "rx"));
  const size_t n = std::min(rx.size(), c.rx_first.size());
  EXPECT_EQ(std::vector<std::string>(rx.begin(), rx.begin() + static_cast<long>(n)), c.rx_first);
  if (c.only_intended) check_only_intended_commands(m.sim);
  if (!c.undisturbed.empty()) {
    EXPECT_TRUE(answered_before_reset(m.sim, c.undisturbed));
  }
}

}  // namespace testsupport

#endif
