// Reading the whole flash of a simulated F1 (0x410, 128 KiB), paced as a real
// line at 921600 baud, into a file (--read), with tarvion_update run as a
// black box from start to exit: against the protocol's floor (per block of
// 256 bytes the host sends 2 + 5 + 2 bytes and receives three
// acknowledgements and the block, 268 bytes of 11 bits) and, when Debian's
// stm32flash is installed, against that flasher reading the same module;
// the two run in turns, each against a fresh module, and their ratio is
// taken pair by pair. Also the cost of --verify: the same 64 KiB image
// flashed with and without it, in turns, at 115200 and 921600 baud.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "black_box.h"
#include "sim_child.h"

namespace {

constexpr int kFlashBytes = 128 * 1024;
constexpr int kBlock = 256;
constexpr int kBlockWire = 2 + 5 + 2 + 3 + kBlock;
const char kStmFlash[] = "/usr/bin/stm32flash";

double floor_s(int baud) {
  return static_cast<double>(kFlashBytes / kBlock) * kBlockWire * 11.0 / baud;
}

// Runs the command that command(tty) gives against a fresh module paced at
// baud; the seconds its process took, or a negative number on failure.
template <class Command>
double timed_run(int baud, Command command) {
  Sim sim({"--part", "0x410", "--baud", std::to_string(baud)});
  if (sim.tty().empty()) return -1;
  const std::vector<std::string> argv = command(sim.tty());
  const auto start = std::chrono::steady_clock::now();
  if (!run_quiet(argv)) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> flasher(const std::string &tty, int baud, std::vector<std::string> extra) {
#ifdef TARVION_UPDATE_BIN
  std::vector<std::string> argv = {TARVION_UPDATE_BIN,
                                   "-f",
                                   "/nonexistent/tarvion_update.conf",
                                   "-d",
                                   tty,
                                   "-b",
                                   std::to_string(baud),
                                   "--progress=none"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
#else
  (void)tty;
  (void)baud;
  (void)extra;
  return {};
#endif
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// A pseudo-terminal keeps no parity bit, so stm32flash is told 8N1 lest it
// find its 8E1 settings not taken.
void BM_ReadAgainstFloorAndStm32flash(benchmark::State &state) {
  const int baud = static_cast<int>(state.range(0));
  const RandomFile out(0, 0, "flash.bin");
  const bool stm = access(kStmFlash, X_OK) == 0;
  double ours = 0, theirs = 0;
  std::vector<double> ratios;
  for (auto _ : state) {
    const double a = timed_run(baud, [&](const std::string &tty) {
      return flasher(tty, baud, {"--read", out.path});
    });
    const double b = !stm ? 0 : timed_run(baud, [&](const std::string &tty) {
      return std::vector<std::string>{kStmFlash, "-b", std::to_string(baud), "-m", "8n1", "-r",
                                      out.path,  tty};
    });
    if (a < 0 || b < 0) {
      state.SkipWithError("a read failed");
      return;
    }
    ours += a;
    theirs += b;
    if (stm) ratios.push_back(a / b);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_s"] = ours / n;
  state.counters["floor_s"] = floor_s(baud);
  state.counters["ours_per_floor"] = ours / n / floor_s(baud);
  if (!stm) return;
  state.counters["stm32flash_s"] = theirs / n;
  state.counters["ours_per_stm32flash"] = median(ratios);
}

// --verify against a plain flash of the same image (the mass erase, the
// write, then the read-back).
void BM_VerifyAgainstAPlainFlash(benchmark::State &state) {
  const int baud = static_cast<int>(state.range(0));
  const RandomFile image(64 * 1024, 11);
  double plain = 0, verified = 0;
  for (auto _ : state) {
    const double a = timed_run(baud, [&](const std::string &tty) {
      return flasher(tty, baud, {"-F", image.path});
    });
    const double b = timed_run(baud, [&](const std::string &tty) {
      return flasher(tty, baud, {"-F", image.path, "--verify"});
    });
    if (a < 0 || b < 0) {
      state.SkipWithError("a flash failed");
      return;
    }
    plain += a;
    verified += b;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["plain_s"] = plain / n;
  state.counters["verify_s"] = verified / n;
  state.counters["verify_per_plain"] = plain > 0 ? verified / plain : 0;
}

}  // namespace

BENCHMARK(BM_ReadAgainstFloorAndStm32flash)
    ->Arg(921600)
    ->Iterations(5)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_VerifyAgainstAPlainFlash)
    ->Arg(115200)
    ->Arg(921600)
    ->Iterations(3)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

BENCHMARK_MAIN();
