#include "testsupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tarvion-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "test files kept in %s\n", path_.c_str());
    return;
  }
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {

// The build's emulator is compiled in, so that a test program started by
// hand under the emulator works too; the environment may override it (empty:
// the tests run on the target itself).
std::string emulator() {
  const char *env = std::getenv("TARVION_TEST_EMULATOR");
  return env ? env : TARVION_TEST_EMULATOR;
}

}  // namespace

bool emulated() {
  return !emulator().empty();
}

std::vector<std::string> command_for(const std::vector<std::string> &argv) {
  const std::string build_dir = TARVION_BINARY_DIR;
  if (!emulated() || argv.empty() || argv[0].rfind(build_dir + "/", 0) != 0) return argv;
  std::vector<std::string> cmd;
  std::istringstream words(emulator());
  for (std::string w; words >> w;) cmd.push_back(w);
  cmd.insert(cmd.end(), argv.begin(), argv.end());
  return cmd;
}

namespace {

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int status_of(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

Process::Process(const std::vector<std::string> &argv_in, const ProcOptions &opts)
    : timeout_ms_(opts.timeout_ms), started_ms_(now_ms()) {
  const std::vector<std::string> argv = command_for(argv_in);
  write_file(io_.file("in"), opts.input);
  const std::string in = io_.file("in"), out = io_.file("out"), err = io_.file("err");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ != 0) return;
  setpgid(0, 0);
  int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
  for (int i = 0; i < 3; ++i) {
    if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(126);
  }
  for (const auto &name : opts.unset_env) unsetenv(name.c_str());
  for (const auto &kv : opts.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
  if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

Process::~Process() {
  if (running()) {
    kill(-pid_, SIGKILL);
    wait();
  }
}

bool Process::running() {
  if (reaped_) return false;
  pid_t r = waitpid(pid_, &raw_status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

ProcResult Process::wait() {
  ProcResult r;
  while (running()) {
    if (now_ms() - started_ms_ > timeout_ms_) {
      kill(-pid_, SIGKILL);
      r.timed_out = true;
      while (waitpid(pid_, &raw_status_, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
      break;
    }
    usleep(2000);
  }
  r.status = status_of(raw_status_);
  r.out = read_file(io_.file("out"));
  r.err = read_file(io_.file("err"));
  return r;
}

ProcResult run_process(const std::vector<std::string> &argv, const ProcOptions &opts) {
  Process p(argv, opts);
  return p.wait();
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string flasher_path() {
  return TARVION_UPDATE_BIN;
}
std::string source_dir() {
  return TARVION_SOURCE_DIR;
}

}  // namespace testsupport
