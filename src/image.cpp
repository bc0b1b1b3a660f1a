#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

}  // namespace

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
  // An empty image writes nothing; and a pipe has been copied into a file by
  // then, so a size of 0 is an empty file or one whose size tells nothing of
  // its content (procfs and the like).
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
