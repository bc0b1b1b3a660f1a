#include "testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

void set_cloexec_pipe(int p[2]) {
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

}  // namespace

std::vector<std::string> command_for(const std::vector<std::string> &argv) {
  const char *emulator = std::getenv("TARVION_TEST_EMULATOR");
  const std::string build_dir = TARVION_BINARY_DIR;
  if (!emulator || !*emulator || argv.empty() || argv[0].rfind(build_dir + "/", 0) != 0)
    return argv;
  std::vector<std::string> cmd;
  std::istringstream words(emulator);
  for (std::string w; words >> w;) cmd.push_back(w);
  cmd.insert(cmd.end(), argv.begin(), argv.end());
  return cmd;
}

ProcResult run_process(const std::vector<std::string> &argv_in, const ProcOptions &opts) {
  const std::vector<std::string> argv = command_for(argv_in);
  int in[2], out[2], err[2];
  set_cloexec_pipe(in);
  set_cloexec_pipe(out);
  set_cloexec_pipe(err);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    setpgid(0, 0);
    for (const auto &name : opts.unset_env) unsetenv(name.c_str());
    for (const auto &kv : opts.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);

  ProcResult r;
  size_t written = 0;
  int infd = in[1];
  if (opts.input.empty()) {
    close(infd);
    infd = -1;
  } else {
    fcntl(infd, F_SETFL, O_NONBLOCK);
  }
  signal(SIGPIPE, SIG_IGN);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts.timeout_ms);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    struct pollfd fds[3];
    int n = 0;
    int oi = -1, ei = -1, ii = -1;
    if (out_open) { oi = n; fds[n++] = {out[0], POLLIN, 0}; }
    if (err_open) { ei = n; fds[n++] = {err[0], POLLIN, 0}; }
    if (infd >= 0) { ii = n; fds[n++] = {infd, POLLOUT, 0}; }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      kill(-pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    int rc = poll(fds, n, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    char buf[4096];
    auto drain = [&](int idx, int fd, std::string &dst, bool &open) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0) dst.append(buf, static_cast<size_t>(got));
      else if (got == 0 || errno != EINTR) open = false;
    };
    drain(oi, out[0], r.out, out_open);
    drain(ei, err[0], r.err, err_open);
    if (ii >= 0 && (fds[ii].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(infd, opts.input.data() + written, opts.input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) written = opts.input.size();
      if (written >= opts.input.size()) { close(infd); infd = -1; }
    }
  }
  if (infd >= 0) close(infd);
  close(out[0]);
  close(err[0]);

  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) r.status = 128 + WTERMSIG(st);
  return r;
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

std::string flasher_path() { return TARVION_UPDATE_BIN; }
std::string source_dir() { return TARVION_SOURCE_DIR; }

}  // namespace testsupport
