#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "progress.h"
#include "util.h"

namespace {

// Symbolic links followed before a path counts as a loop, as the kernel's
// own limit.
constexpr int kMaxLinks = 40;

// Reads of a block at most, with agreed, before it counts as unreadable.
constexpr int kReads = 3;

// The path a write through path reaches: every symbolic link of a chain is
// followed (a relative one from its own directory) to a path that is no
// link, which need not exist. Returns 0, or -1 with errno (ELOOP for a
// chain without end).
int follow_links(const std::string &path, std::string *out) {
  std::string at = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st;
    if (::lstat(at.c_str(), &st) < 0 || !S_ISLNK(st.st_mode)) {
      *out = at;
      return 0;
    }
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlink(at.c_str(), &target[0], target.size());
    if (n < 0) return -1;
    target.resize(static_cast<size_t>(n));
    const size_t slash = at.rfind('/');
    at = target[0] == '/' || slash == std::string::npos ? target : at.substr(0, slash + 1) + target;
  }
  errno = ELOOP;
  return -1;
}

// Where path ends up once its links and its directory are resolved: an
// absolute name without links, also for a file that does not exist yet.
// Empty when its directory does not exist.
std::string resolved(const std::string &path) {
  std::string end;
  if (follow_links(path, &end) < 0) return "";
  const size_t slash = end.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : end.substr(0, slash + 1);
  char *real = ::realpath(dir.c_str(), nullptr);
  if (!real) return "";
  std::string name = std::string(real) + "/" + end.substr(slash + 1);
  std::free(real);
  return name;
}

// A file created beside its final name and renamed onto it once it is
// whole; removed when it is given up.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  // Returns 0, or -1 with errno from mkostemp.
  int create(const std::string &path) {
    std::string name = path + ".XXXXXX";
    fd_ = Fd(::mkostemp(&name[0], O_CLOEXEC));
    if (!fd_.ok()) return -1;
    name_ = name;
    // mkostemp makes the file private; the backup gets the mode any new file
    // of the user gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd_.get(), 0666 & ~mask);
    return 0;
  }

  int fd() const { return fd_.get(); }

  // Forces the written data to the medium and renames the file onto path.
  // Returns 0, or -1 with errno.
  int commit(const std::string &path) {
    if (::fsync(fd_.get()) < 0 || fd_.close() < 0) return -1;
    if (::rename(name_.c_str(), path.c_str()) < 0) return -1;
    name_.clear();
    return 0;
  }

 private:
  Fd fd_;
  std::string name_;  // empty: nothing to remove
};

// Where the flash goes: standard output ("-"), a path that is no regular
// file (a device, a FIFO), written as it is, or a regular file (or none
// yet), written whole or not at all through a temporary file beside the
// end of its links.
class BackupFile {
 public:
  // Returns 0, or -1 with errno. A FIFO waits here for its reader.
  int open(const char *path) {
    if (std::strcmp(path, "-") == 0) {
      direct_ = Fd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
      return direct_.ok() ? 0 : -1;
    }
    if (follow_links(path, &target_) < 0) return -1;
    struct stat st;
    if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      direct_ = Fd(::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
      return direct_.ok() ? 0 : -1;
    }
    return temp_.create(target_);
  }

  // Writes data whole; a write a signal interrupts goes on unless *stop is
  // set. Returns 0, or -1 with errno.
  int commit(const std::vector<unsigned char> &data, const volatile sig_atomic_t *stop) {
    const int fd = direct_.ok() ? direct_.get() : temp_.fd();
    for (size_t done = 0; done < data.size();) {
      const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
      // A signal stops a write that waits for a slow reader.
      if (w < 0 && errno == EINTR && !(stop && *stop)) continue;
      if (w < 0) return -1;
      done += static_cast<size_t>(w);
    }
    if (direct_.ok()) return direct_.close();
    return temp_.commit(target_);
  }

 private:
  Fd direct_;
  std::string target_;
  TempFile temp_;
};

// Reads the flash into data with the progress display of the read.
int read_flash(ld_session *s, const char *path, uint32_t start, progress_mode mode, bool agreed,
               std::vector<unsigned char> *data) {
  progress_display shown;
  const std::string title = std::string("Reading ") + path;
  progress_start(&shown, mode, "Reading", title.c_str(), static_cast<long>(data->size()));
  if (backup_read_blocks(s, &shown, start, agreed, data) < 0) return -1;
  progress_finish(&shown);
  return 0;
}

bool stopped(const ld_session *s) {
  return s->stop && *s->stop;
}

// Whether the flash-size register gave no size the part can have (says so
// then, errno ERANGE). A module that refuses Read Memory altogether is
// read-out protected instead, which the read of the flash reports.
bool size_unsure(ld_session *s, const device_info &d) {
  if (!d.size_doubt) return false;
  // A stop during its reads is no fault of the part.
  if (stopped(s)) {
    std::fputs("Can't read flash: the run was stopped\n", stderr);
    errno = EINTR;
    return true;
  }
  unsigned char probe = 0;
  if (ld_read_memory(s, d.part->flash_start, &probe, 1) < 0 && errno == EINVAL) return false;
  std::fprintf(stderr,
               "Can't read flash: the flash-size register at 0x%08X gave no size the part can "
               "have\n",
               d.part->fsize_addr);
  errno = ERANGE;
  return true;
}

}  // namespace

int backup_check(const char *path) {
  if (std::strcmp(path, "-") == 0) {
    if (!::isatty(STDOUT_FILENO)) return 0;
    errno = ENOTTY;
    return -1;
  }
  std::string target;
  if (follow_links(path, &target) < 0) return -1;
  struct stat st;
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) errno = EISDIR;
    return S_ISDIR(st.st_mode) || ::access(target.c_str(), W_OK) < 0 ? -1 : 0;
  }
  TempFile probe;
  return probe.create(target);
}

bool backup_same_file(const char *path, const char *file) {
  if (std::strcmp(path, "-") == 0 || std::strcmp(file, "-") == 0) return false;
  struct stat a, b;
  if (::stat(path, &a) == 0 && ::stat(file, &b) == 0)
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  const std::string place = resolved(path);
  return !place.empty() && place == resolved(file);
}

int backup_range_check(const backup_range &range, uint32_t id, const part_info &p,
                       uint32_t flash_bytes) {
  const uint64_t start = p.flash_start, end = start + flash_bytes;
  if (range.addr >= start && range.addr + uint64_t{range.len} <= end) return 0;
  std::fprintf(stderr, "--range %s is outside the flash of part %s (0x%08X-0x%08X)\n", range.text,
               part_id_text(id).c_str(), static_cast<unsigned>(start),
               static_cast<unsigned>(end - 1));
  errno = ERANGE;
  return -1;
}

int backup_read_blocks(ld_session *s, progress_display *shown, uint32_t start, bool agreed,
                       std::vector<unsigned char> *data) {
  for (size_t at = 0; at < data->size(); at += LD_FRAGMENT_MAX) {
    const size_t rest = data->size() - at;
    const int n = rest < size_t(LD_FRAGMENT_MAX) ? static_cast<int>(rest) : LD_FRAGMENT_MAX;
    progress_step(shown, n);
    const uint32_t addr = start + static_cast<uint32_t>(at);
    unsigned char *block = data->data() + at;
    const int r =
        agreed ? ld_read_agreed(s, addr, block, n, kReads) : ld_read_memory(s, addr, block, n);
    if (r == 0) continue;
    const int err = errno;
    progress_stop(shown);
    if (r > 0) {
      std::fprintf(stderr, "Can't read flash at 0x%08X: the reads disagree\n", addr);
      errno = EIO;
      return -1;
    }
    if (err == EINVAL) {
      std::fputs("Can't read flash: the module is read-out protected (Read Memory refused)\n",
                 stderr);
      errno = EACCES;
      return -1;
    }
    std::fprintf(stderr, "Can't read flash at 0x%08X: %s\n", addr, std::strerror(err));
    errno = err;
    return -1;
  }
  return 0;
}

int backup_flash(ld_session *s, const char *path, const device_info &d, progress_mode shown,
                 bool agreed, const backup_range &range) {
  BackupFile file;
  if (file.open(path) < 0) {
    const int err = errno;
    std::fprintf(stderr, "Can't open %s: %s\n", path, std::strerror(err));
    errno = err;
    return -1;
  }
  if (!d.part || d.flash_bytes == 0) {
    std::fprintf(stderr, "Can't read flash: the size of part %s's flash is not known\n",
                 part_id_text(d.id).c_str());
    errno = ENOENT;
    return -1;
  }
  if (size_unsure(s, d)) return -1;
  if (range.len > 0 && backup_range_check(range, d.id, *d.part, d.flash_bytes) < 0) return -1;
  const uint32_t start = range.len > 0 ? range.addr : d.part->flash_start;
  std::vector<unsigned char> data(range.len > 0 ? range.len : d.flash_bytes);
  if (read_flash(s, path, start, shown, agreed, &data) < 0) return -1;
  if (file.commit(data, s->stop) < 0) {
    const int err = errno;
    std::fprintf(stderr, "Can't write %s: %s\n", path, std::strerror(err));
    errno = err;
    return -1;
  }
  if (s->flags & LD_VERBOSE)
    std::fprintf(stderr, "Read %zu bytes of flash from 0x%08X into %s\n", data.size(), start, path);
  return 0;
}
