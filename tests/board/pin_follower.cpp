// board_pin_follower: wires the emulated board's GPIO pins to the simulated
// module. It reads QEMU's trace as QEMU writes it (standard input, a FIFO),
// copies every line to a file for the checks, and feeds each level change of
// a followed PL061 line into the module's sysfs stand-in, writing the files
// exactly as a host writing sysfs would.
//
// Usage: board_pin_follower --trace FILE --sysfs DIR --pin LINE:GPIO...
// Status 0 at end of input, 2 for a malformed command line, 1 when the trace
// file cannot be written.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

namespace {

struct follower {
  std::string trace;
  std::string sysfs;
  std::map<int, int> gpio_of_line;  // PL061 line -> module's GPIO number
};

// Writes `text` to a sysfs stand-in file in one write, as the kernel's
// files expect; a module that has gone away is reported, not fatal.
void write_file(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    std::fprintf(stderr, "board_pin_follower: %s: %s\n", path.c_str(), std::strerror(errno));
  if (fd >= 0) close(fd);
}

std::string gpio_file(const follower &f, int gpio, const char *name) {
  return f.sysfs + "/class/gpio/gpio" + std::to_string(gpio) + "/" + name;
}

bool parse_args(int argc, char **argv, follower *f) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i], val = argv[i + 1];
    int line = 0, gpio = 0;
    char end = 0;
    if (opt == "--trace") {
      f->trace = val;
    } else if (opt == "--sysfs") {
      f->sysfs = val;
    } else if (opt == "--pin" && std::sscanf(val.c_str(), "%d:%d%c", &line, &gpio, &end) == 2 &&
               line >= 0 && line < 8 && gpio >= 0) {
      f->gpio_of_line[line] = gpio;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !f->trace.empty() && !f->sysfs.empty() && !f->gpio_of_line.empty();
}

// "<pid>@<s>.<us>:pl061_set_output <id> setting output <line> to <level>"
void follow(const follower &f, const std::string &trace_line) {
  std::size_t at = trace_line.find("pl061_set_output ");
  if (at == std::string::npos) return;
  at = trace_line.find(" setting output ", at);
  int line = 0, level = 0;
  if (at == std::string::npos ||
      std::sscanf(trace_line.c_str() + at, " setting output %d to %d", &line, &level) != 2)
    return;
  auto it = f.gpio_of_line.find(line);
  if (it != f.gpio_of_line.end()) write_file(gpio_file(f, it->second, "value"), level ? "1" : "0");
}

}  // namespace

int main(int argc, char **argv) {
  follower f;
  if (!parse_args(argc, argv, &f)) {
    std::fprintf(stderr, "Usage: board_pin_follower --trace FILE --sysfs DIR --pin LINE:GPIO...\n");
    return 2;
  }
  std::ofstream out(f.trace);
  if (!out) {
    std::fprintf(stderr, "board_pin_follower: %s: %s\n", f.trace.c_str(), std::strerror(errno));
    return 1;
  }
  for (const auto &pin : f.gpio_of_line) {
    write_file(f.sysfs + "/class/gpio/export", std::to_string(pin.second) + "\n");
    write_file(gpio_file(f, pin.second, "direction"), "out\n");
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    out << line << '\n' << std::flush;
    follow(f, line);
  }
  return 0;
}
