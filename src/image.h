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

// Loads the file fn, whose format its content decides: ELF by its magic
// bytes, then by its first line that is not blank, Intel HEX (':'), Motorola
// S-record ('S' and a digit), and anything else raw binary (one chunk at
// address 0; its first line is explained as Intel HEX on standard error, as
// ever). A pipe is read whole first. The record need not be initialised.
// Returns 0 for a file with addresses (Intel HEX, S-record, ELF), the file
// size for raw binary, and a negative value on failure:
//  - the open failed: its result, errno set by it, record untouched;
//  - a read, size query or allocation failed: -1 with errno set (EISDIR for
//    a directory, EFBIG for a raw file over IMG_RAW_MAX);
//  - -N for a malformed Intel HEX or S-record line N, or minus the line
//    after the last for a file without its end record; -1 for a malformed
//    ELF file (the reader has printed the cause; errno is EINVAL).
// fn is borrowed: img->fn points at the caller's text once the file is open.
// After a successful open the record always holds an image for img_free.
int parse_file(const char *fn, image *img);

// Loads the whole file behind fh, from its first byte whatever the
// descriptor's position, as one chunk at address 0 with a block of exactly
// the file's size. Sets chunks and the table; leaves fn and the cursor alone.
// The file is read a piece at a time. Returns the file size, or -1 with
// errno set: from fstat or pread, ENOMEM, EFBIG over IMG_RAW_MAX, EIO when the file ended before
// its size, ENODATA for a size of 0, EISDIR or EINVAL for what is not a regular file. (parse_file
// only gets here after reading a first line, so a size of 0 or a device cannot be a whole image.)
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
