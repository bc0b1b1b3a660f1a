#include "image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image_elf.h"
#include "image_ihex.h"
#include "image_lines.h"
#include "image_srec.h"
#include "util.h"

namespace {

constexpr size_t kPiece = 65536;

// Reads len bytes from the file's first byte on, whatever the descriptor's
// position; one read may bring less than asked.
int read_whole(int fh, unsigned char *block, size_t len) {
  size_t done = 0;
  while (done < len) {
    // A piece at a time: one read of a whole image is a long uninterruptible
    // wait on a slow medium.
    const size_t piece = len - done < kPiece ? len - done : kPiece;
    const ssize_t r = ::pread(fh, block + done, piece, static_cast<off_t>(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) {
      // The file ended before its size: it shrank after its size was taken,
      // or its size is only nominal (sysfs). The image would be cut short.
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return 0;
}

enum class Format { Raw, Ihex, Srec, Elf };

bool blank_char(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == 0x1a;
}

// Decides at the first line that is not blank: ':' begins an Intel HEX
// record, 'S' and a digit an S-record. A file of blank lines only is an
// Intel HEX file without records, as an empty one.
Format text_format(int fh) {
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
      if (buf.size() > kPiece * 16) return Format::Ihex;
      char piece[4096];
      const ssize_t r = ::pread(fh, piece, sizeof piece, base + static_cast<off_t>(buf.size()));
      if (r > 0) buf.append(piece, size_t(r));
      if (i >= buf.size()) return Format::Ihex;
    }
    const unsigned char c = static_cast<unsigned char>(buf[i]);
    if (c == '\n') {
      line = i + 1;
    } else if (!blank_char(c)) {
      if (buf[line] == ':') return Format::Ihex;
      const bool srec =
          buf[line] == 'S' && line + 1 < buf.size() && buf[line + 1] >= '0' && buf[line + 1] <= '9';
      return srec ? Format::Srec : Format::Raw;
    }
  }
}

Format detect_format(int fh) {
  unsigned char head[4];
  const ssize_t n = ::pread(fh, head, sizeof head, 0);
  if (n > 0 && elf_magic(head, static_cast<unsigned long>(n))) return Format::Elf;
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

// The old loader tried every file as Intel HEX first; a raw image's run
// still shows why its first line is not a record.
void explain_first_line(int fh) {
  LineReader stream(fh);
  const char *piece = nullptr;
  size_t len = 0;
  if (!stream.ok() || ::lseek(fh, 0, SEEK_SET) < 0 || stream.next(&piece, &len) <= 0) return;
  image scratch{};
  const size_t llen = cut_line(piece, len);
  if (add_chunk(&scratch) && _DecodeIHexLine(&scratch, piece, llen) == -1)
    report_line(1, piece, llen);
  img_free(&scratch);
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

int load_format(int fh, const char *fn, image *img) {
  switch (detect_format(fh)) {
    case Format::Elf:
      return parse_file_elf(fh, img, fn);
    case Format::Srec:
      return text_result(parse_file_srec(fh, img));
    case Format::Ihex:
      return text_result(parse_ihex(fh, img, 1));
    case Format::Raw:
      break;
  }
  explain_first_line(fh);
  img_free(img);
  *img = image{};
  return parse_file_bin(fh, img);
}

// A terminal is opened without waiting for its carrier, so that it can be
// told and refused; a named pipe still waits for its writer.
int open_firmware(const char *fn) {
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

int parse_file(const char *fn, image *img) {
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
  const int result = load_format(fh, fn, img);
  img->fn = fn;
  return result;
}

int parse_file_bin(int fh, image *img) {
  auto *table = static_cast<image_chunk *>(std::calloc(1, sizeof(image_chunk)));
  if (!table) {
    errno = ENOMEM;
    return -1;
  }
  img->img = table;
  img->slots = 1;
  img->chunks = 1;
  struct stat st;
  if (::fstat(fh, &st) < 0) return -1;
  // Only a regular file has a size to load; a device or pipe would give an
  // empty image that erases the module and writes nothing.
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  // No module has 16 MiB of flash: a larger file is not its firmware, and
  // is refused before a byte of it is read.
  if (st.st_size > IMG_RAW_MAX) {
    errno = EFBIG;
    return -1;
  }
  const int size = static_cast<int>(st.st_size);
  // The raw load follows a first line that was read, so a size of 0 belongs
  // to a file whose size tells nothing of its content (procfs and the like).
  if (size == 0) {
    errno = ENODATA;
    return -1;
  }
  table->data = static_cast<unsigned char *>(std::malloc(size_t(size)));
  if (!table->data) {
    errno = ENOMEM;
    return -1;
  }
  table->cap = size;
  if (read_whole(fh, table->data, size_t(size)) < 0) return -1;
  table->len = size;
  return size;
}

int img_get_chunk(image *img, int *offset, char *buf, int buflen) {
  if (buflen < 1 || !buf) {
    errno = EINVAL;
    return -1;
  }
  // Empty chunks are passed over; a cursor at or past a chunk's end (which
  // the reader itself never leaves) is treated alike rather than trusted.
  while (img->cchunk < img->chunks && img->img[img->cchunk].len <= img->cpos) {
    ++img->cchunk;
    img->cpos = 0;
  }
  if (img->cchunk >= img->chunks) return 0;
  const image_chunk &c = img->img[img->cchunk];
  const int rest = c.len - img->cpos;
  const int n = buflen < rest ? buflen : rest;
  if (offset) {
    *offset = static_cast<int>(static_cast<uint32_t>(c.offset) + static_cast<uint32_t>(img->cpos));
  }
  std::memcpy(buf, c.data + img->cpos, size_t(n));
  img->cpos += n;
  if (img->cpos >= c.len) {
    ++img->cchunk;
    img->cpos = 0;
  }
  return n;
}

void img_free(image *img) {
  if (!img->img) return;
  for (int i = 0; i < img->chunks; ++i) std::free(img->img[i].data);
  std::free(img->img);
}
