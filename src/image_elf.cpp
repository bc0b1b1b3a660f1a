#include "image_elf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "image_ihex.h"

namespace {

// The few fields the reader needs, at their offsets in the 32-bit layout.
// The file is read byte by byte in little-endian order, so the host's own
// byte order and structure packing play no part.
constexpr unsigned kHeaderSize = 52;
constexpr unsigned kClass32 = 1, kLittleEndian = 1, kExecutable = 2, kArm = 40;
constexpr unsigned kProgramHeaderSize = 32;
constexpr uint32_t kLoad = 1;
constexpr size_t kPiece = 65536;

uint32_t le16(const unsigned char *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8;
}
uint32_t le32(const unsigned char *p) {
  return le16(p) | le16(p + 2) << 16;
}

struct Elf {
  int fh;
  const char *fn;
  uint64_t size;  // of the file
};

int malformed(const Elf &elf, const char *what, long index = -1) {
  if (index >= 0) {
    std::fprintf(stderr, "%s: program header %ld: %s\n", elf.fn, index, what);
  } else {
    std::fprintf(stderr, "%s: %s\n", elf.fn, what);
  }
  errno = EINVAL;
  return -1;
}

// Reads len bytes at off; a file that ends before them was cut short while
// it was read.
int read_at(const Elf &elf, uint64_t off, unsigned char *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t r = ::pread(elf.fh, buf + done, len - done, static_cast<off_t>(off + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return 0;
}

// The identification and header fields that make the file one this reader
// takes; the program header table's place in *phoff, *phentsize, *phnum.
int check_header(const Elf &elf, uint32_t *phoff, uint32_t *phentsize, uint32_t *phnum) {
  unsigned char h[kHeaderSize];
  if (elf.size < kHeaderSize) return malformed(elf, "ELF header cut short");
  if (read_at(elf, 0, h, sizeof h) < 0) return -1;
  if (h[4] != kClass32) return malformed(elf, "not a 32-bit ELF file");
  if (h[5] != kLittleEndian) return malformed(elf, "not a little-endian ELF file");
  if (le16(h + 18) != kArm) return malformed(elf, "not an ELF file for ARM");
  if (le16(h + 16) != kExecutable) return malformed(elf, "not an executable ELF file");
  *phoff = le32(h + 28);
  *phentsize = le16(h + 42);
  *phnum = le16(h + 44);
  if (*phnum == 0) return 0;
  if (*phentsize < kProgramHeaderSize) return malformed(elf, "program headers too small");
  if (uint64_t{*phoff} + uint64_t{*phentsize} * *phnum > elf.size)
    return malformed(elf, "program header table runs past the end of the file");
  return 0;
}

// Copies a segment's file bytes into the image at its load address, a
// piece at a time.
int load_segment(const Elf &elf, image *img, uint32_t paddr, uint32_t off, uint32_t len) {
  std::vector<unsigned char> piece(len < kPiece ? len : kPiece);
  for (uint32_t done = 0; done < len;) {
    const size_t n = len - done < kPiece ? len - done : kPiece;
    if (read_at(elf, uint64_t{off} + done, piece.data(), n) < 0) return -1;
    if (img_put(img, paddr + done, piece.data(), n) < 0) return -1;
    done += static_cast<uint32_t>(n);
  }
  return 0;
}

int load_program_header(const Elf &elf, image *img, uint64_t at, long index) {
  unsigned char ph[kProgramHeaderSize];
  if (read_at(elf, at, ph, sizeof ph) < 0) return -1;
  const uint32_t offset = le32(ph + 4), paddr = le32(ph + 12), filesz = le32(ph + 16);
  if (le32(ph) != kLoad || filesz == 0) return 0;
  if (uint64_t{offset} + filesz > elf.size)
    return malformed(elf, "segment runs past the end of the file", index);
  if (uint64_t{paddr} + filesz > 0x100000000ull)
    return malformed(elf, "segment runs past the end of the address space", index);
  return load_segment(elf, img, paddr, offset, filesz);
}

}  // namespace

bool elf_magic(const unsigned char *head, unsigned long len) {
  return len >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

int parse_file_elf(int fh, image *img, const char *fn) {
  *img = image{};
  if (!add_chunk(img)) return -1;
  struct stat st;
  if (::fstat(fh, &st) < 0) return -1;
  const Elf elf{fh, fn, static_cast<uint64_t>(st.st_size)};
  uint32_t phoff = 0, phentsize = 0, phnum = 0;
  if (check_header(elf, &phoff, &phentsize, &phnum) < 0) return -1;
  for (uint32_t i = 0; i < phnum; ++i) {
    if (load_program_header(elf, img, uint64_t{phoff} + uint64_t{i} * phentsize, long(i)) < 0)
      return -1;
  }
  return 0;
}
