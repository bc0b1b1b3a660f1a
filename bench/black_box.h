// What the benchmarks that run programs as black boxes share: a run with its
// output discarded, and a file of random bytes in a directory of its own.
#ifndef TARVION_BENCH_BLACK_BOX_H
#define TARVION_BENCH_BLACK_BOX_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

// Runs argv with its output discarded; true when it exits with status 0.
inline bool run_quiet(const std::vector<std::string> &argv) {
  std::vector<char *> cargv;
  for (const std::string &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execv(cargv[0], cargv.data());
    _exit(127);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// bytes random bytes (from seed) in path, inside a temporary directory;
// both removed when it goes. path is empty when the file could not be made.
struct RandomFile {
  std::string dir, path;
  RandomFile(size_t bytes, unsigned seed, const char *name = "image.bin") {
    char tmpl[] = "/tmp/tarvion-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir = tmpl;
    path = dir + "/" + name;
    std::vector<unsigned char> data(bytes);
    std::mt19937 rng(seed);
    for (auto &b : data) b = static_cast<unsigned char>(rng());
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) path.clear();
    if (f) std::fclose(f);
  }
  ~RandomFile() {
    if (!path.empty()) unlink(path.c_str());
    if (!dir.empty()) rmdir(dir.c_str());
  }
  RandomFile(const RandomFile &) = delete;
  RandomFile &operator=(const RandomFile &) = delete;
};

#endif
