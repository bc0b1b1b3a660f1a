// The firmware image: a table of chunks, each a run of bytes tagged with the
// 32-bit target address of its first byte, and a forward-only read cursor.
#ifndef TARVION_IMAGE_H
#define TARVION_IMAGE_H

struct image_chunk {
  int len;              // bytes held, counted from the start of data
  int offset;           // target address of data[0]; sums wrap modulo 2^32
  unsigned char *data;  // owned by the image
  int cap;              // bytes allocated for data (len <= cap)
};

struct image {
  const char *fn;    // file name as the caller gave it; borrowed
  int chunks;        // chunks in use
  int cchunk;        // chunk the reader stands in
  int cpos;          // bytes of that chunk already handed out
  image_chunk *img;  // the chunk table, owned by the image
  int slots;         // entries allocated in the chunk table (chunks <= slots)
};

// Largest raw binary image: more than any module's flash.
constexpr long IMG_RAW_MAX = 16L * 1024 * 1024;

// Loads the whole file behind fh, from its first byte whatever the
// descriptor's position, as one chunk at address 0 with a block of exactly
// the file's size. Sets chunks and the table; leaves fn and the cursor alone.
// The file is read a piece at a time. Returns the file size, or -1 with
// errno set: from fstat or pread, ENOMEM, EFBIG over IMG_RAW_MAX, EIO when the file ended before
// its size, ENODATA for a size of 0, EISDIR or EINVAL for what is not a regular file. (The
// chooser, parse_file_as, copies a pipe into an anonymous file first, so a size of 0 or a device
// cannot be a whole image.)
int parse_file_bin(int fh, image *img);

// Hands out the next fragment: at most buflen bytes of one chunk, copied to
// buf, with the target address of its first byte stored through offset
// (which may be null). Chunks holding no bytes are passed over. Returns the
// number of bytes, 0 once the image is exhausted (then neither buf nor
// *offset is written), and -1 with errno EINVAL when buflen < 1 or buf is
// null. Allocates nothing.
int img_get_chunk(image *img, int *offset, char *buf, int buflen);

// Releases the chunk blocks and the table; the fields are left as they were.
// A cleared record (no table) is released without effect.
void img_free(image *img);

#endif
