// The end-to-end tests' side of a run: the real flasher against the
// simulated module, with a sysfs stand-in for its reset and boot-select
// lines, and the texts a run prints.
#ifndef TARVION_FLASHER_H
#define TARVION_FLASHER_H

#include <string>
#include <vector>

#include "sim_process.h"
#include "testsupport.h"

namespace testsupport {

inline const char kResetPin[] = "17";
inline const char kBootPin[] = "18";

// The sample firmware: 6000 bytes, 23 fragments of 256 bytes and one of 112.
constexpr int kSampleFragments = 24;

std::string sample_hex();
std::string sample_bin();  // its content

// The dots the progress display shows for n fragments: twenty to a line.
std::string progress_dots(int n);

// What the progress display shows for a whole image of n fragments.
std::string progress(const std::string &fn, int n);

// The flasher's command line. A configuration file that does not exist is
// named unless the arguments name one, so that no file of the machine is read.
std::vector<std::string> flasher_argv(const TempDir &dir, std::vector<std::string> args);

// The environment of a run: TARVION_SYSFS set to sysfs, or removed.
ProcOptions flasher_options(const std::string &sysfs);

// Runs the flasher and waits for it.
ProcResult flash(const TempDir &dir, std::vector<std::string> args, const std::string &sysfs = "");

// The line changes that end every run once the port is open: reset low,
// boot-select low, reset high, then both lines unexported.
const std::vector<std::string> &release_sequence();

// The last line changes the module saw (fewer when it saw fewer).
std::vector<std::string> last_line_changes(const SimProcess &sim, size_t n);

// The simulated module with its two lines, waiting in its application.
struct WiredModule {
  TempDir sysfs;
  SimProcess sim;
  explicit WiredModule(std::vector<std::string> extra = {});
  // The flasher's arguments for this module with both lines and the sample.
  std::vector<std::string> args(std::vector<std::string> extra = {}) const;
};

}  // namespace testsupport

#endif
