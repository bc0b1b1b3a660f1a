#include "flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace sim {

bool Flash::contains(uint32_t addr, size_t len) const {
  if (addr < base_) return false;
  uint64_t off = addr - base_;
  return off < bytes_.size() && off + len <= bytes_.size();
}

size_t Flash::program(uint32_t addr, const std::vector<uint8_t> &data, uint32_t &first) {
  size_t off = addr - base_;
  size_t dirty = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t &cell = bytes_[off + i];
    if (cell != 0xFF && dirty++ == 0) first = addr + static_cast<uint32_t>(i);
    cell &= data[i];
  }
  return dirty;
}

int Flash::dump(const std::string &path) const {
  // O_NONBLOCK: a FIFO nobody reads must fail the dump, not hang the exit.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < bytes_.size()) {
    ssize_t n = ::write(fd, bytes_.data() + done, bytes_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd);
}

}  // namespace sim
