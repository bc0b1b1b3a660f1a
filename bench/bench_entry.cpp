// The entry into the boot loader: the real flasher (--showid, reset and
// boot-select lines) against the simulated module with its GPIO model and a
// start-up of 0, 85, 400 or 1500 ms. Reports, from the module's own log, the
// time from the release of reset to the first acknowledgement, and how far
// that lies beyond the start-up (the goal: at most 60 ms). With
// TARVION_BENCH_FLASHER naming another build's flasher, that one is timed.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim_child.h"

namespace {

// A directory of its own, removed with what it holds.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/tarvion-bench-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    const std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// The flasher under test: this build's, or the one TARVION_BENCH_FLASHER
// names (another build, to compare).
std::string flasher_path() {
  const char *other = std::getenv("TARVION_BENCH_FLASHER");
#ifdef TARVION_UPDATE_BIN
  return other && *other ? other : TARVION_UPDATE_BIN;
#else
  return other ? other : "";
#endif
}

// Runs the flasher with TARVION_SYSFS set; true when it ended 0.
bool run_flasher(const std::vector<std::string> &args, const std::string &sysfs) {
  const std::string path = flasher_path();
  if (path.empty()) return false;
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> cargv;
  for (std::string &a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setenv("TARVION_SYSFS", sysfs.c_str(), 1);
    execv(path.c_str(), cargv.data());
    _exit(127);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Seconds from the entry's release of reset (the first "reset 1" after
// "boot 1") to the first acknowledgement after it, from the module's log;
// -1 when the log holds no such pair.
double reset_to_ack(const std::string &log_path) {
  std::ifstream in(log_path);
  std::string line;
  double released = -1;
  bool boot = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    double t = 0;
    std::string kind, rest;
    words >> t >> kind;
    std::getline(words, rest);
    if (kind == "gpio" && rest == " boot 1") boot = true;
    if (kind == "gpio" && rest == " reset 1" && boot && released < 0) released = t;
    if (kind == "tx" && released >= 0 && rest.rfind(" 79", 0) == 0) return t - released;
  }
  return -1;
}

void BM_ResetReleaseToFirstAcknowledgement(benchmark::State &state) {
  const int start_up_ms = static_cast<int>(state.range(0));
  double over_ms = 0;
  for (auto _ : state) {
    ScratchDir dir;
    const std::string log = dir.path() + "/sim.log";
    Sim sim({"--sysfs", dir.path(), "--reset-gpio", "17", "--boot-gpio", "18", "--boot-ms",
             std::to_string(start_up_ms), "--log", log});
    if (sim.tty().empty()) {
      state.SkipWithError("the simulated module did not start");
      return;
    }
    const bool ok = run_flasher(
        {"--conffile", dir.path() + "/absent.conf", "-d", sim.tty(), "-r", "17", "-s", "18",
         "--showid", "-F", std::string(TARVION_SOURCE_DIR) + "/examples/sample.hex"},
        dir.path());
    const double took = reset_to_ack(log);
    if (!ok || took < 0) {
      state.SkipWithError("no acknowledgement after the release of reset");
      return;
    }
    state.SetIterationTime(took);
    over_ms += took * 1000 - start_up_ms;
  }
  state.counters["beyond_start_up_ms"] =
      state.iterations() ? over_ms / static_cast<double>(state.iterations()) : 0;
}

}  // namespace

BENCHMARK(BM_ResetReleaseToFirstAcknowledgement)
    ->Arg(0)
    ->Arg(85)
    ->Arg(400)
    ->Arg(1500)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
