// Running the option pass and the configuration file reader in tests: an
// argument vector, a pass over it, a child process whose exit and output are
// captured, a record described as text, and the exact help texts.
#ifndef TARVION_OPTION_RUNS_H
#define TARVION_OPTION_RUNS_H

#include <functional>
#include <string>
#include <vector>

#include "options.h"

namespace testsupport {

// An argument vector that getopt may permute.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args) : s_(std::move(args)) {
    for (std::string &a : s_) p_.push_back(&a[0]);
    p_.push_back(nullptr);
  }
  Argv(const Argv &) = delete;
  Argv &operator=(const Argv &) = delete;
  int argc() const { return static_cast<int>(s_.size()); }
  char **argv() { return p_.data(); }

 private:
  std::vector<std::string> s_;
  std::vector<char *> p_;
};

// One option pass over args (no additional error text).
int pass(update_conf *c, std::vector<std::string> args, int override = 1, int initialize = 1,
         int check_required = 0);

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs fn in a child with standard output and error captured; the status is
// the child's exit status (fn's result when fn returns).
Outcome in_child(const std::function<int()> &fn);

// The given options of a record with their values, in table order.
std::string describe(const update_conf &c);

// The exact texts of --help, --full-help and --version.
extern const std::string kHelp;
extern const std::string kFullHelp;
extern const std::string kVersion;

}  // namespace testsupport

#endif
