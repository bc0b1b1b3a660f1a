// The simulated module as a child process of a benchmark, ready once it has
// named its terminal on standard output; stopped with SIGTERM when it goes.
#ifndef TARVION_BENCH_SIM_CHILD_H
#define TARVION_BENCH_SIM_CHILD_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class Sim {
 public:
  explicit Sim(const std::vector<std::string> &args) {
#ifdef TARVION_SIM_BIN
    std::vector<std::string> argv = {TARVION_SIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (std::string &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(p[1], 1);
      execv(TARVION_SIM_BIN, cargv.data());
      _exit(127);
    }
    close(p[1]);
    char c;
    struct pollfd pfd = {p[0], POLLIN, 0};
    while (pid_ > 0 && poll(&pfd, 1, 10000) > 0 && read(p[0], &c, 1) == 1 && c != '\n') tty_ += c;
    close(p[0]);
#else
    (void)args;
#endif
  }
  ~Sim() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Sim(const Sim &) = delete;
  Sim &operator=(const Sim &) = delete;
  const std::string &tty() const {
    return tty_;
  }

 private:
  pid_t pid_ = -1;
  std::string tty_;
};

#endif
