// The simulator's log: one line per received block, reply, event or GPIO
// write, "<t> <kind> <words>", <t> in seconds since start with 6 decimals.
#ifndef TARVION_SIM_LOG_H
#define TARVION_SIM_LOG_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

class Log {
 public:
  explicit Log(double start) : start_(start) {}
  ~Log();
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;

  // Opens (truncates) the log file. Returns 0, or -1 with errno. Without a
  // successful open every record is dropped.
  int open(const std::string &path);

  // Each record is written and flushed at once, stamped with the current time
  // (gpio records with the time the write was seen).
  void rx(const std::vector<uint8_t> &bytes);
  void tx(const std::vector<uint8_t> &bytes);
  void event(const std::string &words);
  void gpio(const std::string &words, double seen);
  // A line value the module has acted on ("acted reset 0"), after every
  // byte the host sent before it.
  void acted(const std::string &words);

 private:
  void line(double t, const char *kind, const std::string &rest);

  double start_;
  FILE *file_ = nullptr;
};

// "0a ff 79": two lower-case digits per byte, single blanks between.
std::string hex_bytes(const std::vector<uint8_t> &bytes);

// "08000000": a 32-bit value as eight lower-case hex digits.
std::string hex32(uint32_t v);

}  // namespace sim

#endif
