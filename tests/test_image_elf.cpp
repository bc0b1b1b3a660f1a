// The ELF reader, through parse_file as a run loads a file: the loadable
// segments at their physical addresses, and every header that does not fit
// the file refused with what is wrong and where.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
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

struct Segment {
  uint32_t type, vaddr, paddr, memsz;
  Bytes bytes;
};

void put(Bytes &b, size_t at, uint32_t v, int n) {
  if (b.size() < at + size_t(n)) b.resize(at + size_t(n));
  for (int i = 0; i < n; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A 32-bit little-endian ARM executable: header, program headers, then the
// segments' bytes one after another.
Bytes executable(const std::vector<Segment> &segs) {
  Bytes f = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  put(f, 16, 2, 2);   // e_type: executable
  put(f, 18, 40, 2);  // e_machine: ARM
  put(f, 28, 52, 4);  // e_phoff
  put(f, 42, 32, 2);  // e_phentsize
  put(f, 44, uint32_t(segs.size()), 2);
  put(f, 50, 0, 2);
  uint32_t off = 52 + 32 * uint32_t(segs.size());
  for (size_t i = 0; i < segs.size(); ++i) {
    const size_t ph = 52 + 32 * i;
    const Segment &s = segs[i];
    const uint32_t fields[] = {s.type, off, s.vaddr, s.paddr, uint32_t(s.bytes.size()), s.memsz};
    for (size_t k = 0; k < 6; ++k) put(f, ph + 4 * k, fields[k], 4);
    put(f, ph + 24, 0, 4);  // p_flags
    put(f, ph + 28, 0, 4);  // p_align
    off += uint32_t(s.bytes.size());
  }
  for (const Segment &s : segs) f.insert(f.end(), s.bytes.begin(), s.bytes.end());
  return f;
}

TEST(Elf, LoadableSegmentsLoadAtTheirPhysicalAddressesAndBadHeadersAreRefused) {
  const Bytes text = pattern(40, 1), data = pattern(12, 2);
  // Code in flash; initialised data that run in RAM but load after the code;
  // zeroed data without file bytes; a note, which is not loaded.
  const Bytes good = executable({{1, 0x08000000, 0x08000000, 40, text},
                                 {1, 0x20000000, 0x08000028, 16, data},
                                 {1, 0x20000010, 0x20000010, 64, {}},
                                 {4, 0, 0, 4, {1, 2, 3, 4}}});
  using Edit = std::function<void(Bytes &)>;
  const struct {
    const char *what;
    Edit edit;
    std::string err;  // empty: loads
  } cases[] = {
      {"a good executable", [](Bytes &) {}, ""},
      {"64-bit", [](Bytes &f) { f[4] = 2; }, "not a 32-bit ELF file"},
      {"big-endian", [](Bytes &f) { f[5] = 2; }, "not a little-endian ELF file"},
      {"for x86-64", [](Bytes &f) { put(f, 18, 62, 2); }, "not an ELF file for ARM"},
      {"an object file", [](Bytes &f) { put(f, 16, 1, 2); }, "not an executable ELF file"},
      {"cut inside its header", [](Bytes &f) { f.resize(40); }, "ELF header cut short"},
      {"program headers too small", [](Bytes &f) { put(f, 42, 16, 2); },
       "program headers too small"},
      {"program header table past the end", [](Bytes &f) { put(f, 28, 0xFFFFFFF0, 4); },
       "program header table runs past the end of the file"},
      {"cut inside the second segment", [](Bytes &f) { f.resize(f.size() - 4 - 6); },
       "program header 1: segment runs past the end of the file"},
      {"a segment past the top of the address space",
       [](Bytes &f) { put(f, 52 + 12, 0xFFFFFFF0, 4); },
       "program header 0: segment runs past the end of the address space"},
  };
  for (const auto &t : cases) {
    testsupport::TempDir dir;
    const std::string path = dir.file("fw.elf");
    Bytes file = good;
    t.edit(file);
    testsupport::write_file(path, std::string(file.begin(), file.end()));
    OwnedImage out;
    const auto l = testsupport::call_capturing([&] { return parse_file(path.c_str(), &out.img); });
    if (t.err.empty()) {
      EXPECT_EQ(l.result, 0) << t.what;
      EXPECT_EQ(l.err, "");
      EXPECT_EQ(out.chunks(), (std::vector<Chunk>{{0x08000000, cat(text, data)}}));
    } else {
      EXPECT_EQ(l.result, -1) << t.what;
      EXPECT_EQ(l.err_no, EINVAL) << t.what;
      EXPECT_EQ(l.err, path + ": " + t.err + "\n");
    }
  }
}

}  // namespace
