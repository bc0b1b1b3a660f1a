#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "progress.h"
#include "util.h"

namespace {

// Reads of a block at most, with agreed, before it counts as unreadable.
constexpr int kReads = 3;

// How often a FIFO without a reader is tried again.
constexpr int kReaderPollMs = 20;

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

bool is_fifo(const char *path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

// Opens the target; a FIFO is tried again until a reader has it open or
// reader_ms have passed. Returns 0, or -1 with errno as backup_open.
int open_waiting_for_reader(const char *path, int reader_ms, const volatile sig_atomic_t *stop,
                            WholeFile *file) {
  const auto since = std::chrono::steady_clock::now();
  while (file->open(path, 0) < 0) {
    if (errno != ENXIO || !is_fifo(path)) return -1;
    if (std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(reader_ms)) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (wait_fh_rest(-1, kReaderPollMs, stop) < 0 && errno == EINTR) return -1;
  }
  return 0;
}

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

int backup_open(const char *path, int reader_ms, const volatile sig_atomic_t *stop,
                backup_target *target) {
  target->path = path;
  if (std::strcmp(path, "-") != 0)
    return open_waiting_for_reader(path, reader_ms, stop, &target->file);
  if (::isatty(STDOUT_FILENO)) {
    errno = ENOTTY;
    return -1;
  }
  return target->file.adopt(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
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

int backup_flash(ld_session *s, backup_target *target, const device_info &d, progress_mode shown,
                 bool agreed, const backup_range &range) {
  const char *path = target->path.c_str();
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
  if (target->file.write(data.data(), data.size(), s->stop) < 0 || target->file.commit() < 0) {
    const int err = errno;
    std::fprintf(stderr, "Can't write %s: %s\n", path, std::strerror(err));
    errno = err;
    return -1;
  }
  if (s->flags & LD_VERBOSE)
    std::fprintf(stderr, "Read %zu bytes of flash from 0x%08X into %s\n", data.size(), start, path);
  return 0;
}
