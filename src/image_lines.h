// Line-by-line reading of the text image formats (Intel HEX, S-record):
// the buffered reader, the line cut, blank lines and the echo of a
// malformed line.
#ifndef TARVION_IMAGE_LINES_H
#define TARVION_IMAGE_LINES_H

#include <climits>
#include <cstddef>
#include <memory>

// Longest piece of a line taken at once; a longer physical line is read in
// several pieces, each counted as a line of its own.
constexpr int IMG_LINE_MAX = 525;

// Reads lines the way fgets does into a buffer of IMG_LINE_MAX + 1, but
// hands out pieces in place: no copy and no allocation per line. The
// descriptor is only read, never closed.
class LineReader {
 public:
  explicit LineReader(int fh);
  bool ok() const { return buf_ != nullptr; }

  // Next piece: at most IMG_LINE_MAX characters, ending after a line feed if
  // one comes first. Returns 1 with the piece, 0 at the end of the input, -1
  // with errno set when a read failed.
  int next(const char **piece, size_t *len);

 private:
  int fill();

  int fh_;
  std::unique_ptr<char[]> buf_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

// Length of the line in a piece: it ends at its first CR or LF, or at a NUL
// it contains.
size_t cut_line(const char *p, size_t n);

// True for a line of nothing but blanks, tabs and ^Z (0x1A, the end-of-text
// mark some tools append): such lines carry no record.
bool blank_line(const char *p, size_t n);

// Result of a failed read or allocation: never minus a line number, so the
// caller cannot mistake it for a malformed line (least of all line 1).
constexpr int IMG_FAILED = INT_MIN;

// Decodes one line (cut at its end of line) for read_lines: 0 when done
// with it, -1 when malformed (the cause printed), IMG_FAILED with errno set.
using line_decoder = int (*)(void *ctx, const char *line, size_t llen);

// Hands every line of the text behind fh (which stays open) that is not
// blank to decode, counting lines from 1. Returns 0 at the end of the input
// with the number of lines in *lines; minus the line number after echoing a
// line that decode found malformed; IMG_FAILED with errno set when a read,
// an allocation or decode failed.
int read_lines(int fh, line_decoder decode, void *ctx, int *lines);

// Prints "Error parsing line N '...'" with the line's bytes that are not
// printable ASCII escaped, so that an untrusted file cannot drive the
// user's terminal.
void report_line(int line, const char *text, size_t len);

#endif
