#include "image_format.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image_elf.h"
#include "image_ihex.h"
#include "image_srec.h"
#include "util.h"

namespace {

constexpr size_t kPiece = 65536;

bool blank_char(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == 0x1a;
}

// Decides at the first line that is not blank: ':' begins an Intel HEX
// record, 'S' and a digit an S-record. A file of blank lines only is an
// Intel HEX file without records, as an empty one.
img_format text_format(int fh) {
  std::string buf;  // the file from offset base on; only the current line is kept
  off_t base = 0;
  size_t line = 0;  // where the current line starts in buf
  for (size_t i = 0;; ++i) {
    if (i + 1 >= buf.size()) {
      buf.erase(0, line);
      base += static_cast<off_t>(line);
      i -= line;
      line = 0;
      // A blank line of a megabyte is no firmware of any kind; the Intel HEX
      // reader passes it over in pieces.
      if (buf.size() > kPiece * 16) return IMG_FORMAT_IHEX;
      char piece[4096];
      const ssize_t r = ::pread(fh, piece, sizeof piece, base + static_cast<off_t>(buf.size()));
      if (r > 0) buf.append(piece, size_t(r));
      if (i >= buf.size()) return IMG_FORMAT_IHEX;
    }
    const unsigned char c = static_cast<unsigned char>(buf[i]);
    if (c == '\n') {
      line = i + 1;
    } else if (!blank_char(c)) {
      if (buf[line] == ':') return IMG_FORMAT_IHEX;
      const bool srec =
          buf[line] == 'S' && line + 1 < buf.size() && buf[line + 1] >= '0' && buf[line + 1] <= '9';
      return srec ? IMG_FORMAT_SREC : IMG_FORMAT_AUTO;
    }
  }
}

// The format the content shows; IMG_FORMAT_AUTO stands for raw binary that
// was not asked for.
img_format detect_format(int fh) {
  unsigned char head[4];
  const ssize_t n = ::pread(fh, head, sizeof head, 0);
  if (n > 0 && elf_magic(head, static_cast<unsigned long>(n))) return IMG_FORMAT_ELF;
  return text_format(fh);
}

// The formats are told apart by reading the file's head and then reading it
// from its start: a pipe (a download piped in, /dev/stdin) is copied into an
// anonymous file first. Returns the descriptor to read, or -1 with errno.
int seekable(int fh, Fd *copy) {
  if (::lseek(fh, 0, SEEK_CUR) >= 0 || errno != ESPIPE) return fh;
  Fd mem(::memfd_create("tarvion_image", MFD_CLOEXEC));
  if (!mem.ok()) return -1;
  std::vector<char> piece(kPiece);
  size_t total = 0;
  for (;;) {
    const ssize_t r = ::read(fh, piece.data(), piece.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    total += size_t(r);
    // Text formats take nearly three times the bytes they describe.
    if (total > 4 * IMG_RAW_MAX) {
      errno = EFBIG;
      return -1;
    }
    for (ssize_t done = 0; done < r;) {
      const ssize_t w = ::write(mem.get(), piece.data() + done, size_t(r - done));
      if (w < 0 && errno != EINTR) return -1;
      if (w > 0) done += w;
    }
  }
  if (::lseek(mem.get(), 0, SEEK_SET) < 0) return -1;
  *copy = std::move(mem);
  return copy->get();
}

// A text reader's failure: IMG_FAILED keeps the errno of the read or
// allocation; minus a line number means the reader has printed what is
// wrong, and the caller's "Can't open" message must not show a stale system
// error beside it.
int text_result(int r) {
  if (r == IMG_FAILED) return -1;
  if (r < 0) errno = EINVAL;
  return r;
}

// The raw loader wants a record of its own.
int load_binary(int fh, image *img) {
  img_free(img);
  *img = image{};
  return parse_file_bin(fh, img);
}

int load_format(int fh, img_format fmt, const char *fn, image *img) {
  const bool forced = fmt != IMG_FORMAT_AUTO;
  switch (forced ? fmt : detect_format(fh)) {
    case IMG_FORMAT_ELF:
      return parse_file_elf(fh, img, fn);
    case IMG_FORMAT_SREC:
      return text_result(parse_file_srec(fh, img));
    case IMG_FORMAT_IHEX:
      return text_result(parse_ihex(fh, img, 1));
    case IMG_FORMAT_BINARY:
    case IMG_FORMAT_AUTO:
      break;
  }
  // Content that is no Intel HEX is read as raw binary without a word about
  // its first line: only a file that begins with a record mark is a HEX file.
  return load_binary(fh, img);
}

// A terminal is opened without waiting for its carrier, so that it can be
// told and refused; a named pipe still waits for its writer. "-" is standard
// input, taken over by a descriptor of its own.
int open_firmware(const char *fn) {
  if (std::strcmp(fn, "-") == 0) return ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  struct stat st;
  const bool device = ::stat(fn, &st) == 0 && S_ISCHR(st.st_mode);
  const int fd = ::open(fn, O_RDONLY | O_CLOEXEC | O_NOCTTY | (device ? O_NONBLOCK : 0));
  if (fd < 0 || !device) return fd;
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) < 0) {
    close_keep_errno(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int img_format_parse(const char *text, img_format *fmt) {
  static const struct {
    const char *name;
    img_format fmt;
  } kNames[] = {{"auto", IMG_FORMAT_AUTO},
                {"ihex", IMG_FORMAT_IHEX},
                {"srec", IMG_FORMAT_SREC},
                {"elf", IMG_FORMAT_ELF},
                {"binary", IMG_FORMAT_BINARY}};
  for (const auto &n : kNames) {
    if (text && std::strcmp(text, n.name) == 0) {
      *fmt = n.fmt;
      return 0;
    }
  }
  errno = EINVAL;
  return -1;
}

int parse_file_as(const char *fn, img_format fmt, image *img) {
  const int fd = open_firmware(fn);
  if (fd < 0) return fd;
  const Fd guard(fd);
  *img = image{};
  img->fn = fn;
  if (::isatty(fd)) {
    // A terminal (--device and --file swapped) would be read for ever.
    std::fprintf(stderr, "%s: a terminal, not a firmware file\n", fn);
    errno = EINVAL;
    return -1;
  }
  Fd copy;
  const int fh = seekable(fd, &copy);
  if (fh < 0) return -1;
  const int result = load_format(fh, fmt, fn, img);
  img->fn = fn;
  return result;
}

int parse_file(const char *fn, image *img) {
  return parse_file_as(fn, IMG_FORMAT_AUTO, img);
}
