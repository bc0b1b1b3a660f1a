#include "flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

Flash::Flash(uint32_t base, uint32_t size, uint32_t page_size, const std::vector<uint32_t> &sectors,
             uint32_t unit)
    : base_(base), unit_(unit ? unit : 1), bytes_(size, 0xFF) {
  uint64_t at = 0;
  for (size_t i = 0; at < size; ++i) {
    starts_.push_back(static_cast<uint32_t>(at));
    uint32_t step = sectors.empty() ? page_size : i < sectors.size() ? sectors[i] : 0;
    if (step == 0) break;
    at += step;
  }
  starts_.push_back(size);
  programmed_.assign((size + unit_ - 1) / unit_, false);
}

bool Flash::contains(uint32_t addr, size_t len) const {
  if (addr < base_) return false;
  uint64_t off = addr - base_;
  return off < bytes_.size() && off + len <= bytes_.size();
}

void Flash::erase() {
  bytes_.assign(bytes_.size(), 0xFF);
  programmed_.assign(programmed_.size(), false);
}

bool Flash::erase_page(size_t i) {
  if (i >= page_count()) return false;
  erase_one(i);
  return true;
}

void Flash::erase_range(uint32_t from, uint32_t to) {
  for (size_t i = 0; i < page_count(); ++i)
    if (starts_[i] >= from && starts_[i] < to) erase_one(i);
}

void Flash::erase_one(size_t i) {
  std::fill(bytes_.begin() + starts_[i], bytes_.begin() + starts_[i + 1], 0xFF);
  // Pages hold whole words (the page size is a multiple of the word), so no
  // word spans two pages.
  for (uint32_t w = starts_[i] / unit_; w * unit_ < starts_[i + 1]; ++w) programmed_[w] = false;
}

Flash::Program Flash::program(uint32_t addr, const std::vector<uint8_t> &data, uint32_t &first) {
  size_t off = addr - base_;
  if (off % unit_ || data.size() % unit_) return Program::Unaligned;
  for (size_t w = off / unit_; w < (off + data.size()) / unit_; ++w) {
    if (programmed_[w]) {
      first = base_ + static_cast<uint32_t>(w * unit_);
      return Program::Twice;
    }
  }
  for (size_t i = 0; i < data.size(); ++i) bytes_[off + i] &= data[i];
  for (size_t w = off / unit_; w < (off + data.size()) / unit_; ++w) programmed_[w] = true;
  return Program::Done;
}

void Flash::mark_programmed() {
  for (size_t w = 0; w < programmed_.size(); ++w) {
    size_t end = std::min(bytes_.size(), (w + 1) * unit_);
    programmed_[w] = std::any_of(bytes_.begin() + static_cast<std::ptrdiff_t>(w * unit_),
                                 bytes_.begin() + static_cast<std::ptrdiff_t>(end),
                                 [](uint8_t b) { return b != 0xFF; });
  }
}

int Flash::load(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  for (;;) {
    uint8_t extra;
    bool room = done < bytes_.size();
    ssize_t n =
        room ? ::read(fd, bytes_.data() + done, bytes_.size() - done) : ::read(fd, &extra, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    int saved = n < 0 ? errno : EFBIG;
    if (n < 0 || !room) {
      ::close(fd);
      errno = saved;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  mark_programmed();
  return ::close(fd);
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
