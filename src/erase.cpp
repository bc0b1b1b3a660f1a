#include "erase.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<part_extent> image_extents(const image *img) {
  std::vector<part_extent> extents;
  for (int i = 0; img && i < img->chunks; ++i)
    extents.push_back(
        {static_cast<uint32_t>(img->img[i].offset), static_cast<uint32_t>(img->img[i].len)});
  return extents;
}

// Says why the erase failed (a refusal only when the caller has not asked
// to hear of it itself); errno stays.
int cant_erase(const erase_request &req) {
  const int err = errno;
  if (req.quiet_refusal && (err == EINVAL || err == EPERM)) return -1;
  std::fprintf(stderr, "Can't erase device: %s\n", std::strerror(err));
  errno = err;
  return -1;
}

// The pages the image touches (all of them: every page of the flash). Refuses
// an image that reaches outside the flash. Returns 0, or -1 after a message.
int plan(const image *img, const device_info &d, bool all, std::vector<uint16_t> *pages) {
  if (erase_check_fit(img, d) < 0) return -1;
  if (part_plan_pages(d.part, d.flash_bytes, image_extents(img), pages, nullptr) < 0)
    return cant_erase({});
  if (all) {
    pages->clear();
    const int count = part_page_count(d.part, d.flash_bytes);
    for (int i = 0; i < count; ++i) pages->push_back(static_cast<uint16_t>(i));
  }
  return 0;
}

// Erases n pages with the erase command cmd in one list, its
// acknowledgement awaited as long as they may take. Returns 0, or -1 with
// errno as ld_erase_pages.
int erase_list(ld_session *s, const device_info &d, unsigned char cmd, const uint16_t *pages,
               size_t n) {
  const std::vector<uint16_t> list(pages, pages + n);
  return ld_erase_pages(s, cmd, list.data(), static_cast<int>(n), part_erase_ms(d.part, list));
}

// Erases a list of pages that may reach past the end of the flash, whose
// pages the module refuses: they are the highest, so a refused part of the
// list is halved and its lower half tried, until the end is found in a few
// commands and every page below it is erased. Returns the number of the
// list's pages below the end, or -1 with errno as ld_erase_pages.
long erase_below_end(ld_session *s, const device_info &d, unsigned char cmd,
                     const std::vector<uint16_t> &list) {
  if (erase_list(s, d, cmd, list.data(), list.size()) == 0) return static_cast<long>(list.size());
  if (errno != EINVAL) return -1;
  size_t lo = 0, hi = list.size();  // [0, lo) erased; the end lies in [lo, hi)
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    if (erase_list(s, d, cmd, list.data() + lo, mid - lo) == 0)
      lo = mid;
    else if (errno == EINVAL)
      hi = mid;
    else
      return -1;
  }
  return static_cast<long>(lo);
}

// Erases the pages with the erase command cmd, list by list. With
// to_end, the flash may end before the last pages (its size is not the
// module's own): pages past the end are left refused, and the erase
// succeeds unless the first page is refused too.
int erase_pages(ld_session *s, const device_info &d, const erase_request &req, unsigned char cmd,
                const std::vector<uint16_t> &pages, bool to_end = false) {
  if (s->flags & LD_VERBOSE)
    std::fprintf(stderr, "Erasing pages %s\n", part_ranges_text(pages).c_str());
  size_t erased = 0;
  for (const auto &list : part_erase_batches(cmd, pages)) {
    if (!to_end) {
      if (erase_list(s, d, cmd, list.data(), list.size()) < 0) return cant_erase(req);
      continue;
    }
    const long below = erase_below_end(s, d, cmd, list);
    if (below < 0) return cant_erase(req);
    erased += static_cast<size_t>(below);
    if (erased == 0) {
      errno = EINVAL;
      return cant_erase(req);
    }
    if (static_cast<size_t>(below) == list.size()) continue;
    if (s->flags & LD_VERBOSE)
      std::fprintf(
          stderr, "Pages %s refused: past the end of the flash\n",
          part_ranges_text({pages.begin() + static_cast<long>(erased), pages.end()}).c_str());
    break;
  }
  return 0;
}

// The whole flash, page by page; up to its end where its size is the
// table's, not the module's own.
int erase_every_page(ld_session *s, const image *img, const device_info &d,
                     const erase_request &req, unsigned char cmd) {
  std::vector<uint16_t> pages;
  if (plan(img, d, true, &pages) < 0) return -1;
  return erase_pages(s, d, req, cmd, pages, !device_size_known(d));
}

// The mass erase was refused: a part known from its identifier is erased
// page by page instead, by the module's own flash size.
int after_refused_mass_erase(ld_session *s, const image *img, const device_info &known,
                             const erase_request &req) {
  device_info d = known;
  device_read_size(s, &d);
  if (!device_layout_known(d)) {
    errno = EPERM;
    return cant_erase(req);
  }
  // The boot loader has just taken the extended erase command, whatever the
  // table expects.
  return erase_every_page(s, img, d, req, LD_CMD_EXT_ERASE);
}

}  // namespace

int erase_check_fit(const image *img, const device_info &d) {
  if (!d.part || d.flash_bytes == 0) return 0;
  const uint64_t start = d.part->flash_start, end = start + d.flash_bytes;
  uint64_t outside = UINT64_MAX;
  for (const part_extent &x : image_extents(img)) {
    if (x.len == 0) continue;
    if (x.addr < start || x.addr >= end) outside = std::min<uint64_t>(outside, x.addr);
    if (x.addr < end && x.addr + uint64_t{x.len} > end) outside = std::min(outside, end);
  }
  if (outside == UINT64_MAX) return 0;
  std::fprintf(stderr,
               "Image does not fit part %s: address 0x%08X is outside its flash "
               "(0x%08X-0x%08X)\n",
               part_id_text(d.id).c_str(), static_cast<unsigned>(outside),
               static_cast<unsigned>(start), static_cast<unsigned>(end - 1));
  errno = EFBIG;
  return -1;
}

int erase_flash(ld_session *s, const image *img, const device_info &d, const erase_request &req) {
  std::vector<uint16_t> pages;
  if (device_layout_known(d) && plan(img, d, false, &pages) < 0) return -1;
  if (req.image_only) {
    if (!device_layout_known(d)) {
      std::fprintf(stderr, "Unknown part %s: --erase=image needs its page layout\n",
                   part_id_text(d.id).c_str());
      errno = ENOENT;
      return -1;
    }
    return erase_pages(s, d, req, d.part->erase_cmd, pages);
  }
  if (device_layout_known(d) && d.part->mass_erase_refused)
    return erase_every_page(s, img, d, req, d.part->erase_cmd);
  // A part the table marks for the extended erase gets it directly; the
  // others try the global erase first.
  const int r = device_erase_cmd(d) == LD_CMD_EXT_ERASE ? ld_erase_extended(s) : ld_erase_all(s);
  if (r == 0) return 0;
  if (errno != EPERM || !d.have_id) return cant_erase(req);
  return after_refused_mass_erase(s, img, d, req);
}
