#include "flash.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sim {

Flash::Flash(uint32_t base, uint32_t size, uint32_t page_size, const std::vector<uint32_t> &sectors,
             uint32_t unit, const FlashBanks &banks)
    : base_(base), unit_(unit ? unit : 1), banks_(banks) {
  if (banks_.hole_at == 0 || banks_.hole_at >= banks_.bank2_at) banks_.hole_at = 0;
  const uint32_t hole = banks_.hole_at ? banks_.bank2_at - banks_.hole_at : 0;
  bytes_.assign(uint64_t{size} + hole, 0xFF);
  uint64_t at = 0;
  uint32_t number = 0;
  for (size_t i = 0; at < bytes_.size(); ++i) {
    if (in_hole(at)) at = banks_.bank2_at;
    if (banks_.bank2_number && banks_.bank2_at && at == banks_.bank2_at)
      number = banks_.bank2_number;
    uint32_t step = sectors.empty() ? page_size : i < sectors.size() ? sectors[i] : 0;
    if (step == 0) break;
    const uint64_t end = banks_.hole_at && at < banks_.hole_at ? banks_.hole_at : bytes_.size();
    pages_.push_back({number++, static_cast<uint32_t>(at),
                      static_cast<uint32_t>(std::min<uint64_t>(step, end - at))});
    at += step;
  }
  programmed_.assign((bytes_.size() + unit_ - 1) / unit_, false);
}

bool Flash::in_hole(uint64_t off) const {
  return banks_.hole_at && off >= banks_.hole_at && off < banks_.bank2_at;
}

bool Flash::contains(uint32_t addr, size_t len) const {
  if (addr < base_) return false;
  uint64_t off = addr - base_;
  if (off >= bytes_.size() || off + len > bytes_.size() || in_hole(off)) return false;
  // A range that begins below the hole must end there.
  return !banks_.hole_at || off >= banks_.bank2_at || off + len <= banks_.hole_at;
}

void Flash::erase() {
  bytes_.assign(bytes_.size(), 0xFF);
  programmed_.assign(programmed_.size(), false);
}

long Flash::page_position(uint32_t n) const {
  for (size_t i = 0; i < pages_.size(); ++i)
    if (pages_[i].number == n) return static_cast<long>(i);
  return -1;
}

bool Flash::erase_page(uint32_t n) {
  const long i = page_position(n);
  if (i < 0) return false;
  erase_one(static_cast<size_t>(i));
  return true;
}

void Flash::erase_range(uint32_t from, uint32_t to) {
  for (size_t i = 0; i < pages_.size(); ++i)
    if (pages_[i].start >= from && pages_[i].start < to) erase_one(i);
}

void Flash::erase_one(size_t i) {
  const Page &p = pages_[i];
  std::fill(bytes_.begin() + p.start, bytes_.begin() + p.start + p.size, 0xFF);
  // Pages hold whole words (the page size is a multiple of the word), so no
  // word spans two pages.
  for (uint32_t w = p.start / unit_; w * unit_ < p.start + p.size; ++w) programmed_[w] = false;
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
  if (banks_.hole_at)
    std::fill(bytes_.begin() + banks_.hole_at, bytes_.begin() + banks_.bank2_at, 0xFF);
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
