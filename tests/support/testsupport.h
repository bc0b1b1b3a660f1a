// Helpers shared by the tests: temporary directories that are kept when a
// test fails, running a program with its output captured, small file I/O.
#ifndef TARVION_TESTSUPPORT_H
#define TARVION_TESTSUPPORT_H

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp). Removed by the destructor when
// the current test passed; kept, with its path printed, when it failed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ProcResult {
  int status = -1;     // exit status, or 128 + signal number when killed
  bool timed_out = false;
  std::string out;     // standard output
  std::string err;     // standard error
};

struct ProcOptions {
  std::string input;                         // fed to standard input
  std::map<std::string, std::string> env;    // set (added) in the child
  std::vector<std::string> unset_env;        // removed in the child
  std::string cwd;                           // working directory, if set
  int timeout_ms = 60000;                    // killed with SIGKILL after this
};

// The command that runs argv: when the tests run under an emulator (a cross
// build, TARVION_TEST_EMULATOR set), programs of this build are started
// through it; everything else is returned unchanged.
std::vector<std::string> command_for(const std::vector<std::string> &argv);

// Runs argv[0] (a path) with the arguments and waits for it.
ProcResult run_process(const std::vector<std::string> &argv,
                       const ProcOptions &opts = ProcOptions());

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Path of the built flasher and of the source tree.
std::string flasher_path();
std::string source_dir();

}  // namespace testsupport

#endif
