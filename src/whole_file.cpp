#include "whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Symbolic links followed before a path counts as a loop, as the kernel's
// own limit.
constexpr int kMaxLinks = 40;

// A device or a FIFO, opened without waiting for a carrier or a reader, then
// written with blocking writes as before; flags: more open flags. Returns the
// descriptor, or -1 with errno.
int open_direct(const char *path, int flags) {
  Fd fd(::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags));
  if (!fd.ok()) return -1;
  const int fl = ::fcntl(fd.get(), F_GETFL);
  if (fl < 0 || ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK) < 0) return -1;
  return fd.release();
}

}  // namespace

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

WholeFile::~WholeFile() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

int WholeFile::open(const char *path, int flags) {
  if (fd_.ok()) {
    errno = EEXIST;
    return -1;
  }
  // What is there, as the kernel resolves every link.
  struct stat st;
  const bool exists = ::stat(path, &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return -1;
  }
  if (follow_links(path, &target_) < 0) return -1;
  // A link whose end only the kernel can name (/proc/self/fd/N) leaves no
  // place beside it: such a file is written in place, like a device.
  struct stat end;
  if (exists && (!S_ISREG(st.st_mode) || ::stat(target_.c_str(), &end) != 0)) {
    fd_ = Fd(open_direct(path, S_ISREG(st.st_mode) ? O_TRUNC : 0));
    return fd_.ok() ? 0 : -1;
  }
  std::string name = target_ + ".XXXXXX";
  fd_ = Fd(::mkostemp(&name[0], O_CLOEXEC));
  if (!fd_.ok()) return -1;
  temp_ = name;
  // mkostemp makes the file private.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const mode_t mode = exists && (flags & WHOLE_KEEP_MODE) ? st.st_mode & 07777 : 0666 & ~mask;
  (void)::fchmod(fd_.get(), mode);
  return 0;
}

int WholeFile::adopt(int fd) {
  if (fd_.ok()) {
    close_keep_errno(fd);
    errno = EEXIST;
    return -1;
  }
  fd_ = Fd(fd);
  return fd_.ok() ? 0 : -1;
}

int WholeFile::write(const void *data, size_t size, const volatile sig_atomic_t *stop) {
  const char *bytes = static_cast<const char *>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t w = ::write(fd_.get(), bytes + done, size - done);
    // A signal stops a write that waits for a slow reader.
    if (w < 0 && errno == EINTR && !(stop && *stop)) continue;
    if (w < 0) return -1;
    done += static_cast<size_t>(w);
  }
  return 0;
}

int WholeFile::commit() {
  if (temp_.empty()) return fd_.close();
  if (::fsync(fd_.get()) < 0 || fd_.close() < 0) return -1;
  if (::rename(temp_.c_str(), target_.c_str()) < 0) return -1;
  temp_.clear();
  return 0;
}
