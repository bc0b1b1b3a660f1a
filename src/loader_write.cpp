#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "loader.h"
#include "loader_internal.h"

namespace {

// The progress display: a title, then a dot per fragment, twenty to a line.
void progress_dot(int i, int flags) {
  if (flags & LD_PROGRESS) {
    if (i % LD_PROGRESS_DOTS == 0) std::fputs("\n\t", stderr);
    std::fputc('.', stderr);
  }
  std::fflush(stderr);
}

// After a lost or damaged answer to a data block the write may have been
// done: its words are read back before anything is written again, because a
// flash word can be programmed only once after an erase.
int settle_write(int fh, void *ctx, bool, int flags) {
  const plan_fragment &f = *static_cast<const plan_fragment *>(ctx);
  std::array<unsigned char, LD_FRAGMENT_MAX> back;
  const int n = static_cast<int>(f.data.size());
  if (ld_read_memory(fh, f.addr, back.data(), n, flags) < 0) return -1;
  if (std::memcmp(back.data(), f.data.data(), f.data.size()) == 0) return 1;
  for (int i = 0; i < n; ++i) {
    if (back[size_t(i)] != 0xFF) {
      errno = EIO;
      return -1;
    }
  }
  return 0;
}

int write_fragment(int fh, const plan_fragment &f, int flags) {
  const int n = static_cast<int>(f.data.size());
  if (n < 1 || n > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  const uint32_t a = f.addr;
  const char address[4] = {static_cast<char>(a >> 24), static_cast<char>(a >> 16),
                           static_cast<char>(a >> 8), static_cast<char>(a)};
  std::array<char, LD_BLOCK_MAX> data;
  data[0] = static_cast<char>(n - 1);
  std::memcpy(data.data() + 1, f.data.data(), f.data.size());
  const ld_block blocks[2] = {{address, 4, LD_WAIT_MS}, {data.data(), n + 1, LD_WAIT_MS}};
  const ld_command cmd = {
      LD_CMD_WRITE, blocks, 2, nullptr, 0, settle_write, const_cast<plan_fragment *>(&f)};
  return ld_run_command(fh, &cmd, flags);
}

}  // namespace

int _ld_send_frag(int fh, const char *data, int len, int offs, int flags) {
  if (!data || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  plan_fragment f;
  f.addr = static_cast<uint32_t>(offs);
  f.data.assign(data, data + len);
  return write_fragment(fh, f, flags);
}

int ld_write_plan(int fh, const write_plan *plan, const char *fn, int flags) {
  if (!plan) {
    errno = EINVAL;
    return -1;
  }
  if (flags & LD_PROGRESS) std::fprintf(stderr, "Flashing %s", fn ? fn : "");
  for (size_t i = 0; i < plan->fragments.size(); ++i) {
    progress_dot(static_cast<int>(i), flags);
    if (write_fragment(fh, plan->fragments[i], flags) < 0) {
      const int err = errno;
      std::fprintf(stderr, "Communication Error: %s\n", std::strerror(err));
      errno = err;
      return -1;
    }
  }
  if (flags & LD_PROGRESS) std::fputs("\n\tdone\n", stderr);
  errno = 0;
  return 0;
}

int ld_write_image(int fh, image *img, int flags) {
  if (!img) {
    errno = EINVAL;
    return -1;
  }
  write_plan plan;
  if (img_plan(img, 0, IMG_PROGRAM_UNIT, &plan, nullptr, nullptr) < 0) return -1;
  return ld_write_plan(fh, &plan, img->fn, flags);
}

namespace {

// Reads a fragment back. Returns 0 when it matches, 1 with *bad the first
// address that differs, -1 with errno when the read failed.
int compare_fragment(int fh, const plan_fragment &f, int flags, uint32_t *bad) {
  std::array<unsigned char, LD_FRAGMENT_MAX> back;
  const size_t n = f.data.size();
  if (ld_read_memory(fh, f.addr, back.data(), static_cast<int>(n), flags) < 0) return -1;
  for (size_t i = 0; i < n; ++i) {
    if (back[i] != f.data[i]) {
      *bad = f.addr + static_cast<uint32_t>(i);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int ld_verify_plan(int fh, const write_plan *plan, int flags, uint32_t *bad) {
  if (!plan || !bad) {
    errno = EINVAL;
    return -1;
  }
  if (flags & LD_PROGRESS) std::fputs("Verifying", stderr);
  for (size_t i = 0; i < plan->fragments.size(); ++i) {
    progress_dot(static_cast<int>(i), flags);
    int r = compare_fragment(fh, plan->fragments[i], flags, bad);
    // The read carries no checksum: a reply byte damaged on the line must
    // not fail a good flash, so a difference is read once more.
    if (r == 1) r = compare_fragment(fh, plan->fragments[i], flags, bad);
    if (r != 0) return r;
  }
  if (flags & LD_PROGRESS) std::fputs("\n\tdone\n", stderr);
  errno = 0;
  return 0;
}
