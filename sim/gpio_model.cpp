#include "gpio_model.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kMaxLine = 64;    // sysfs writes are short; longer text is cut into pieces
constexpr int kEventGraceMs = 50;  // the longest a write's event may trail its bytes

const char *line_name(Line line) {
  return line == Line::Reset ? "reset" : "boot";
}

}  // namespace

std::string LineWrite::words() const {
  switch (kind) {
    case Value:
      return std::string(line_name(line)) + " " + text;
    case Direction:
      return std::string("direction ") + line_name(line) + " " + text;
    case Export:
      return "export " + text;
    case Unexport:
      return "unexport " + text;
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
  if (notify_ >= 0) close(notify_);
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

int SysfsStandIn::add(const std::string &path, LineWrite::Kind kind, Line line, std::string &err) {
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
  g.watch = inotify_add_watch(notify_, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
  if (g.watch < 0) {
    err = "inotify_add_watch " + path + ": " + strerror(errno);
    return -1;
  }
  return 0;
}

int SysfsStandIn::open(const std::string &dir, int reset_gpio, int boot_gpio, std::string &err) {
  std::string cls = dir + "/class";
  std::string gpio = cls + "/gpio";
  if (make_dir(dir, err) != 0 || make_dir(cls, err) != 0 || make_dir(gpio, err) != 0) return -1;
  notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_ < 0) {
    err = std::string("inotify_init1: ") + strerror(errno);
    return -1;
  }
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

SysfsStandIn::Fifo *SysfsStandIn::by_watch(int watch) {
  for (Fifo &f : fifos_) {
    if (f.watch == watch) return &f;
  }
  return nullptr;
}

void SysfsStandIn::read_events(std::vector<Event> &events) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = ::read(notify_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
      events.push_back({e->wd, e->mask});
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

void SysfsStandIn::read_all(double now, std::vector<LineWrite> &out) {
  std::vector<Event> events;
  read_events(events);
  for (size_t i = 0; i < events.size(); ++i) {
    const Event e = events[i];  // a copy: events grows below
    if (e.mask & IN_Q_OVERFLOW) {
      fprintf(stderr, "tarvion_module_sim: too many line changes at once; their order is lost\n");
      for (Fifo &f : fifos_) take_rest(f, now, out);
      continue;
    }
    Fifo *f = by_watch(e.wd);
    if (f == nullptr) continue;
    if (e.mask & IN_MODIFY) take_one(*f, now, out);
    if (!(e.mask & IN_CLOSE_WRITE)) continue;
    // Writes of one open that follow each other share one event; the close
    // takes them, unless a later write has an event of its own and so its
    // own turn.
    if (!later_write(events, i)) take_rest(*f, now, out);
  }
}

// Whether bytes still in the FIFO of events[i] belong to a later write with an
// event of its own. The kernel queues a write's event just after its bytes, so
// bytes without an event yet are given a moment for it before they count as
// part of this open's writes.
bool SysfsStandIn::later_write(std::vector<Event> &events, size_t i) {
  const int wd = events[i].wd;
  Fifo *f = by_watch(wd);
  int queued = 0;
  if (f == nullptr || ioctl(f->rd, FIONREAD, &queued) < 0 || queued == 0) return false;
  for (int waited = 0;; ++waited) {
    read_events(events);
    if (std::any_of(events.begin() + static_cast<long>(i) + 1, events.end(),
                    [wd](const Event &x) { return x.wd == wd; }))
      return true;
    if (waited == kEventGraceMs) return false;
    usleep(1000);
  }
}

// Reads one byte at a time, so that a write whose event comes later stays in
// the FIFO for its own turn.
bool SysfsStandIn::take_one(Fifo &f, double now, std::vector<LineWrite> &out) {
  char c;
  for (;;) {
    ssize_t n = ::read(f.rd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (f.kind == LineWrite::Value) {
      // A value is one character with no line end; each is a change of its own.
      if (c == '0' || c == '1') {
        out.push_back({f.kind, f.line, std::string(1, c), now});
        return true;
      }
      if (c != '\n' && c != '\r' && c != ' ')
        fprintf(stderr, "tarvion_module_sim: %s: ignored byte 0x%02x\n", f.path.c_str(),
                static_cast<unsigned char>(c));
      continue;
    }
    if (c != '\n' && c != '\r') f.pending += c;
    if (c == '\n' || f.pending.size() >= kMaxLine) {
      bool any = !f.pending.empty();
      if (any) out.push_back({f.kind, f.line, f.pending, now});
      f.pending.clear();
      if (any) return true;
    }
  }
}

// What is left of the writes of one open: its close ends a text without a
// line end too.
void SysfsStandIn::take_rest(Fifo &f, double now, std::vector<LineWrite> &out) {
  while (take_one(f, now, out)) {
  }
  if (!f.pending.empty()) out.push_back({f.kind, f.line, f.pending, now});
  f.pending.clear();
}

}  // namespace sim
