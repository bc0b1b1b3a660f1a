// Helpers shared by the tests: temporary directories that are kept when a
// test fails, running a program with its output captured, small file I/O.
#ifndef TARVION_TESTSUPPORT_H
#define TARVION_TESTSUPPORT_H

#include <sys/types.h>

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
  int status = -1;  // exit status, or 128 + signal number when killed
  bool timed_out = false;
  std::string out;  // standard output
  std::string err;  // standard error
};

struct ProcOptions {
  std::string input;                       // fed to standard input
  std::map<std::string, std::string> env;  // set (added) in the child
  std::vector<std::string> unset_env;      // removed in the child
  std::string cwd;                         // working directory, if set
  int timeout_ms = 60000;                  // killed with SIGKILL after this
};

// The command that runs argv: in a cross build, programs of this build are
// started through the build's emulator (CMAKE_CROSSCOMPILING_EMULATOR, or the
// environment variable TARVION_TEST_EMULATOR when set; set empty on the
// target itself); everything else is returned unchanged.
std::vector<std::string> command_for(const std::vector<std::string> &argv);

// Whether the tests run under a user-mode emulator, which may lack what the
// target's kernel has (a test then skips that part and says why).
bool emulated();

// A program started in the background, in a process group of its own; its
// standard output and error go to files until wait() collects them.
class Process {
 public:
  Process(const std::vector<std::string> &argv, const ProcOptions &opts = ProcOptions());
  ~Process();  // kills the program if it still runs
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }
  bool running();  // false once the program has ended
  // Waits until the program ends (killed with SIGKILL after the options'
  // time-out, counted from the start) and returns what it did.
  ProcResult wait();

 private:
  TempDir io_;
  pid_t pid_ = -1;
  int timeout_ms_;
  long long started_ms_;
  bool reaped_ = false;
  int raw_status_ = 0;
};

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
