// The Intel HEX reader.
#ifndef TARVION_IMAGE_IHEX_H
#define TARVION_IMAGE_IHEX_H

#include <climits>
#include <cstddef>
#include <cstdint>

#include "image.h"

// Table slots reserved up front, and the block each of the chunks in them
// gets at creation; the common image needs no more. The reader grows the
// table, and a block, only when a file needs it.
constexpr int IHEX_TABLE_SLOTS = 128;
constexpr int IHEX_CHUNK_BYTES = 65536;

#include "image_lines.h"

// Longest piece of a line the reader takes at once; a longer physical line
// is read in several pieces, each counted as a line of its own.
constexpr int IHEX_LINE_MAX = IMG_LINE_MAX;

// Result of a failed read or allocation: never minus a line number, so the
// caller cannot mistake it for a malformed line (least of all line 1).
constexpr int IHEX_FAILED = IMG_FAILED;

// What the reader carries from line to line besides the image.
struct ihex_state {
  uint32_t segment;  // an extended segment address record's value times 16
  bool segmented;    // data records lie at segment + their address
  bool ended;        // an end-of-file record was read
  bool records;      // a record was read
};

// Reads the Intel HEX text behind fh (which stays open) into img, clearing
// the record first. Lines that are blank (spaces, tabs, ^Z) are passed over.
// Returns 0 at the end of the input (an input without records gives one
// empty chunk at address 0), minus the line number at the first malformed
// line after printing the cause and the line on standard error, or
// IHEX_FAILED with errno set when a read or an allocation failed (EISDIR for
// a directory). With require_end, records without an end-of-file record
// among them fail as cut short: a message, and minus the line after the
// last. The chunks read so far stay in img for img_free.
int parse_ihex(int fh, image *img, int require_end);

// parse_ihex without require_end.
int parse_file_ihex(int fh, image *img);

// Decodes one line of llen characters (already cut at its end of line) into
// img, whose current chunk is the last one in use, with the reader's state
// st. Returns 0 when the record was used or passed over, -1 for a malformed
// line after printing why on standard error, or IHEX_FAILED with errno set
// when growing the image failed.
int ihex_decode_line(image *img, ihex_state *st, const char *line, size_t llen);

// ihex_decode_line with a fresh state: one line on its own.
int _DecodeIHexLine(image *img, const char *line, size_t llen);

// Places n bytes at addr: they continue the last chunk when it ends exactly
// at addr (or re-base it when it holds nothing), else they open a new chunk.
// Returns 0, or -1 with errno ENOMEM or EFBIG (a chunk beyond INT_MAX bytes).
int img_put(image *img, uint32_t addr, const unsigned char *data, size_t n);

// Takes the next free slot of img's table (growing the table when all are in
// use), counts it in chunks and returns it, with len and offset 0. A chunk
// in one of the first IHEX_TABLE_SLOTS slots gets a block of IHEX_CHUNK_BYTES
// bytes; a later one gets its block with its first data. Returns null with
// errno ENOMEM when an allocation failed; the image is left as it was.
image_chunk *add_chunk(image *img);

// Value of the hexadecimal digit character at hex; 0 for any other character.
int hex2nibble(const char *hex);

#endif
