#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "progress.h"
#include "util.h"

namespace {

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

  // Writes data, forces it to the medium and renames the file onto path.
  // Returns 0, or -1 with errno.
  int commit(const std::string &path, const std::vector<unsigned char> &data) {
    for (size_t done = 0; done < data.size();) {
      const ssize_t w = ::write(fd_.get(), data.data() + done, data.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return -1;
      done += static_cast<size_t>(w);
    }
    if (::fsync(fd_.get()) < 0 || fd_.close() < 0) return -1;
    if (::rename(name_.c_str(), path.c_str()) < 0) return -1;
    name_.clear();
    return 0;
  }

 private:
  Fd fd_;
  std::string name_;  // empty: nothing to remove
};

// Reads [start, start + data->size()) in blocks of LD_FRAGMENT_MAX bytes.
// Returns 0, or -1 after a message, errno kept (EACCES for a refusal).
int read_flash(int fh, int ldflags, const char *path, uint32_t start,
               std::vector<unsigned char> *data) {
  progress_display shown;
  const std::string title = std::string("Reading ") + path;
  progress_start(&shown, ld_progress_mode(ldflags), "Reading", title.c_str(),
                 static_cast<long>(data->size()));
  for (size_t at = 0; at < data->size(); at += LD_FRAGMENT_MAX) {
    const size_t rest = data->size() - at;
    const int n = rest < size_t(LD_FRAGMENT_MAX) ? static_cast<int>(rest) : LD_FRAGMENT_MAX;
    progress_step(&shown, n);
    const uint32_t addr = start + static_cast<uint32_t>(at);
    if (ld_read_memory(fh, addr, data->data() + at, n, ldflags) == 0) continue;
    const int err = errno;
    progress_stop(&shown);
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
  progress_finish(&shown);
  return 0;
}

// The identifier and the part, unless the run knows them, and the flash's
// own size.
int learn_part(int fh, int ldflags, erase_module *m) {
  if (m->have_id) {
    erase_read_size(fh, ldflags, m);
    return 0;
  }
  unsigned int id = 0;
  if (erase_read_id(fh, ldflags, &id) < 0) return -1;
  if (ldflags & LD_VERBOSE) std::fprintf(stderr, "Device has ID %08X\n", id);
  erase_learn_part(fh, id, ldflags, m);
  return 0;
}

}  // namespace

int backup_check(const char *path) {
  TempFile probe;
  return probe.create(path);
}

int backup_flash(int fh, int ldflags, const char *path, erase_module *m) {
  TempFile file;
  if (file.create(path) < 0) {
    const int err = errno;
    std::fprintf(stderr, "Can't open %s: %s\n", path, std::strerror(err));
    errno = err;
    return -1;
  }
  if (learn_part(fh, ldflags, m) < 0) return -1;
  if (!m->part || m->flash_bytes == 0) {
    std::fprintf(stderr, "Can't read flash: the size of part %03X's flash is not known\n", m->id);
    errno = ENOENT;
    return -1;
  }
  std::vector<unsigned char> data(m->flash_bytes);
  if (read_flash(fh, ldflags, path, m->part->flash_start, &data) < 0) return -1;
  if (file.commit(path, data) < 0) {
    const int err = errno;
    std::fprintf(stderr, "Can't write %s: %s\n", path, std::strerror(err));
    errno = err;
    return -1;
  }
  if (ldflags & LD_VERBOSE)
    std::fprintf(stderr, "Read %u bytes of flash from %08X into %s\n", m->flash_bytes,
                 m->part->flash_start, path);
  return 0;
}
