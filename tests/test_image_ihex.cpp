// The Intel HEX reader: line checks, record types, how records gather into
// chunks, line pieces, failing reads, growth of the table and the blocks,
// and files written by srec_cat and objcopy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "image_ihex.h"
#include "images.h"
#include "testsupport.h"

namespace {

using testsupport::Bytes;
using testsupport::cat;
using testsupport::Chunk;
using testsupport::OwnedImage;
using testsupport::pattern;
using Loaded = testsupport::Called;

// One record as a tool would write it, without the line end.
std::string rec(int type, unsigned addr, const Bytes &data) {
  static const char digits[] = "0123456789ABCDEF";
  Bytes raw = {uint8_t(data.size()), uint8_t(addr >> 8), uint8_t(addr), uint8_t(type)};
  raw.insert(raw.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t b : raw) sum += b;
  raw.push_back(uint8_t(0x100 - (sum & 0xFF)));
  std::string line = ":";
  for (uint8_t b : raw) {
    line += digits[b >> 4];
    line += digits[b & 15];
  }
  return line;
}

std::string data_rec(unsigned addr, const Bytes &data) {
  return rec(0, addr, data);
}
std::string ela_rec(unsigned upper) {
  return rec(4, 0, {uint8_t(upper >> 8), uint8_t(upper)});
}

// Runs the reader over the file at path, as parse_file hands it over.
Loaded load_file(const std::string &path, OwnedImage &out) {
  const int fh = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fh, 0) << path;
  const Loaded got = testsupport::call_capturing([&] { return parse_file_ihex(fh, &out.img); });
  EXPECT_NE(fcntl(fh, F_GETFD), -1) << "the reader closed the descriptor";
  close(fh);
  errno = got.err_no;
  return got;
}

Loaded load_text(const std::string &text, OwnedImage &out) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("in.hex"), text);
  return load_file(dir.file("in.hex"), out);
}

std::string lines(const std::vector<std::string> &ls, const char *eol = "\n") {
  std::string s;
  for (const auto &l : ls) s += l + eol;
  return s;
}

// Decodes one line into an image that holds chunk 0 at address 0.
Loaded decode(const std::string &line, OwnedImage &out) {
  EXPECT_NE(add_chunk(&out.img), nullptr);
  return testsupport::call_capturing(
      [&] { return _DecodeIHexLine(&out.img, line.data(), line.size()); });
}

TEST(IntelHex, Hex2NibbleGivesDigitValuesAndZeroForAnyOtherCharacter) {
  const std::string digits = "0123456789abcdef";
  for (int c = 0; c < 256; ++c) {
    const char ch = char(c);
    const size_t pos = digits.find(char(c >= 'A' && c <= 'F' ? c + 32 : c));
    const int want = pos != std::string::npos ? int(pos) : 0;
    EXPECT_EQ(hex2nibble(&ch), want) << "character " << c;
  }
}

TEST(IntelHex, MalformedLinesReportTheFirstCheckThatFails) {
  ASSERT_EQ(data_rec(0, {1, 2, 3}), ":03000000010203F7");
  const struct {
    std::string line;
    std::string message;
  } cases[] = {
      {"", "Line too short\n"},
      {":000000010", "Line too short\n"},
      {"x000000", "Line too short\n"},
      {"x00000001FF", "No ihex-line\n"},
      {"x0000000100", "No ihex-line\n"},
      {":00000001FF ", "Line too short for 0 Bytes\n"},
      {":0100000000", "Line too short for 1 Bytes\n"},
      {data_rec(0, pattern(16, 1)) + "00", "Line too short for 16 Bytes\n"},
      {data_rec(0, pattern(16, 1)).substr(0, 41), "Line too short for 16 Bytes\n"},
      {":03000000010203F8", "Checksum-error 1\n"},
      {":00000001FE", "Checksum-error 255\n"},
      {":00000001fe", "Checksum-error 255\n"},
      {":00000001GF", "Checksum-error 16\n"},
      {rec(4, 0, {}), "Bad extended linear address record\n"},
      {rec(4, 0, {0x08}), "Bad extended linear address record\n"},
  };
  for (const auto &c : cases) {
    OwnedImage out;
    const Loaded l = decode(c.line, out);
    EXPECT_EQ(l.result, -1) << c.line;
    EXPECT_EQ(l.err, c.message) << c.line;
    EXPECT_EQ(out.chunks(), (std::vector<Chunk>{{0, {}}})) << c.line;
  }
}

TEST(IntelHex, RecordTypesOtherThanDataAndLinearAddressArePassedOver) {
  const struct {
    int type;
    bool reported;
  } cases[] = {{1, false}, {2, false}, {3, true}, {5, false}, {6, true}, {0x7f, true}, {255, true}};
  for (const auto &c : cases) {
    OwnedImage out;
    const Loaded l = decode(rec(c.type, 0x1234, {0x08, 0x00, 0x01, 0x23}), out);
    EXPECT_EQ(l.result, 0) << c.type;
    const std::string msg = "Ignoring line: type " + std::to_string(c.type) +
                            " is not supported by IHex interpreter!\n";
    EXPECT_EQ(l.err, c.reported ? msg : "") << c.type;
    EXPECT_EQ(out.chunks(), (std::vector<Chunk>{{0, {}}})) << c.type;
  }
}

TEST(IntelHex, RecordsGatherIntoChunksByAddressRun) {
  const Bytes a = pattern(16, 1), b = pattern(16, 2), c = pattern(16, 3);
  const struct {
    const char *what;
    std::vector<std::string> records;
    std::vector<Chunk> chunks;
    std::string err = "";
  } cases[] = {
      {"records at 0x0000 and 0x0010 make one chunk",
       {data_rec(0, a), data_rec(0x10, b)},
       {{0, cat(a, b)}}},
      {"records at 0x0000 and 0x0020 make two chunks",
       {data_rec(0, a), data_rec(0x20, b)},
       {{0, a}, {0x20, b}}},
      {"a first record off address 0 leaves chunk 0 empty",
       {data_rec(0x100, a)},
       {{0, {}}, {0x100, a}}},
      {"a linear address before data re-bases chunk 0",
       {ela_rec(0x0800), data_rec(0, a)},
       {{0x08000000, a}}},
      {"re-based chunk 0 stays empty when the data start elsewhere",
       {ela_rec(0x0800), data_rec(0x4000, a)},
       {{0x08000000, {}}, {0x08004000, a}}},
      {"a linear address after data opens a chunk",
       {ela_rec(0x0800), data_rec(0, a), ela_rec(0x0801), data_rec(0, b)},
       {{0x08000000, a}, {0x08010000, b}}},
      {"a linear address on an empty chunk reuses it",
       {ela_rec(0x0800), ela_rec(0x2000), data_rec(0, a)},
       {{0x20000000, a}}},
      {"a record at 0 continues a chunk ending on a 64 KiB boundary",
       {ela_rec(0x0800), data_rec(0xFFF0, a), data_rec(0, b)},
       {{0x08000000, {}}, {0x0800FFF0, cat(a, b)}}},
      {"the run wraps at the top of the address space",
       {ela_rec(0xFFFF), data_rec(0xFFF0, a), data_rec(0, b)},
       {{0xFFFF0000, {}}, {0xFFFFFFF0, cat(a, b)}}},
      {"a segment address moves the data that follow by its value times 16",
       {rec(2, 0, {0x10, 0x00}), data_rec(0, a), data_rec(0x10, b)},
       {{0x10000, cat(a, b)}}},
      {"a linear address ends a segment address",
       {rec(2, 0, {0x10, 0x00}), data_rec(0, a), ela_rec(0x0800), data_rec(0, b)},
       {{0x10000, a}, {0x08000000, b}}},
      {"going back or repeating an address opens a chunk each time",
       {data_rec(0x20, a), data_rec(0x10, b), data_rec(0x10, c)},
       {{0, {}}, {0x20, a}, {0x10, b}, {0x10, c}}},
      {"records after an end-of-file record are read",
       {data_rec(0, a), rec(1, 0, {}), data_rec(0x10, b)},
       {{0, cat(a, b)}}},
      {"a start linear address changes nothing",
       {ela_rec(0x0800), data_rec(0, a), rec(5, 0, {0x08, 0, 1, 0x01}), data_rec(0x10, b)},
       {{0x08000000, cat(a, b)}}},
  };
  // Each file also with CR LF line ends, and with lower-case digits.
  for (const auto &t : cases) {
    for (int variant = 0; variant < 3; ++variant) {
      std::string text = lines(t.records, variant == 1 ? "\r\n" : "\n");
      if (variant == 2) {
        for (char &ch : text) ch = char(std::tolower(static_cast<unsigned char>(ch)));
      }
      OwnedImage out;
      const Loaded l = load_text(text, out);
      EXPECT_EQ(l.result, 0) << t.what;
      EXPECT_EQ(l.err, t.err) << t.what;
      EXPECT_EQ(out.chunks(), t.chunks) << t.what;
      EXPECT_EQ(out.img.cchunk, 0);
      EXPECT_EQ(out.img.cpos, 0);
    }
  }
}

TEST(IntelHex, LoadEndsAtTheInputsEndOrAtTheFirstMalformedLine) {
  const Bytes a = pattern(16, 1), b = pattern(16, 2);
  const struct {
    const char *what;
    std::string text;
    int result;
    std::string err;
    std::vector<Chunk> chunks;
  } cases[] = {
      {"empty file", "", 0, "", {{0, {}}}},
      {"end-of-file record only", ":00000001FF\n", 0, "", {{0, {}}}},
      {"last line without line end", data_rec(0, a), 0, "", {{0, a}}},
      {"malformed first line",
       "hello\n" + data_rec(0, a) + "\n",
       -1,
       "Line too short\nError parsing line 1 'hello'\n",
       {{0, {}}}},
      {"malformed fifth line keeps the chunks of lines 1 to 4",
       lines({ela_rec(0x0800), data_rec(0, a), ela_rec(0x0900), data_rec(0x10, b), "::"}),
       -5,
       "Line too short\nError parsing line 5 '::'\n",
       {{0x08000000, a}, {0x09000000, {}}, {0x09000010, b}}},
      {"blank lines and a ^Z are passed over wherever they stand",
       lines({"", data_rec(0, a), "  \r", "", ":00000001FF", "\x1a"}),
       0,
       "",
       {{0, a}}},
      {"blank after the checksum",
       data_rec(0, a) + " \r\n",
       -1,
       "Line too short for 16 Bytes\nError parsing line 1 '" + data_rec(0, a) + " '\n",
       {{0, {}}}},
      {"the line is cut at a NUL", data_rec(0, a) + '\0' + "junk\n", 0, "", {{0, a}}},
  };
  for (const auto &t : cases) {
    OwnedImage out;
    const Loaded l = load_text(t.text, out);
    EXPECT_EQ(l.result, t.result) << t.what;
    EXPECT_EQ(l.err, t.err) << t.what;
    EXPECT_EQ(out.chunks(), t.chunks) << t.what;
  }
}

TEST(IntelHex, LinesLongerThan525CharactersAreReadInPieces) {
  const std::string longest = data_rec(0, pattern(255, 1));  // 521 characters
  ASSERT_EQ(longest.size(), 521u);
  const std::string next = data_rec(255, pattern(1, 2));
  const struct {
    const char *what;
    std::string text;
    int result;
    std::string err;
  } cases[] = {
      {"524 characters and a line feed make one line", longest + "\rab\n" + next + "\n", 0, ""},
      {"525 characters before the line feed leave an empty piece, passed over",
       longest + "\rabc\n" + next + "\n", 0, ""},
      {"a long garbage line is echoed as its first piece", next + "\n:" + std::string(600, 'A'), -2,
       "Line too short for 170 Bytes\nError parsing line 2 ':" + std::string(524, 'A') + "'\n"},
      {"a blank after the longest record", next + "\n" + longest + "    \n", -2,
       "Line too short for 255 Bytes\nError parsing line 2 '" + longest + "    '\n"},
  };
  for (const auto &t : cases) {
    OwnedImage out;
    const Loaded l = load_text(t.text, out);
    EXPECT_EQ(l.result, t.result) << t.what;
    EXPECT_EQ(l.err, t.err) << t.what;
  }
}

TEST(IntelHex, EchoOfMalformedLineEscapesBytesThatAreNotPrintable) {
  const struct {
    std::string line;
    std::string shown;
  } cases[] = {
      {"plain text, ~ \\ 'quotes'", "plain text, ~ \\ 'quotes'"},
      {"\x1b]0;pwned\x07\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J"},
      {"caf\xc3\xa9\t\x7f and more", "caf\\xc3\\xa9\\x09\\x7f and more"},
  };
  for (const auto &c : cases) {
    OwnedImage out;
    const Loaded l = load_text(c.line + "\n", out);
    EXPECT_EQ(l.result, -1);
    EXPECT_EQ(l.err, "No ihex-line\nError parsing line 1 '" + c.shown + "'\n");
  }
}

TEST(IntelHex, FailingReadFailsTheLoadWithItsErrno) {
  testsupport::TempDir dir;
  OwnedImage out;
  const Loaded l = load_file(dir.path(), out);
  EXPECT_EQ(l.result, IHEX_FAILED);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(l.err, "");
}

TEST(IntelHex, FileNeedingMoreThan128ChunksLoadsWhole) {
  std::vector<std::string> records;
  std::vector<Chunk> want;
  for (unsigned i = 0; i < 300; ++i) {
    const Bytes d = pattern(16, i);
    records.push_back(data_rec(i * 0x80, d));
    want.push_back({i * 0x80, d});
  }
  OwnedImage out;
  const Loaded l = load_text(lines(records), out);
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(out.chunks(), want);
  EXPECT_GE(out.img.slots, 300);
}

TEST(IntelHex, RunPastOneBlockGrowsTheChunk) {
  // 200,000 bytes at consecutive addresses with no linear address record:
  // the lower 16 address bits wrap three times, the run goes on.
  const size_t total = 200000;
  const Bytes all = pattern(total, 7);
  std::string text;
  for (size_t pos = 0; pos < total; pos += 32) {
    const size_t n = std::min<size_t>(32, total - pos);
    text += data_rec(pos & 0xFFFF, Bytes(all.begin() + pos, all.begin() + pos + n)) + "\n";
  }
  OwnedImage out;
  const Loaded l = load_text(text, out);
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(out.chunks(), (std::vector<Chunk>{{0, all}}));
}

TEST(IntelHex, OnlyTheFirstSlotsReserveABlockLaterChunksHoldTheirData) {
  // A file of one-byte records at scattered addresses opens a chunk every
  // 14 bytes of text; a block reserved per chunk would turn a 1 MB file into
  // gigabytes. The chunks of the first table slots get their 64 KiB block at
  // once, as a common image wants; later ones hold what their data need.
  const struct {
    const char *what;
    unsigned records;
    unsigned step;  // address distance between records
    size_t bytes;   // data bytes per record
  } cases[] = {
      {"scattered one-byte records", 3000, 2, 1},
      {"one run of 16-byte records", 3000, 16, 16},
  };
  const size_t first_slots = size_t(IHEX_TABLE_SLOTS) * size_t(IHEX_CHUNK_BYTES);
  for (const auto &c : cases) {
    std::string text;
    for (unsigned i = 0; i < c.records; ++i) {
      text += data_rec((i * c.step) & 0xFFFF, pattern(c.bytes, i)) + "\n";
    }
    OwnedImage out;
    ASSERT_EQ(load_text(text, out).result, 0) << c.what;
    size_t held = 0;
    size_t reserved = 0;
    for (int i = 0; i < out.img.chunks; ++i) {
      held += size_t(out.img.img[i].len);
      reserved += size_t(out.img.img[i].cap);
      if (i < IHEX_TABLE_SLOTS && out.img.img[i].len <= IHEX_CHUNK_BYTES) {
        EXPECT_EQ(out.img.img[i].cap, IHEX_CHUNK_BYTES) << c.what << ", chunk " << i;
      }
    }
    EXPECT_EQ(held, c.records * c.bytes) << c.what;
    EXPECT_LE(reserved, first_slots + 2 * held) << c.what;
  }
}

// Bytes by target address over all chunks; an address held twice fails.
std::map<uint32_t, uint8_t> bytes_by_address(const OwnedImage &out) {
  std::map<uint32_t, uint8_t> m;
  for (const Chunk &c : out.chunks()) {
    for (size_t i = 0; i < c.bytes.size(); ++i) {
      const uint32_t at = c.offset + uint32_t(i);
      EXPECT_TRUE(m.emplace(at, c.bytes[i]).second) << "address 0x" << std::hex << at;
    }
  }
  return m;
}

TEST(IntelHex, FilesWrittenBySrecCatAndObjcopyLoadAtTheirAddresses) {
  // Each region: target address, offset in data.bin, length (see
  // make_fixtures.sh beside the files).
  struct Region {
    uint32_t address;
    size_t from;
    size_t len;
  };
  const struct {
    const char *file;
    std::vector<Region> regions;
  } cases[] = {
      {"srec16_cross64k.hex", {{0x0800FC00, 0, 2048}}},
      {"srec32_gaps.hex",
       {{0x20000000, 0, 0x300}, {0x20000405, 0x405, 5}, {0x20000600, 0x600, 0x200}}},
      {"srec255_start.hex", {{0x0801FF80, 0, 2048}}},
      {"objcopy_sections.hex", {{0x0800FFA0, 0, 2048}, {0x20000004, 0, 100}}},
  };
  const std::string dir = testsupport::source_dir() + "/tests/fixtures/image/";
  const std::string data = testsupport::read_file(dir + "data.bin");
  ASSERT_EQ(data.size(), 2048u);
  for (const auto &c : cases) {
    std::map<uint32_t, uint8_t> want;
    for (const Region &r : c.regions) {
      for (size_t i = 0; i < r.len; ++i) want[r.address + uint32_t(i)] = uint8_t(data[r.from + i]);
    }
    OwnedImage out;
    const Loaded l = load_file(dir + c.file, out);
    EXPECT_EQ(l.result, 0) << c.file;
    EXPECT_EQ(l.err, "") << c.file;
    EXPECT_TRUE(bytes_by_address(out) == want) << c.file;
  }
}

}  // namespace
