// One host byte lost, or separately damaged, at positions of a short run:
// a two-fragment image with the global erase, with --erase=image on a part
// of the Erase 0x43 and on one of the Extended Erase 0x44, the mass erase,
// --verify and --go; each with both lines and with none. CI runs a sample of
// positions; TARVION_SWEEP=full runs every position (scripts/sweep.sh), and
// TARVION_SWEEP_TABLE=FILE appends a line per run to FILE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sweep_runs.h"

namespace {

using namespace testsupport;

const char *const kFaults[] = {"--lose-byte", "--damage-byte"};

std::vector<size_t> positions(size_t n, size_t seed) {
  const char *mode = std::getenv("TARVION_SWEEP");
  std::vector<size_t> p;
  if (mode && std::string(mode) == "full") {
    for (size_t i = 1; i <= n; ++i) p.push_back(i);
    return p;
  }
  for (size_t k = 0; k < 2 && n > 1; ++k) p.push_back(2 + (seed * 37 + k * (n / 2 + 5)) % (n - 1));
  return p;
}

void note(const std::string &line) {
  const char *table = std::getenv("TARVION_SWEEP_TABLE");
  if (!table) return;
  std::ofstream out(table, std::ios::app);
  out << line << "\n";
}

std::string first_line(const std::string &text) {
  return text.substr(0, text.find('\n'));
}

// The last line a run printed: its verdict.
std::string last_line(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t nl = text.rfind('\n');
  return text.empty() ? "-" : nl == std::string::npos ? text : text.substr(nl + 1);
}

void sweep(size_t index) {
  const Scenario &s = sweep_scenarios()[index];
  for (bool lines : {false, true}) {
    const std::string where = std::string(s.name) + (lines ? ", lines" : ", no lines");
    SCOPED_TRACE(where);
    const SweepOutcome clean = sweep_run(s, lines, {});
    ASSERT_EQ(clean.status, 0) << clean.err;
    ASSERT_EQ(judge_sweep_run(s, clean), "");
    for (size_t f = 0; f < 2; ++f) {
      for (size_t pos : positions(clean.host_bytes, index * 4 + f * 2 + lines)) {
        const SweepOutcome o = sweep_run(s, lines, {kFaults[f], std::to_string(pos)});
        const std::string verdict = judge_sweep_run(s, o);
        EXPECT_EQ(verdict, "") << kFaults[f] << " " << pos << ": " << o.err;
        note(where + "\t" + kFaults[f] + "\t" + std::to_string(pos) + "\t" +
             std::to_string(o.status) + "\t" + (verdict.empty() ? "ok" : first_line(verdict)) +
             "\t" + last_line(o.err));
      }
    }
  }
}

TEST(Sweep, AByteLostOrDamagedInARunWithTheGlobalEraseNeverLeavesAWrongFlashAtStatusZero) {
  sweep(0);
}

TEST(Sweep, AByteLostOrDamagedInAPageListOfEraseNeverErasesAPageOutsideTheImageUnsaid) {
  sweep(1);
}

TEST(Sweep, AByteLostOrDamagedInAPageListOfExtendedEraseNeverErasesAPageOutsideTheImageUnsaid) {
  sweep(2);
}

TEST(Sweep, AByteLostOrDamagedInARunWithTheMassEraseNeverLeavesAWrongFlashAtStatusZero) {
  sweep(3);
}

TEST(Sweep, AByteLostOrDamagedInARunWithVerifyNeverLeavesAWrongFlashAtStatusZero) {
  sweep(4);
}

TEST(Sweep, AByteLostOrDamagedInARunWithGoNeverLeavesAWrongFlashAtStatusZero) {
  sweep(5);
}

}  // namespace
