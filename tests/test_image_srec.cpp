// The Motorola S-record reader, through parse_file as a run loads a file:
// record types, counts, checks and the end record.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"
#include "image.h"
#include "image_format.h"
#include "images.h"
#include "testsupport.h"

namespace {

using testsupport::Bytes;
using testsupport::cat;
using testsupport::Chunk;
using testsupport::OwnedImage;
using testsupport::pattern;

// One record as a tool would write it: count, address of the type's width,
// data and the ones' complement checksum, in hexadecimal after "Sn".
std::string srec(int type, uint32_t addr, const Bytes &data, int checksum_delta = 0) {
  static const char digits[] = "0123456789ABCDEF";
  static const int widths[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  Bytes raw = {uint8_t(data.size() + widths[type] + 1)};
  for (int i = widths[type] - 1; i >= 0; --i) raw.push_back(uint8_t(addr >> (8 * i)));
  raw.insert(raw.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t b : raw) sum += b;
  raw.push_back(uint8_t(~sum + checksum_delta));
  std::string line = "S" + std::to_string(type);
  for (uint8_t b : raw) {
    line += digits[b >> 4];
    line += digits[b & 15];
  }
  return line + "\n";
}

TEST(Srec, RecordsLoadAtTheirAddressesAndMalformedOnesFailWithTheirLine) {
  const Bytes a = pattern(16, 1), b = pattern(16, 2);
  const std::string head = srec(0, 0, {'f', 'w'});
  const std::string bad_digit = "S1050000zz00FA\n";
  const struct {
    const char *what;
    std::string text;
    int result;
    std::string err;
    std::vector<Chunk> chunks;
  } cases[] = {
      {"S1 data and S9",
       head + srec(1, 0x1000, a) + srec(1, 0x1010, b) + srec(9, 0x1000, {}),
       0,
       "",
       {{0x1000, cat(a, b)}}},
      {"S2 data, its count in S5, S8 after a blank line",
       srec(2, 0x080000, a) + srec(2, 0x080100, b) + srec(5, 2, {}) + "\n" + srec(8, 0, {}),
       0,
       "",
       {{0x080000, a}, {0x080100, b}}},
      {"S3 data, S6 count, S7, CR LF and a ^Z",
       "\r\n" + srec(3, 0x08000000, a) + srec(6, 1, {}) + srec(7, 0x08000000, {}) + "\x1a",
       0,
       "",
       {{0x08000000, a}}},
      {"a count that does not match",
       srec(1, 0, a) + srec(5, 2, {}) + srec(9, 0, {}),
       -2,
       "Record count 2 does not match the 1 data records before it\n"
       "Error parsing line 2 'S5030002FA'\n",
       {{0, a}}},
      {"a checksum one too high",
       head + srec(1, 0, {1, 2}, 1),
       -2,
       "Checksum-error 1\nError parsing line 2 'S10500000102F8'\n",
       {{0, {}}}},
      {"no end record: cut short",
       head + srec(3, 0x08000000, a),
       -3,
       "No end record (S7, S8 or S9) after line 2: the file may be cut short\n",
       {{0x08000000, a}}},
      {"a character that is no digit",
       head + bad_digit,
       -2,
       "Bad hex digit\nError parsing line 2 'S1050000zz00FA'\n",
       {{0, {}}}},
      {"the reserved type S4",
       head + "S4030000FC\n",
       -2,
       "Unknown record type\nError parsing line 2 'S4030000FC'\n",
       {{0, {}}}},
      {"a count longer than the line",
       head + "S10A0000FF\n",
       -2,
       "Line too short for 10 Bytes\nError parsing line 2 'S10A0000FF'\n",
       {{0, {}}}},
      {"a count too small for the address",
       head + "S302FFFE\n",
       -2,
       "Record too short for its address\nError parsing line 2 'S302FFFE'\n",
       {{0, {}}}},
      {"a line too short",
       head + "S1\n",
       -2,
       "Line too short\nError parsing line 2 'S1'\n",
       {{0, {}}}},
  };
  for (const auto &t : cases) {
    testsupport::TempDir dir;
    const std::string path = dir.file("fw.srec");
    testsupport::write_file(path, t.text);
    OwnedImage out;
    const auto l = testsupport::call_capturing([&] { return parse_file(path.c_str(), &out.img); });
    EXPECT_EQ(l.result, t.result) << t.what;
    EXPECT_EQ(l.err, t.err) << t.what;
    if (t.result < 0) {
      EXPECT_EQ(l.err_no, EINVAL) << t.what;
    }
    EXPECT_EQ(out.chunks(), t.chunks) << t.what;
  }
}

}  // namespace
