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

// Loads the file fn: Intel HEX first; raw binary (one chunk at address 0)
// when the first line is malformed as Intel HEX and does not begin with ':'.
// The record need not be initialised. Returns 0 for Intel HEX, the file size
// for raw binary, and a negative value on failure:
//  - the open failed: its result, errno set by it, record untouched;
//  - a read, size query or allocation failed: -1 with errno set (EISDIR for
//    a directory, EFBIG for a raw file too large for the 32-bit lengths);
//  - -N for a malformed Intel HEX line N, line 1 only when it begins with
//    ':' (the reader has printed the cause; errno is EINVAL).
// fn is borrowed: img->fn points at the caller's text once the file is open.
// After a successful open the record always holds an image for img_free.
int parse_file(const char *fn, image *img);

// Loads the whole file behind fh, from its first byte whatever the
// descriptor's position, as one chunk at address 0 with a block of exactly
// the file's size. Sets chunks and the table; leaves fn and the cursor alone.
// Returns the file size, or -1 with errno set: from fstat or pread, ENOMEM,
// EFBIG when the size does not fit an int, EIO when the file ended before its
// size, ENODATA for a size of 0, EISDIR or EINVAL for what is not a regular
// file. (parse_file only gets here after reading a first line, so a size of 0
// or a device cannot be a whole image.)
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
