// The firmware image: a table of chunks, each a run of bytes tagged with the
// 32-bit target address of its first byte, and a forward-only read cursor.
#ifndef TARVION_IMAGE_H
#define TARVION_IMAGE_H

struct image_chunk {
  int len;              // bytes held, counted from the start of data
  int offset;           // target address of data[0]; sums wrap modulo 2^32
  unsigned char *data;  // owned by the image
};

struct image {
  const char *fn;    // file name as the caller gave it; borrowed
  int chunks;        // chunks in use
  int cchunk;        // chunk the reader stands in
  int cpos;          // bytes of that chunk already handed out
  image_chunk *img;  // the chunk table, owned by the image
};

// Loads the file fn: Intel HEX first; raw binary (one chunk at address 0)
// when the first line is malformed as Intel HEX. The record need not be
// initialised. Returns 0 for Intel HEX, the file size for raw binary, and a
// negative value on failure: the failed call's result with errno set, or -N
// for a malformed Intel HEX line N >= 2 (the reader has printed the cause).
int parse_file(const char *fn, image *img);

// Loads the whole file behind fh, from its first byte, as one chunk at 0.
int parse_file_bin(int fh, image *img);

// Hands out the next fragment: at most buflen bytes of one chunk, copied to
// buf, with the target address of its first byte stored through offset
// (which may be null). Returns the number of bytes, 0 once exhausted.
int img_get_chunk(image *img, int *offset, char *buf, int buflen);

// Releases the chunk blocks and the table; the fields are left as they were.
void img_free(image *img);

#endif
