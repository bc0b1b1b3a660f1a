#include "flasher.h"

#include <algorithm>
#include <utility>

namespace testsupport {

std::string sample_hex() {
  return source_dir() + "/examples/sample.hex";
}

std::string sample_bin() {
  return read_file(source_dir() + "/examples/sample.bin");
}

std::string progress_dots(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i % 20 == 0 ? "\n\t." : ".");
  return s;
}

std::string progress(const std::string &fn, int n) {
  return "Flashing " + fn + progress_dots(n) + "\n\tdone\n";
}

std::vector<std::string> flasher_argv(const TempDir &dir, std::vector<std::string> args) {
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

ProcOptions flasher_options(const std::string &sysfs) {
  ProcOptions o;
  o.timeout_ms = 60000;
  if (!sysfs.empty())
    o.env["TARVION_SYSFS"] = sysfs;
  else
    o.unset_env.push_back("TARVION_SYSFS");
  return o;
}

ProcResult flash(const TempDir &dir, std::vector<std::string> args, const std::string &sysfs) {
  return run_process(flasher_argv(dir, std::move(args)), flasher_options(sysfs));
}

const std::vector<std::string> &release_sequence() {
  static const std::vector<std::string> seq = {"reset 0", "boot 0", "reset 1", "unexport 18",
                                               "unexport 17"};
  return seq;
}

std::vector<std::string> last_line_changes(const SimProcess &sim, size_t n) {
  const auto gpio = rests(of_kind(sim.log(), "gpio"));
  return {gpio.end() - static_cast<long>(std::min(n, gpio.size())), gpio.end()};
}

namespace {

std::vector<std::string> with_lines(const std::string &dir, std::vector<std::string> a) {
  a.insert(a.end(), {"--sysfs", dir, "--reset-gpio", kResetPin, "--boot-gpio", kBootPin});
  return a;
}

}  // namespace

WiredModule::WiredModule(std::vector<std::string> extra)
    : sim(with_lines(sysfs.path(), std::move(extra))) {}

std::vector<std::string> WiredModule::args(std::vector<std::string> extra) const {
  std::vector<std::string> a = {"-d", sim.tty_path(), "-r", kResetPin,
                                "-s", kBootPin,       "-F", sample_hex()};
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

}  // namespace testsupport
