#include "sim_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>

#include "timing.h"

namespace testsupport {

namespace {

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::string sim_path() {
#ifdef TARVION_SIM_BIN
  return TARVION_SIM_BIN;
#else
  return "";
#endif
}

std::vector<SimLogRecord> parse_sim_log(const std::string &text) {
  std::vector<SimLogRecord> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    SimLogRecord r;
    if (!(words >> r.t >> r.kind)) continue;
    std::getline(words >> std::ws, r.rest);
    out.push_back(r);
  }
  return out;
}

std::vector<uint8_t> parse_hex_bytes(const std::string &text) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) out.push_back(static_cast<uint8_t>(std::strtoul(word.c_str(), nullptr, 16)));
  return out;
}

SimProcess::SimProcess(const std::vector<std::string> &args, int ready_timeout_ms) {
  std::vector<std::string> argv = {sim_path(), "--dump", dump_path(), "--log", log_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv = testsupport::command_for(argv);
  if (!spawn(argv)) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return;
  }
  std::string line = read_line(ready_timeout_ms);
  if (!line.empty()) {
    tty_ = line;
    return;
  }
  kill(pid_, SIGKILL);
  reap(0);
  ADD_FAILURE() << "simulator not ready (status " << status_ << "): " << stderr_text();
}

bool SimProcess::spawn(const std::vector<std::string> &argv) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  std::string err_path = stderr_path();
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies must not leave the simulator running behind it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out[1], 1);
    dup2(err, 2);
    std::vector<char *> cargs;
    for (const auto &a : argv) cargs.push_back(const_cast<char *>(a.c_str()));
    cargs.push_back(nullptr);
    execvp(cargs[0], cargs.data());
    _exit(127);
  }
  close(out[1]);
  out_ = out[0];
  return pid_ > 0;
}

std::string SimProcess::read_line(int timeout_ms) {
  std::string text;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (text.find('\n') == std::string::npos) {
    struct pollfd p = {out_, POLLIN, 0};
    int left = ms_left(deadline);
    if (left == 0) break;
    int rc = poll(&p, 1, left);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    char buf[256];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  size_t nl = text.find('\n');
  return nl == std::string::npos ? std::string() : text.substr(0, nl);
}

SimProcess::~SimProcess() {
  if (pid_ > 0 && !exited_) stop();
  if (out_ >= 0) close(out_);
}

bool SimProcess::reap(int flags) {
  if (exited_) return true;
  int st = 0;
  pid_t r;
  while ((r = waitpid(pid_, &st, flags)) < 0 && errno == EINTR) {
  }
  if (r != pid_) return false;
  exited_ = true;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
  return true;
}

int SimProcess::stop() {
  if (pid_ <= 0) return -1;
  if (exited_) return status_;
  kill(pid_, SIGTERM);
  if (wait_exit(10000) < 0) {
    kill(pid_, SIGKILL);
    reap(0);
  }
  return status_;
}

int SimProcess::wait_exit(int timeout_ms) {
  if (pid_ <= 0) return -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!reap(WNOHANG)) {
    int left = ms_left(deadline);
    if (left == 0) return -1;
    if (out_ < 0) {
      usleep(1000);
      continue;
    }
    // Its standard output reaches end of file when it exits: a wake-up without
    // polling the process table (the bounded wait covers anything else).
    struct pollfd p = {out_, POLLIN, 0};
    if (poll(&p, 1, std::min(left, 50)) > 0) {
      char buf[256];
      if (read(out_, buf, sizeof buf) == 0) {
        close(out_);
        out_ = -1;
      }
    }
  }
  return status_;
}

std::vector<std::vector<uint8_t>> SimProcess::rx_blocks() const {
  std::vector<std::vector<uint8_t>> out;
  for (const auto &r : log()) {
    if (r.kind == "rx") out.push_back(parse_hex_bytes(r.rest));
  }
  return out;
}

std::vector<std::string> SimProcess::events() const {
  std::vector<std::string> out;
  for (const auto &r : log()) {
    if (r.kind == "event") out.push_back(r.rest);
  }
  return out;
}

std::vector<SimLogRecord> of_kind(const std::vector<SimLogRecord> &log, const std::string &kind) {
  std::vector<SimLogRecord> out;
  for (const auto &r : log)
    if (r.kind == kind) out.push_back(r);
  return out;
}

std::vector<std::string> rests(const std::vector<SimLogRecord> &records) {
  std::vector<std::string> out;
  for (const auto &r : records) out.push_back(r.rest);
  return out;
}

bool has_event(const SimProcess &sim, const std::string &prefix) {
  for (const auto &e : sim.events())
    if (e.rfind(prefix, 0) == 0) return true;
  return false;
}

bool wait_for_log(const SimProcess &sim, const LogPredicate &done, int timeout_ms) {
  const auto start = Clock::now();
  while (!done(sim.log())) {
    if (seconds_since(start) * 1000 >= timeout_ms) return false;
    usleep(1000);
  }
  return true;
}

bool wait_for_record(const SimProcess &sim, const std::string &kind, const std::string &rest,
                     int count) {
  return wait_for_log(sim, [&](const std::vector<SimLogRecord> &log) {
    return std::count_if(log.begin(), log.end(), [&](const SimLogRecord &r) {
             return r.kind == kind && r.rest == rest;
           }) >= count;
  });
}

std::vector<std::vector<uint8_t>> blocks_received(const SimProcess &sim, size_t n) {
  wait_for_log(
      sim, [n](const std::vector<SimLogRecord> &log) { return of_kind(log, "rx").size() >= n; },
      5000);
  return sim.rx_blocks();
}

}  // namespace testsupport
