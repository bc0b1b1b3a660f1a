// The end-to-end tests' side of a run: the real flasher against the
// simulated module, with a sysfs stand-in for its reset and boot-select
// lines, and the texts a run prints.
#ifndef TARVION_FLASHER_H
#define TARVION_FLASHER_H

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "sim_process.h"
#include "testsupport.h"

namespace testsupport {

inline const char kResetPin[] = "17";
inline const char kBootPin[] = "18";

// The sample firmware: 6000 bytes, 23 fragments of 256 bytes and one of 112.
constexpr int kSampleFragments = 24;

inline std::string sample_hex() {
  return source_dir() + "/examples/sample.hex";
}
inline std::string sample_bin() {
  return read_file(source_dir() + "/examples/sample.bin");
}

// What --verbose prints of the simulated module's part (0x410) by default.
inline const char kSimPartLine[] = "Part F1 medium-density: 128 KiB flash, 128 pages of 1 KiB\n";

// What follows a failure or a stop once the flash was erased.
inline const char kIncomplete[] =
    "The flash is incomplete: the module must be flashed again before it can run\n";

// The dots the progress display shows for n fragments: twenty to a line.
inline std::string progress_dots(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i % 20 == 0 ? "\n\t." : ".");
  return s;
}

// What the progress display shows for a whole image of n fragments.
inline std::string progress(const std::string &fn, int n) {
  return "Flashing " + fn + progress_dots(n) + "\n\tdone\n";
}

// The flasher's command line. A configuration file that does not exist is
// named unless the arguments name one, so that no file of the machine is read.
inline std::vector<std::string> flasher_argv(const TempDir &dir, std::vector<std::string> args) {
  std::vector<std::string> argv = {flasher_path()};
  const bool names_conf = std::any_of(args.begin(), args.end(), [](const std::string &a) {
    return a == "-f" || a.rfind("--conf", 0) == 0;
  });
  if (!names_conf) {
    argv.push_back("--conffile");
    argv.push_back(dir.file("absent.conf"));
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The budgets of the flasher's waits in the end-to-end runs: a byte's wait,
// the long waits and a FIFO's wait for its reader (--read) shortened, so
// that a fault costs the run little time; the sync keeps its budget, which
// the slowest start-ups need.
constexpr int kRunWaitMs = 200;
constexpr int kRunLongMs = 1500;
constexpr int kRunReaderMs = 300;  // the tests start their readers before the run
inline const std::string &run_budgets() {
  static const std::string b = "wait=" + std::to_string(kRunWaitMs) +
                               ",long=" + std::to_string(kRunLongMs) +
                               ",reader=" + std::to_string(kRunReaderMs);
  return b;
}

// The environment of a run: TARVION_SYSFS set to sysfs, or removed; the
// shortened budgets.
inline ProcOptions flasher_options(const std::string &sysfs) {
  ProcOptions o;
  o.timeout_ms = 60000;
  o.env["TARVION_BUDGETS"] = run_budgets();
  if (!sysfs.empty())
    o.env["TARVION_SYSFS"] = sysfs;
  else
    o.unset_env.push_back("TARVION_SYSFS");
  return o;
}

// Runs the flasher and waits for it.
inline ProcResult flash(const TempDir &dir, std::vector<std::string> args,
                        const std::string &sysfs = "") {
  return run_process(flasher_argv(dir, std::move(args)), flasher_options(sysfs));
}

// Runs the flasher on the module's port with the firmware file fn and the
// extra arguments, without lines, and waits for it.
inline ProcResult flash_file(const TempDir &dir, const SimProcess &sim, const std::string &fn,
                             const std::vector<std::string> &extra) {
  std::vector<std::string> args = {"-d", sim.tty_path(), "-F", fn};
  args.insert(args.end(), extra.begin(), extra.end());
  return flash(dir, std::move(args));
}

// The line changes that end every run once the port is open: reset low,
// boot-select low, reset high, then both lines unexported.
inline const std::vector<std::string> &release_sequence() {
  static const std::vector<std::string> seq = {"reset 0", "boot 0", "reset 1", "unexport 18",
                                               "unexport 17"};
  return seq;
}

// The last line changes the module saw (fewer when it saw fewer).
inline std::vector<std::string> last_line_changes(const SimProcess &sim, size_t n) {
  const auto gpio = rests(of_kind(sim.log(), "gpio"));
  return {gpio.end() - static_cast<long>(std::min(n, gpio.size())), gpio.end()};
}

// The simulated module with its two lines, waiting in its application; or,
// without lines, a module that waits in its boot loader.
struct WiredModule {
  TempDir sysfs;
  bool lines;
  SimProcess sim;
  explicit WiredModule(std::vector<std::string> extra = {}, bool wired = true)
      : lines(wired), sim(wired ? with_lines(sysfs.path(), std::move(extra)) : std::move(extra)) {}
  static std::vector<std::string> with_lines(const std::string &dir, std::vector<std::string> a) {
    a.insert(a.end(), {"--sysfs", dir, "--reset-gpio", kResetPin, "--boot-gpio", kBootPin});
    return a;
  }
  // The flasher's arguments for this module with its lines and the sample
  // (or the firmware file fw).
  std::vector<std::string> args(std::vector<std::string> extra = {},
                                const std::string &fw = sample_hex()) const {
    std::vector<std::string> a = {"-d", sim.tty_path(), "-F", fw};
    if (lines) a.insert(a.end(), {"-r", kResetPin, "-s", kBootPin});
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
};

}  // namespace testsupport

#endif
