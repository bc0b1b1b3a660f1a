#include "terminal.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

void close_fd(int &fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string sys_error(const std::string &what) {
  return what + ": " + strerror(errno);
}

}  // namespace

Terminal::~Terminal() {
  close_fd(notify_);
  close_fd(keeper_);
  close_fd(master_);
  if (!link_.empty()) unlink(link_.c_str());
}

int Terminal::open_keeper() {
  keeper_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  return keeper_ >= 0 ? 0 : -1;
}

int Terminal::open(const std::string &link, std::string &err) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return err = sys_error("posix_openpt"), -1;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return err = sys_error("unlockpt"), -1;
  const char *name = ptsname(master_);
  if (!name) return err = sys_error("ptsname"), -1;
  slave_path_ = name;
  if (fcntl(master_, F_SETFL, O_NONBLOCK) != 0) return err = sys_error("fcntl"), -1;
  if (open_keeper() != 0) return err = sys_error("open " + slave_path_), -1;
  struct termios tio;
  if (tcgetattr(keeper_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(keeper_, TCSANOW, &tio);
  }
  notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_ < 0 || inotify_add_watch(notify_, slave_path_.c_str(), IN_OPEN) < 0) {
    return err = sys_error("inotify on " + slave_path_), -1;
  }
  if (!link.empty()) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
    if (symlink(slave_path_.c_str(), link.c_str()) != 0) {
      return err = sys_error("symlink " + link), -1;
    }
    link_ = link;
  }
  return 0;
}

bool Terminal::host_opened() {
  alignas(struct inotify_event) char buf[4096];
  int opens = 0;
  for (;;) {
    ssize_t n = read(notify_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n;) {
      auto *ev = reinterpret_cast<const struct inotify_event *>(buf + i);
      if (ev->mask & IN_OPEN) ++opens;
      i += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
    }
  }
  // Our own opens of the keeper are reported too; only the rest are the host's.
  int own = opens < own_opens_ ? opens : own_opens_;
  own_opens_ -= own;
  opens -= own;
  if (opens == 0 || host_ != Host::Absent) return false;
  host_seen();
  return true;
}

void Terminal::host_seen() {
  if (host_ != Host::Absent) return;
  host_ = Host::Present;
  // From now on the host's last close must show as a hang-up on the master.
  close_fd(keeper_);
}

void Terminal::host_closed() {
  if (host_ != Host::Present) return;
  host_ = Host::Absent;
  ++own_opens_;
  // Drop answers the old host never read; what a new host may already have
  // written stays.
  if (open_keeper() == 0) tcflush(keeper_, TCIFLUSH);
}

void Terminal::hang_up() {
  close_fd(keeper_);
  close_fd(notify_);
  close_fd(master_);
  host_ = Host::HungUp;
}

}  // namespace sim
