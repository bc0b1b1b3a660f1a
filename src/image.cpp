#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image_ihex.h"
#include "util.h"

namespace {

// Reads len bytes from the file's first byte on, whatever the descriptor's
// position; one read may bring less than asked.
int read_whole(int fh, unsigned char *block, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t r = ::pread(fh, block + done, len - done, static_cast<off_t>(done));
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

// A first line that begins with ':' is an Intel HEX record, even a malformed
// one: writing the text of a damaged HEX file to the module as if it were a
// raw image would report success for a module holding garbage.
bool starts_with_record_mark(int fh) {
  char first = 0;
  return ::pread(fh, &first, 1, 0) == 1 && first == ':';
}

}  // namespace

int parse_file(const char *fn, image *img) {
  const int fh = ::open(fn, O_RDONLY | O_CLOEXEC);
  if (fh < 0) return fh;
  const Fd guard(fh);
  *img = image{};
  int result = parse_file_ihex(fh, img);
  if (result == -1 && !starts_with_record_mark(fh)) {
    // Line 1 is not Intel HEX: the file is a raw binary image.
    img_free(img);
    *img = image{};
    result = parse_file_bin(fh, img);
  } else if (result == IHEX_FAILED) {
    result = -1;
  } else if (result < 0) {
    // The reader has printed what is wrong with the line; the caller's
    // "Can't open" message should not show a stale system error beside it.
    errno = EINVAL;
  }
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
  if (st.st_size > INT_MAX) {
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
