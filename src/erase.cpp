#include "erase.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "part_layouts.h"
#include "util.h"

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
int cant_erase(const ld_session *s, const erase_request &req) {
  const int err = errno;
  if (req.quiet_refusal && (err == EINVAL || err == EPERM)) return -1;
  if (err == ETIME)
    std::fprintf(stderr, "Can't erase device: no answer to the mass erase within %d s\n",
                 (ld_long_wait_ms(s) + 999) / 1000);
  else
    std::fprintf(stderr, "Can't erase device: %s\n", error_text(err));
  errno = err;
  return -1;
}

// The part's flash as the run plans it: its row with the layout its option
// bit (or its flash size) makes, or the table's.
struct laid_out {
  part_info row;
  part_layout layout;
};

constexpr int kBitReads = 3;

// Refuses a page list that the part's layout cannot settle. Returns -1
// after the message, errno ENOENT: nothing was erased.
int unsettled(const device_info &d, bool image_only, const std::string &why) {
  std::fprintf(stderr, "Can't plan the pages of the %s: %s; nothing was erased%s\n",
               part_name(d.part).c_str(), why.c_str(), image_only ? ", --erase=all works" : "");
  errno = ENOENT;
  return -1;
}

// An image that reaches outside the flash, whose spans are listed. Returns
// -1, errno EFBIG.
int say_outside(const device_info &d, uint32_t at, const std::string &spans) {
  std::fprintf(stderr, "Image does not fit part %s: address %s is outside its flash (%s)\n",
               part_id_text(d.id).c_str(), part_address_text(at).c_str(), spans.c_str());
  errno = EFBIG;
  return -1;
}

laid_out table_layout(const device_info &d) {
  return {*d.part, {d.part->layout, d.part->runs, 0, 0}};
}

// "Layout by DBANK = 0: 128 pages of 4 KiB", under --verbose.
void say_layout(const ld_session *s, const device_info &d, const part_layout &l,
                const std::string &by) {
  if (!(s->flags & LD_VERBOSE)) return;
  uint32_t numbered = 0;
  const part_info row = part_with_layout(*d.part, l, d.flash_bytes, &numbered);
  const auto spans = part_layout_spans(*d.part, l, d.flash_bytes);
  std::string text = part_layout_text(&row, numbered);
  if (spans.size() > 1)
    text += ", bank 2 at " + part_address_text(spans[1].start) + " (page numbers not known)";
  std::fprintf(stderr, "Layout by %s: %s\n", by.c_str(), text.c_str());
}

// The layout of a part whose layout follows an option bit or its flash
// size: the bit read until two reads agree, checked against its complement.
// Returns 0, or -1 after a message (errno ENOENT).
int lay_out(ld_session *s, const device_info &d, bool image_only, laid_out *out) {
  *out = table_layout(d);
  if (!part_layout_varies(d.part)) return 0;
  if (!device_size_known(d))
    return unsettled(d, image_only, "its layout follows its flash size, which could not be read");
  const part_layout_rule *r = part_layout_rule_for(d.part, d.flash_bytes);
  if (!r) return 0;
  const std::string bit_name = std::string("its option bit ") + r->bit_name;
  if (r->place == PART_BIT_UNKNOWN)
    return unsettled(
        d, image_only,
        "its layout follows " + bit_name + ", which the boot loader shows nowhere known");
  if (r->place == PART_BIT_NONE) {
    out->layout = r->set;
    say_layout(s, d, out->layout, "flash size");
    return 0;
  }
  std::vector<unsigned char> bytes(r->place == PART_BIT_HALF ? 4 : 8);
  if (ld_read_agreed(s, r->addr, bytes.data(), static_cast<int>(bytes.size()), kBitReads) != 0)
    return unsettled(d, image_only, bit_name + " could not be read (" + std::strerror(errno) + ")");
  const int bit = part_layout_bit(*r, bytes);
  if (bit < 0)
    return unsettled(
        d, image_only,
        bit_name + " at " + part_address_text(r->addr) + " does not match its complement");
  out->layout = bit ? r->set : r->clear;
  say_layout(s, d, out->layout, std::string(r->bit_name) + " = " + std::to_string(bit));
  return 0;
}

// The pages the image touches (all of them: every page of the flash), by
// the layout. Refuses an image that reaches outside the flash, and a list
// into a bank whose page numbers are not known. Returns 0, or -1 after a
// message.
int plan(const image *img, const device_info &d, const laid_out &lay, bool all, bool image_only,
         std::vector<uint16_t> *pages) {
  uint32_t at = 0;
  if (part_layout_plan(lay.row, lay.layout, d.flash_bytes, image_extents(img), all, pages, &at) ==
      0)
    return 0;
  if (errno == ENOTSUP)
    return unsettled(d, image_only,
                     "the list reaches into bank 2 (" + part_address_text(at) +
                         "), whose page numbers in the erase command are not known");
  std::string spans;
  for (const part_flash_span &sp : part_layout_spans(lay.row, lay.layout, d.flash_bytes))
    spans += (spans.empty() ? "" : ", ") + part_address_text(sp.start) + "-" +
             part_address_text(sp.end - 1);
  return say_outside(d, at, spans);
}

// Erases n pages with the erase command cmd in one list, its
// acknowledgement awaited as long as they may take. Returns 0, or -1 with
// errno as ld_erase_pages.
int erase_list(ld_session *s, const part_info *p, unsigned char cmd, const uint16_t *pages,
               size_t n) {
  const std::vector<uint16_t> list(pages, pages + n);
  return ld_erase_pages(s, cmd, list.data(), static_cast<int>(n), part_erase_ms(p, list));
}

// Erases a list of pages that may reach past the end of the flash, whose
// pages the module refuses: they are the highest, so a refused part of the
// list is halved and its lower half tried, until the end is found in a few
// commands and every page below it is erased. Returns the number of the
// list's pages below the end, or -1 with errno as ld_erase_pages.
long erase_below_end(ld_session *s, const part_info *p, unsigned char cmd,
                     const std::vector<uint16_t> &list) {
  if (erase_list(s, p, cmd, list.data(), list.size()) == 0) return static_cast<long>(list.size());
  if (errno != EINVAL) return -1;
  size_t lo = 0, hi = list.size();  // [0, lo) erased; the end lies in [lo, hi)
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    if (erase_list(s, p, cmd, list.data() + lo, mid - lo) == 0)
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
int erase_pages(ld_session *s, const part_info *p, const erase_request &req, unsigned char cmd,
                const std::vector<uint16_t> &pages, bool to_end = false) {
  if (s->flags & LD_VERBOSE)
    std::fprintf(stderr, "Erasing pages %s\n", part_ranges_text(pages).c_str());
  size_t erased = 0;
  for (const auto &list : part_erase_batches(cmd, pages)) {
    if (!to_end) {
      if (erase_list(s, p, cmd, list.data(), list.size()) < 0) return cant_erase(s, req);
      continue;
    }
    const long below = erase_below_end(s, p, cmd, list);
    if (below < 0) return cant_erase(s, req);
    erased += static_cast<size_t>(below);
    if (erased == 0) {
      errno = EINVAL;
      return cant_erase(s, req);
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
  laid_out lay;
  std::vector<uint16_t> pages;
  if (lay_out(s, d, false, &lay) < 0 || plan(img, d, lay, true, false, &pages) < 0) return -1;
  return erase_pages(s, &lay.row, req, cmd, pages, !device_size_known(d));
}

// The mass erase was refused: a part known from its identifier is erased
// page by page instead, by the module's own flash size.
int after_refused_mass_erase(ld_session *s, const image *img, const device_info &known,
                             const erase_request &req) {
  device_info d = known;
  if (device_read_size(s, &d) < 0) return report_failure("Can't read device ID");
  if (!device_layout_known(d)) {
    errno = EPERM;
    return cant_erase(s, req);
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
  return say_outside(d, static_cast<uint32_t>(outside),
                     part_address_text(static_cast<uint32_t>(start)) + "-" +
                         part_address_text(static_cast<uint32_t>(end - 1)));
}

int erase_flash(ld_session *s, const image *img, const device_info &d, const erase_request &req) {
  if (req.image_only) {
    if (!device_layout_known(d)) {
      std::fprintf(stderr, "Unknown part %s: --erase=image needs its page layout\n",
                   part_id_text(d.id).c_str());
      errno = ENOENT;
      return -1;
    }
    laid_out lay;
    std::vector<uint16_t> pages;
    if (lay_out(s, d, true, &lay) < 0 || plan(img, d, lay, false, true, &pages) < 0) return -1;
    return erase_pages(s, &lay.row, req, d.part->erase_cmd, pages);
  }
  // The whole flash needs no layout: the image is checked against the
  // table's.
  if (device_layout_known(d) && erase_check_fit(img, d) < 0) return -1;
  if (device_layout_known(d) && d.part->mass_erase_refused)
    return erase_every_page(s, img, d, req, d.part->erase_cmd);
  // A part the table marks for the extended erase gets it directly; the
  // others try the global erase first.
  const int r = device_erase_cmd(d) == LD_CMD_EXT_ERASE ? ld_erase_extended(s) : ld_erase_all(s);
  if (r == 0) return 0;
  if (errno != EPERM || !d.have_id) return cant_erase(s, req);
  return after_refused_mass_erase(s, img, d, req);
}
