#include "gpio_model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kMaxLine = 64;  // sysfs writes are short; longer text is cut into pieces

const char *line_name(Line line) { return line == Line::Reset ? "reset" : "boot"; }

}  // namespace

std::string LineWrite::words() const {
  switch (kind) {
    case Value: return std::string(line_name(line)) + " " + text;
    case Direction: return std::string("direction ") + line_name(line) + " " + text;
    case Export: return "export " + text;
    case Unexport: return "unexport " + text;
  }
  return text;
}

SysfsStandIn::~SysfsStandIn() {
  // Unlink before closing: a host that opens a FIFO after we stopped reading
  // would block for ever, whereas a missing file fails at once.
  for (Fifo &f : fifos_) {
    if (f.created) unlink(f.path.c_str());
    if (f.rd >= 0) close(f.rd);
    if (f.wr >= 0) close(f.wr);
  }
  for (auto it = made_dirs_.rbegin(); it != made_dirs_.rend(); ++it) rmdir(it->c_str());
}

int SysfsStandIn::make_dir(const std::string &path, std::string &err) {
  if (mkdir(path.c_str(), 0755) == 0) {
    made_dirs_.push_back(path);
    return 0;
  }
  struct stat st;
  if (errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  err = "mkdir " + path + ": " + strerror(errno);
  return -1;
}

int SysfsStandIn::add(const std::string &path, LineWrite::Kind kind, Line line,
                      std::string &err) {
  Fifo f;
  f.path = path;
  f.kind = kind;
  f.line = line;
  if (mkfifo(path.c_str(), 0666) == 0) {
    f.created = true;
  } else {
    struct stat st;
    if (errno != EEXIST || stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
      err = "mkfifo " + path + ": " + strerror(errno == 0 ? EEXIST : errno);
      return -1;
    }
  }
  // Record it before opening so that a failure still removes what we created.
  fifos_.push_back(f);
  Fifo &g = fifos_.back();
  g.rd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (g.rd >= 0) g.wr = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (g.rd < 0 || g.wr < 0) {
    err = "open " + path + ": " + strerror(errno);
    return -1;
  }
  return 0;
}

int SysfsStandIn::open(const std::string &dir, int reset_gpio, int boot_gpio,
                       std::string &err) {
  std::string cls = dir + "/class";
  std::string gpio = cls + "/gpio";
  if (make_dir(dir, err) != 0 || make_dir(cls, err) != 0 || make_dir(gpio, err) != 0) return -1;
  if (add(gpio + "/export", LineWrite::Export, Line::Reset, err) != 0) return -1;
  if (add(gpio + "/unexport", LineWrite::Unexport, Line::Reset, err) != 0) return -1;
  const std::pair<int, Line> lines[] = {{reset_gpio, Line::Reset}, {boot_gpio, Line::Boot}};
  for (const auto &l : lines) {
    std::string d = gpio + "/gpio" + std::to_string(l.first);
    if (make_dir(d, err) != 0) return -1;
    if (add(d + "/direction", LineWrite::Direction, l.second, err) != 0) return -1;
    if (add(d + "/value", LineWrite::Value, l.second, err) != 0) return -1;
  }
  return 0;
}

void SysfsStandIn::read_all(double now, std::vector<LineWrite> &out) {
  std::vector<LineWrite> got[6];
  for (size_t i = 0; i < fifos_.size() && i < 6; ++i) read(fifos_[i], now, got[i]);
  const std::vector<LineWrite> &exports = got[0], &unexports = got[1];
  const std::vector<LineWrite> &reset_dir = got[2], &reset = got[3];
  const std::vector<LineWrite> &boot_dir = got[4], &boot = got[5];
  auto append = [&out](std::vector<LineWrite>::const_iterator from,
                       std::vector<LineWrite>::const_iterator to) {
    out.insert(out.end(), from, to);
  };
  append(exports.begin(), exports.end());
  append(reset_dir.begin(), reset_dir.end());
  append(boot_dir.begin(), boot_dir.end());
  // Boot-select goes in just before the first rise of reset, which samples it.
  auto rise = reset.begin();
  char level = reset_level_;
  for (; rise != reset.end(); ++rise) {
    if (level == '0' && rise->text == "1") break;
    level = rise->text[0];
  }
  append(reset.begin(), rise);
  append(boot.begin(), boot.end());
  append(rise, reset.end());
  if (!reset.empty()) reset_level_ = reset.back().text[0];
  append(unexports.begin(), unexports.end());
}

void SysfsStandIn::read(Fifo &f, double now, std::vector<LineWrite> &out) {
  char buf[512];
  for (;;) {
    ssize_t n = ::read(f.rd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t k = 0; k < n; ++k) {
      char c = buf[k];
      if (f.kind == LineWrite::Value) {
        // A value is one character with no line end; each is a change of its own.
        if (c == '0' || c == '1') {
          out.push_back({f.kind, f.line, std::string(1, c), now});
        } else if (c != '\n' && c != '\r' && c != ' ') {
          fprintf(stderr, "tarvion_module_sim: %s: ignored byte 0x%02x\n", f.path.c_str(),
                  static_cast<unsigned char>(c));
        }
        continue;
      }
      if (c != '\n' && c != '\r') f.pending += c;
      if (c == '\n' || f.pending.size() >= kMaxLine) {
        if (!f.pending.empty()) out.push_back({f.kind, f.line, f.pending, now});
        f.pending.clear();
      }
    }
  }
}

}  // namespace sim
