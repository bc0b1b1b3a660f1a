#include "image_lines.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr size_t kBufSize = 65536;

}  // namespace

LineReader::LineReader(int fh) : fh_(fh), buf_(new (std::nothrow) char[kBufSize]) {}

int LineReader::next(const char **piece, size_t *len) {
  for (;;) {
    const char *s = buf_.get() + start_;
    const size_t avail = end_ - start_;
    const size_t lim = avail < size_t{IMG_LINE_MAX} ? avail : size_t{IMG_LINE_MAX};
    const void *nl = std::memchr(s, '\n', lim);
    size_t n = 0;
    if (nl) {
      n = static_cast<size_t>(static_cast<const char *>(nl) - s) + 1;
    } else if (avail >= size_t{IMG_LINE_MAX} || eof_) {
      n = lim;
    }
    if (n > 0) {
      *piece = s;
      *len = n;
      start_ += n;
      return 1;
    }
    if (eof_) return 0;
    if (fill() < 0) return -1;
  }
}

// Keeps the unfinished piece and appends what one read brings.
int LineReader::fill() {
  std::memmove(buf_.get(), buf_.get() + start_, end_ - start_);
  end_ -= start_;
  start_ = 0;
  ssize_t r;
  do {
    r = ::read(fh_, buf_.get() + end_, kBufSize - end_);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) {
    eof_ = true;
  } else {
    end_ += static_cast<size_t>(r);
  }
  return 0;
}

size_t cut_line(const char *p, size_t n) {
  if (n > 0 && p[n - 1] == '\n') --n;
  if (const void *cr = std::memchr(p, '\r', n)) n = size_t(static_cast<const char *>(cr) - p);
  if (const void *nul = std::memchr(p, '\0', n)) n = size_t(static_cast<const char *>(nul) - p);
  return n;
}

bool blank_line(const char *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != '\t' && p[i] != '\x1a') return false;
  return true;
}

void report_line(int line, const char *text, size_t len) {
  std::string shown;
  shown.reserve(len);
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      shown += esc;
    }
  }
  std::fprintf(stderr, "Error parsing line %i '%s'\n", line, shown.c_str());
}

int read_lines(int fh, line_decoder decode, void *ctx, int *lines) {
  LineReader stream(fh);
  if (!stream.ok()) {
    errno = ENOMEM;
    return IMG_FAILED;
  }
  int line = 0;
  for (;;) {
    const char *buf = nullptr;
    size_t len = 0;
    const int got = stream.next(&buf, &len);
    // A failing read is not the end of the input: an image cut short there
    // must not be flashed as if it were whole.
    if (got < 0) return IMG_FAILED;
    if (got == 0) break;
    if (line == INT_MAX - 1) {
      errno = EFBIG;
      return IMG_FAILED;
    }
    ++line;
    const size_t llen = cut_line(buf, len);
    if (blank_line(buf, llen)) continue;
    const int r = decode(ctx, buf, llen);
    if (r == IMG_FAILED) return r;
    if (r < 0) {
      report_line(line, buf, llen);
      return -line;
    }
  }
  *lines = line;
  return 0;
}
