#include "compare.h"

#include <cstdio>
#include <string>
#include <vector>

#include "backup.h"
#include "erase.h"

namespace {

long image_bytes(const image *img) {
  long n = 0;
  for (int i = 0; i < img->chunks; ++i) n += img->img[i].len;
  return n;
}

// Compares one chunk block by block. Returns 0 when the module holds it, 1
// with *bad the first address that differs, -1 after a message.
int compare_chunk(ld_session *s, progress_display *shown, const image_chunk &c, uint32_t *bad) {
  const uint32_t base = static_cast<uint32_t>(c.offset);
  for (int at = 0; at < c.len; at += LD_FRAGMENT_MAX) {
    const int n = c.len - at < LD_FRAGMENT_MAX ? c.len - at : LD_FRAGMENT_MAX;
    std::vector<unsigned char> back(static_cast<size_t>(n));
    const uint32_t addr = base + static_cast<uint32_t>(at);
    // The Read Memory answer carries no checksum: only two reads that agree
    // decide that the module holds other bytes.
    if (backup_read_blocks(s, shown, addr, true, &back) < 0) return -1;
    for (int i = 0; i < n; ++i) {
      if (back[static_cast<size_t>(i)] == c.data[at + i]) continue;
      *bad = addr + static_cast<uint32_t>(i);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int compare_image(ld_session *s, const image *img, const device_info &d, progress_mode shown) {
  if (erase_check_fit(img, d) < 0) return -1;
  progress_display display;
  const std::string title = std::string("Comparing ") + img->fn;
  progress_start(&display, shown, "Comparing", title.c_str(), image_bytes(img));
  for (int i = 0; i < img->chunks; ++i) {
    uint32_t bad = 0;
    const int r = compare_chunk(s, &display, img->img[i], &bad);
    if (r < 0) return -1;
    if (r == 0) continue;
    progress_stop(&display);
    std::fprintf(stderr, "The module's flash differs from %s at 0x%08X\n", img->fn, bad);
    return 1;
  }
  progress_finish(&display);
  return 0;
}
