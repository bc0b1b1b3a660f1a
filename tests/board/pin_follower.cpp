// board_pin_follower: wires the emulated board's GPIO pins to the simulated
// module. It reads QEMU's trace as QEMU writes it (standard input, a FIFO),
// copies every line to a file for the checks, and feeds each level change of
// a followed pin into the module's sysfs stand-in, writing the files exactly
// as a host writing sysfs would. A pin is a PL061 line (0-7) or a modem
// output of the PL011: "dtr" or "rts", whose pin is low while the signal is
// asserted (bit 10 or 11 of the control register set), or "!dtr"/"!rts"
// behind an inverting transistor, high while asserted; "high" is a pin
// strapped high, written once at the start.
//
// Usage: board_pin_follower --trace FILE --sysfs DIR --pin PIN:GPIO...
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
#include <string>
#include <vector>

namespace {

const unsigned kDtr = 1u << 10, kRts = 1u << 11;  // PL011 UARTCR bits

struct pin {
  int line = -1;          // PL061 line, or -1 for a modem output
  unsigned bit = 0;       // kDtr or kRts
  bool inverted = false;  // behind an inverting transistor
  bool strapped = false;  // held high, not driven by the board
  int gpio = 0;           // the module's GPIO number
  int level = -1;         // the module's level as last written, -1 unknown
};

struct follower {
  std::string trace;
  std::string sysfs;
  std::vector<pin> pins;
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

// "4:20", "dtr:20", "!rts:21", "high:22"
bool parse_pin(const std::string &text, pin *p) {
  const std::size_t colon = text.find(':');
  std::string source = text.substr(0, colon);
  char end = 0;
  if (colon == std::string::npos ||
      std::sscanf(text.c_str() + colon + 1, "%d%c", &p->gpio, &end) != 1 || p->gpio < 0)
    return false;
  p->strapped = source == "high";
  p->inverted = !source.empty() && source[0] == '!';
  if (p->inverted) source.erase(0, 1);
  p->bit = source == "dtr" ? kDtr : source == "rts" ? kRts : 0;
  if (p->bit == 0 && !p->inverted && source.size() == 1 && source[0] >= '0' && source[0] <= '7')
    p->line = source[0] - '0';
  return p->bit != 0 || p->line >= 0 || p->strapped;
}

bool parse_args(int argc, char **argv, follower *f) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i], val = argv[i + 1];
    pin p;
    if (opt == "--trace") {
      f->trace = val;
    } else if (opt == "--sysfs") {
      f->sysfs = val;
    } else if (opt == "--pin" && parse_pin(val, &p)) {
      f->pins.push_back(p);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !f->trace.empty() && !f->sysfs.empty() && !f->pins.empty();
}

void set_level(const follower &f, pin *p, int level) {
  p->level = level;
  write_file(gpio_file(f, p->gpio, "value"), level ? "1" : "0");
}

// "<pid>@<s>.<us>:pl011_write addr 0x00000030 value 0x00000f01": a write of
// the control register moves the modem outputs whose level changes.
void follow_uart(follower &f, const std::string &trace_line) {
  std::size_t at = trace_line.find("pl011_write addr ");
  unsigned addr = 0, value = 0;
  if (at == std::string::npos ||
      std::sscanf(trace_line.c_str() + at, "pl011_write addr %x value %x", &addr, &value) != 2 ||
      addr != 0x30)
    return;
  for (pin &p : f.pins) {
    if (p.bit == 0) continue;
    const int level = (value & p.bit) ? p.inverted : !p.inverted;
    if (level != p.level) set_level(f, &p, level);
  }
}

// "<pid>@<s>.<us>:pl061_set_output <id> setting output <line> to <level>"
void follow_gpio(follower &f, const std::string &trace_line) {
  std::size_t at = trace_line.find("pl061_set_output ");
  if (at == std::string::npos) return;
  at = trace_line.find(" setting output ", at);
  int line = 0, level = 0;
  if (at == std::string::npos ||
      std::sscanf(trace_line.c_str() + at, " setting output %d to %d", &line, &level) != 2)
    return;
  for (pin &p : f.pins)
    if (p.line == line) set_level(f, &p, level);
}

}  // namespace

int main(int argc, char **argv) {
  follower f;
  if (!parse_args(argc, argv, &f)) {
    std::fprintf(stderr, "Usage: board_pin_follower --trace FILE --sysfs DIR --pin PIN:GPIO...\n");
    return 2;
  }
  std::ofstream out(f.trace);
  if (!out) {
    std::fprintf(stderr, "board_pin_follower: %s: %s\n", f.trace.c_str(), std::strerror(errno));
    return 1;
  }
  for (pin &p : f.pins) {
    write_file(f.sysfs + "/class/gpio/export", std::to_string(p.gpio) + "\n");
    write_file(gpio_file(f, p.gpio, "direction"), "out\n");
    if (p.strapped) set_level(f, &p, 1);
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    out << line << '\n' << std::flush;
    follow_uart(f, line);
    follow_gpio(f, line);
  }
  return 0;
}
