// One host byte lost, or separately damaged, at positions of a short run, or
// one reply byte damaged before its first erase or write: a two-fragment
// image with the global erase, with --erase=image on a part of the Erase
// 0x43 and on one of the Extended Erase 0x44 (and of six families), the mass
// erase, --verify and --go; each with both lines and with none. CI runs a
// sample of positions; TARVION_SWEEP=full runs every position
// (scripts/sweep.sh), and TARVION_SWEEP_TABLE=FILE appends a line per run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sweep_runs.h"

namespace {

using namespace testsupport;

const char *const kFaults[] = {"--lose-byte", "--damage-byte", "--damage-reply"};

bool full() {
  const char *mode = std::getenv("TARVION_SWEEP");
  return mode && std::string(mode) == "full";
}

// Positions 1 to n: all of them, or a sample of `sample`.
std::vector<size_t> positions(size_t n, size_t seed, size_t sample) {
  std::vector<size_t> p;
  for (size_t i = 1; i <= n && full(); ++i) p.push_back(i);
  for (size_t k = 0; k < sample && n > 0 && !full(); ++k)
    p.push_back(1 + (seed * 37 + k * (n / 2 + 5)) % n);
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
    if (lines && s.profile && !full()) continue;
    const std::string where = std::string(s.name) + (lines ? ", lines" : ", no lines");
    SCOPED_TRACE(where);
    const SweepOutcome clean = sweep_run(s, lines, {});
    ASSERT_EQ(clean.status, 0) << clean.err;
    ASSERT_EQ(judge_sweep_run(s, clean), "");
    for (size_t f = 0; f < 3; ++f) {
      const bool reply = f == 2;
      const size_t sample = reply ? 1 : s.profile ? 0 : 2;
      for (size_t pos :
           positions(reply ? clean.opening : clean.host_bytes, index * 4 + f * 2 + lines, sample)) {
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

TEST(Sweep, ADamagedReplyNeverMakesAPartOfSixFamiliesEraseOrWriteOutsideTheImage) {
  for (size_t i = 6; i < sweep_scenarios().size(); ++i) sweep(i);
}

}  // namespace
