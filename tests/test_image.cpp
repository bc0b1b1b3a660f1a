// The image: loading a file as Intel HEX or raw binary, by its content or
// as the format named, the fragment reader and releasing the image.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "image.h"
#include "image_format.h"
#include "images.h"
#include "testsupport.h"

namespace {

using testsupport::Bytes;
using testsupport::OwnedImage;
using testsupport::pattern;
using Fragment = testsupport::Chunk;
using Loaded = testsupport::Called;

Loaded load(const std::string &path, OwnedImage &out) {
  return testsupport::call_capturing([&] { return parse_file(path.c_str(), &out.img); });
}

// Drains the image the way the boot-loader writer does.
std::vector<Fragment> drain(image &img, int buflen) {
  std::vector<Fragment> out;
  std::vector<char> buf(size_t(buflen) + 1, '\x5a');
  for (;;) {
    int offset = 0x12345678;
    const int n = img_get_chunk(&img, &offset, buf.data(), buflen);
    if (n <= 0) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(offset, 0x12345678) << "offset written for an exhausted image";
      break;
    }
    EXPECT_LE(n, buflen);
    EXPECT_EQ(buf[size_t(buflen)], '\x5a') << "written beyond buflen";
    out.push_back({uint32_t(offset), Bytes(buf.begin(), buf.begin() + n)});
  }
  return out;
}

struct ChunkSpec {
  uint32_t offset;
  size_t len;
};

// An image built chunk by chunk, the way a loader leaves it; each chunk's
// bytes are seeded with its index.
void build(image &img, const std::vector<ChunkSpec> &specs) {
  std::vector<testsupport::Chunk> chunks;
  for (const ChunkSpec &s : specs)
    chunks.push_back({s.offset, pattern(s.len, unsigned(chunks.size()))});
  testsupport::build_image(img, nullptr, chunks);
}

Bytes slice(const Bytes &b, size_t from, size_t n) {
  return Bytes(b.begin() + from, b.begin() + from + n);
}

TEST(Image, FragmentsNeverSpanChunksAndSkipEmptyOnes) {
  const Bytes c0_300 = pattern(300, 0), c1_16 = pattern(16, 1), c1_100 = pattern(100, 1);
  const Bytes c4_5 = pattern(5, 4);  // build() seeds each chunk with its index
  const struct {
    const char *what;
    std::vector<ChunkSpec> chunks;
    int buflen;
    std::vector<Fragment> fragments;
  } cases[] = {
      {"300 and 16 bytes",
       {{0x08000000, 300}, {0x08004000, 16}},
       256,
       {{0x08000000, slice(c0_300, 0, 256)},
        {0x08000100, slice(c0_300, 256, 44)},
        {0x08004000, c1_16}}},
      {"an empty first chunk is passed over",
       {{0, 0}, {0x08004000, 100}},
       256,
       {{0x08004000, c1_100}}},
      {"empty chunks in the middle and at the end",
       {{0x100, 0}, {0x200, 100}, {0x300, 0}, {0x400, 0}, {0x500, 5}, {0x600, 0}},
       64,
       {{0x200, slice(c1_100, 0, 64)}, {0x240, slice(c1_100, 64, 36)}, {0x500, c4_5}}},
      {"buflen beyond the chunk's rest", {{0x20, 100}}, 1000, {{0x20, pattern(100, 0)}}},
      {"addresses wrap at the top",
       {{0xFFFFFFF0, 32}},
       16,
       {{0xFFFFFFF0, slice(pattern(32, 0), 0, 16)}, {0, slice(pattern(32, 0), 16, 16)}}},
      {"no chunks", {}, 256, {}},
      {"only empty chunks", {{0, 0}, {0, 0}}, 256, {}},
  };
  for (const auto &t : cases) {
    OwnedImage out;
    build(out.img, t.chunks);
    EXPECT_EQ(drain(out.img, t.buflen), t.fragments) << t.what;
    EXPECT_EQ(out.img.cchunk, out.img.chunks) << t.what;
    EXPECT_EQ(out.img.cpos, 0) << t.what;
    EXPECT_EQ(drain(out.img, t.buflen), std::vector<Fragment>{}) << t.what << ": no rewind";
  }
}

TEST(Image, NullOffsetStillHandsOutTheFragment) {
  OwnedImage out;
  build(out.img, {{0x100, 10}, {0x200, 4}});
  char buf[8];
  EXPECT_EQ(img_get_chunk(&out.img, nullptr, buf, 8), 8);
  EXPECT_EQ(Bytes(buf, buf + 8), slice(pattern(10, 0), 0, 8));
  EXPECT_EQ(drain(out.img, 8),
            (std::vector<Fragment>{{0x108, slice(pattern(10, 0), 8, 2)}, {0x200, pattern(4, 1)}}));
}

TEST(Image, NonPositiveBuflenIsRefusedWithoutMovingTheCursor) {
  OwnedImage out;
  build(out.img, {{0x100, 10}});
  char buf[4];
  for (int buflen : {0, -1}) {
    errno = 0;
    EXPECT_EQ(img_get_chunk(&out.img, nullptr, buf, buflen), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(out.img.cchunk, 0);
  EXPECT_EQ(out.img.cpos, 0);
}

TEST(Image, ReleasingAClearedRecordDoesNothing) {
  image img{};
  img_free(&img);
  EXPECT_EQ(img.img, nullptr);
}

TEST(Image, MissingFileLeavesTheRecordUntouched) {
  image img;
  std::memset(&img, 0xA5, sizeof img);
  image before;
  std::memcpy(&before, &img, sizeof img);
  testsupport::TempDir dir;
  const Loaded l =
      testsupport::call_capturing([&] { return parse_file(dir.file("absent.hex").c_str(), &img); });
  EXPECT_LT(l.result, 0);
  EXPECT_EQ(l.err_no, ENOENT);
  EXPECT_EQ(l.err, "");
  EXPECT_EQ(std::memcmp(&img, &before, sizeof img), 0);
}

TEST(Image, EmptyFileLoadsAsIntelHexImageWithoutData) {
  testsupport::TempDir dir;
  const std::string path = dir.file("empty.hex");
  testsupport::write_file(path, "");
  OwnedImage out;
  const Loaded l = load(path, out);
  EXPECT_EQ(l.err, "");
  EXPECT_EQ(l.result, 0);
  EXPECT_STREQ(out.img.fn, path.c_str());
  ASSERT_EQ(out.img.chunks, 1);
  EXPECT_EQ(out.img.img[0].offset, 0);
  EXPECT_EQ(out.img.img[0].len, 0);
  EXPECT_EQ(drain(out.img, 256), std::vector<Fragment>{});
}

TEST(Image, FileWhoseFirstLineIsNotIntelHexLoadsAsRawBinaryAtZero) {
  Bytes nul_first = pattern(600, 0);
  nul_first[0] = 0;
  const std::string text = "This is not a HEX file\r\n:00000001FF\n";
  const struct {
    const char *what;
    Bytes content;
    std::string err;
  } cases[] = {
      // Content that is no Intel HEX gets no Intel HEX message.
      {"600 bytes starting with NUL", nul_first, ""},
      {"text", Bytes(text.begin(), text.end()), ""},
      {"record mark after a blank",
       Bytes{' ', ':', '0', '0', '0', '0', '0', '0', '0', '1', 'F', 'F'}, ""},
  };
  for (const auto &t : cases) {
    testsupport::TempDir dir;
    const std::string path = dir.file("fw.bin");
    testsupport::write_file(path, std::string(t.content.begin(), t.content.end()));
    OwnedImage out;
    const Loaded l = load(path, out);
    EXPECT_EQ(l.result, int(t.content.size())) << t.what;
    EXPECT_EQ(l.err, t.err) << t.what;
    EXPECT_STREQ(out.img.fn, path.c_str()) << t.what;
    ASSERT_EQ(out.img.chunks, 1) << t.what;
    std::vector<Fragment> want;
    for (size_t pos = 0; pos < t.content.size(); pos += 256) {
      const size_t n = std::min<size_t>(256, t.content.size() - pos);
      want.push_back({uint32_t(pos), slice(t.content, pos, n)});
    }
    EXPECT_EQ(drain(out.img, 256), want) << t.what;
  }
}

TEST(Image, AFormatNamedReadsTheFileAsThatFormatAlone) {
  const std::string hex = ":0400000001020304F2\n:00000001FF\n";
  const std::string srec = "S1060000010203F3\nS9030000FC\n";
  const struct {
    const char *what;
    std::string content;
    const char *format;
    int result;  // the file size: raw binary at 0
    std::string err;
  } cases[] = {
      {"HEX text as binary", hex, "binary", int(hex.size()), ""},
      {"S-record text as binary", srec, "binary", int(srec.size()), ""},
      {"HEX text as HEX", hex, "ihex", 0, ""},
      {"S-record text as S-record", srec, "srec", 0, ""},
      {"S-record text as HEX", srec, "ihex", -1,
       "No ihex-line\nError parsing line 1 'S1060000010203F3'\n"},
      {"HEX text as S-record", hex, "srec", -1,
       "No srec-line\nError parsing line 1 ':0400000001020304F2'\n"},
      {"HEX text as ELF", hex, "elf", -1, "@: ELF header cut short\n"},
      {"the content decides", hex, "auto", 0, ""},
  };
  for (const auto &t : cases) {
    testsupport::TempDir dir;
    const std::string path = dir.file("fw");
    testsupport::write_file(path, t.content);
    img_format fmt = IMG_FORMAT_AUTO;
    ASSERT_EQ(img_format_parse(t.format, &fmt), 0) << t.what;
    OwnedImage out;
    const Loaded l =
        testsupport::call_capturing([&] { return parse_file_as(path.c_str(), fmt, &out.img); });
    EXPECT_EQ(l.result, t.result) << t.what;
    std::string err = t.err;
    if (err[0] == '@') err.replace(0, 1, path);
    EXPECT_EQ(l.err, err) << t.what;
    if (t.result > 0) {
      ASSERT_EQ(out.img.chunks, 1) << t.what;
      EXPECT_EQ(std::string(reinterpret_cast<char *>(out.img.img[0].data), size_t(t.result)),
                t.content);
    }
  }
  img_format fmt = IMG_FORMAT_ELF;
  EXPECT_EQ(img_format_parse("hex", &fmt), -1);
  EXPECT_EQ(fmt, IMG_FORMAT_ELF);
}

TEST(Image, MalformedFirstLineThatBeginsWithARecordMarkFailsWithoutRawFallBack) {
  const struct {
    const char *content;
    std::string err;
  } cases[] = {
      {":00000001FE\n", "Checksum-error 255\nError parsing line 1 ':00000001FE'\n"},
      {":0100000408F3\n:00000001FF\n",
       "Bad extended linear address record\nError parsing line 1 ':0100000408F3'\n"},
      {":0400000001020304\n",
       "Line too short for 4 Bytes\nError parsing line 1 ':0400000001020304'\n"},
      {":\n", "Line too short\nError parsing line 1 ':'\n"},
  };
  for (const auto &t : cases) {
    testsupport::TempDir dir;
    const std::string path = dir.file("fw.hex");
    testsupport::write_file(path, t.content);
    OwnedImage out;
    const Loaded l = load(path, out);
    EXPECT_EQ(l.result, -1) << t.content;
    EXPECT_EQ(l.err_no, EINVAL) << t.content;
    EXPECT_EQ(l.err, t.err);
    EXPECT_STREQ(out.img.fn, path.c_str());
  }
}

TEST(Image, MalformedLineAfterTheFirstFailsWithoutRawFallBack) {
  testsupport::TempDir dir;
  const std::string path = dir.file("fw.hex");
  testsupport::write_file(path, ":020000040800F2\n:0400000001020304F2\n:04001000FFFFFFFF\n");
  OwnedImage out;
  const Loaded l = load(path, out);
  EXPECT_EQ(l.result, -3);
  EXPECT_EQ(l.err_no, EINVAL) << "the caller's message must not show a stale error";
  EXPECT_EQ(l.err, "Line too short for 4 Bytes\nError parsing line 3 ':04001000FFFFFFFF'\n");
  EXPECT_STREQ(out.img.fn, path.c_str());
  ASSERT_EQ(out.img.chunks, 1);
  EXPECT_EQ(uint32_t(out.img.img[0].offset), 0x08000000u);
  EXPECT_EQ(out.img.img[0].len, 4);
}

TEST(Image, RawLoaderReadsFromTheFirstByteWhereverTheDescriptorStands) {
  testsupport::TempDir dir;
  const std::string path = dir.file("fw.bin");
  const Bytes content = pattern(70000, 3);
  testsupport::write_file(path, std::string(content.begin(), content.end()));
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 12345, SEEK_SET), 12345);
  OwnedImage out;
  EXPECT_EQ(parse_file_bin(fd, &out.img), 70000);
  close(fd);
  ASSERT_EQ(out.img.chunks, 1);
  EXPECT_EQ(out.img.img[0].offset, 0);
  EXPECT_EQ(Bytes(out.img.img[0].data, out.img.img[0].data + out.img.img[0].len), content);
}

TEST(Image, FailedLoadGivesMinusOneWithTheCauseInsteadOfAnEmptyImage) {
  testsupport::TempDir dir;
  const std::string huge = dir.file("huge.bin");
  const int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t(3) << 30), 0);  // sparse: 3 GiB cost no disk space
  close(fd);
  const std::string over = dir.file("over16mib.bin");
  const int fd2 = open(over.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd2, 0);
  ASSERT_EQ(ftruncate(fd2, off_t(IMG_RAW_MAX) + 1), 0);
  close(fd2);
  const struct {
    std::string path;
    int err_no;
  } cases[] = {
      {dir.path(), EISDIR},
      {huge, EFBIG},
      {over, EFBIG},  // no module has 16 MiB of flash
      {"/dev/zero", EINVAL},
      {"/sys/devices/system/cpu/possible", EIO},  // says 4096 bytes, holds a few
      {"/proc/self/status", ENODATA},             // says 0 bytes, holds many
  };
  for (const auto &c : cases) {
    if (access(c.path.c_str(), R_OK) != 0) continue;
    OwnedImage out;
    const Loaded l = load(c.path, out);
    EXPECT_EQ(l.result, -1) << c.path;
    EXPECT_EQ(l.err_no, c.err_no) << c.path;
    EXPECT_EQ(l.err, "") << "taken for raw binary without a word";
    EXPECT_EQ(drain(out.img, 256), std::vector<Fragment>{}) << c.path;
  }
}

}  // namespace
