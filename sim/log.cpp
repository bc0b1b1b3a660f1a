#include "log.h"

#include "clock.h"

namespace sim {

Log::~Log() {
  if (file_) fclose(file_);
}

int Log::open(const std::string &path) {
  file_ = fopen(path.c_str(), "we");
  return file_ ? 0 : -1;
}

// Without a file nothing is formatted: a boot loader fed byte by byte in
// process would spend most of its time on records that go nowhere.
void Log::rx(const std::vector<uint8_t> &bytes) {
  if (file_) line(now_s(), "rx", hex_bytes(bytes));
}

void Log::tx(const std::vector<uint8_t> &bytes) {
  if (file_) line(now_s(), "tx", hex_bytes(bytes));
}

void Log::event(const std::string &words) {
  if (file_) line(now_s(), "event", words);
}

void Log::acted(const std::string &words) {
  if (file_) line(now_s(), "acted", words);
}

void Log::gpio(const std::string &words, double seen) {
  line(seen, "gpio", words);
}

void Log::line(double t, const char *kind, const std::string &rest) {
  if (!file_) return;
  // Tests read the log while the simulator runs, so every line goes out whole.
  fprintf(file_, "%.6f %s %s\n", t - start_, kind, rest.c_str());
  fflush(file_);
}

std::string hex_bytes(const std::vector<uint8_t> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    if (!s.empty()) s += ' ';
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::string hex32(uint32_t v) {
  char buf[9];
  snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

}  // namespace sim
