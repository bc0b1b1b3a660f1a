// The whole update of a 64 KiB image into a simulated F4 (0x413, 1 MiB of
// flash, the datasheet's erase times) at 115200 baud: tarvion_update with
// --erase=all (the mass erase) and --erase=image (the four 16 KiB sectors the
// image touches), and, when Debian's stm32flash is installed, that flasher
// run as a black box against the same module (it erases only the pages it
// writes). Each run starts a fresh module and times the flasher's process
// from start to exit. The ratios to --erase=image are printed at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "black_box.h"
#include "sim_child.h"

namespace {

constexpr int kImageBytes = 64 * 1024;
const char kStmFlash[] = "/usr/bin/stm32flash";

// The image as a raw binary in a directory of its own; removed at exit.
const RandomFile &image_file() {
  static const RandomFile file(kImageBytes, 7);
  return file;
}

// Seconds per update, by case, for the ratios.
std::map<std::string, double> &seconds() {
  static std::map<std::string, double> s;
  return s;
}

void update(benchmark::State &state, const std::string &name,
            std::vector<std::string> (*command)(const std::string &tty)) {
  if (image_file().path.empty()) {
    state.SkipWithError("no image file");
    return;
  }
  double total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Sim sim({"--part", "0x413", "--baud", "115200"});
    if (sim.tty().empty()) {
      state.SkipWithError("the simulated module did not start");
      return;
    }
    const std::vector<std::string> argv = command(sim.tty());
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    if (!run_quiet(argv)) {
      state.SkipWithError("the update failed");
      return;
    }
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  seconds()[name] = total / static_cast<double>(state.iterations());
}

std::vector<std::string> flasher(const std::string &tty, const char *mode) {
#ifdef TARVION_UPDATE_BIN
  return {TARVION_UPDATE_BIN,
          "-f",
          "/nonexistent/tarvion_update.conf",
          "-d",
          tty,
          "-b",
          "115200",
          "-F",
          image_file().path,
          std::string("--erase=") + mode};
#else
  (void)tty;
  (void)mode;
  return {};
#endif
}

void BM_UpdateF4EraseAll(benchmark::State &state) {
  update(state, "all", [](const std::string &tty) { return flasher(tty, "all"); });
}

void BM_UpdateF4EraseImage(benchmark::State &state) {
  update(state, "image", [](const std::string &tty) { return flasher(tty, "image"); });
}

// A pseudo-terminal keeps no parity bit, so stm32flash is told 8N1 lest it
// find its 8E1 settings not taken.
void BM_UpdateF4Stm32flash(benchmark::State &state) {
  if (access(kStmFlash, X_OK) != 0) {
    state.SkipWithError("stm32flash is not installed");
    return;
  }
  update(state, "stm32flash", [](const std::string &tty) {
    return std::vector<std::string>{kStmFlash,         "-b", "115200",     "-m", "8n1", "-w",
                                    image_file().path, "-S", "0x08000000", tty};
  });
}

}  // namespace

BENCHMARK(BM_UpdateF4EraseAll)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateF4EraseImage)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateF4Stm32flash)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const auto &s = seconds();
  const auto image = s.find("image");
  if (image == s.end() || image->second <= 0) return 0;
  for (const auto &[name, secs] : s)
    std::printf("%-11s %7.2f s  %5.2f x --erase=image\n", name.c_str(), secs, secs / image->second);
  return 0;
}
