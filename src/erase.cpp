#include "erase.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"

namespace {

// The flash-size register's value in KiB, or 0 when the boot loader does not
// let it be read or the read fails. F2/F4 and L0 answer only a larger read
// from a fixed start.
uint32_t read_flash_kib(int fh, const part_info *p, int ldflags) {
  if (p->fsize_read == PART_FSIZE_NONE) return 0;
  const bool block = p->fsize_read == PART_FSIZE_BLOCK;
  const uint32_t from = block ? p->fsize_block : p->fsize_addr;
  const int len = block ? p->fsize_block_len : 2;
  std::vector<unsigned char> data(static_cast<size_t>(len));
  if (ld_read_memory(fh, from, data.data(), len, ldflags) < 0) return 0;
  return part_fsize_value(p, from, data.data(), len);
}

std::vector<part_extent> image_extents(const image *img) {
  std::vector<part_extent> extents;
  for (int i = 0; img && i < img->chunks; ++i)
    extents.push_back(
        {static_cast<uint32_t>(img->img[i].offset), static_cast<uint32_t>(img->img[i].len)});
  return extents;
}

// Whether the pages of the part's flash are known.
bool layout_known(const erase_module &m) {
  return m.part && m.part->layout && m.flash_bytes > 0;
}

// Says why the erase failed (a refusal only when the caller has not asked
// to hear of it itself); errno stays.
int cant_erase(const erase_module &m) {
  const int err = errno;
  if (m.quiet_refusal && (err == EINVAL || err == EPERM)) return -1;
  std::fprintf(stderr, "Can't erase device: %s\n", std::strerror(err));
  errno = err;
  return -1;
}

// The pages the image touches (all of them: every page of the flash). Refuses
// an image that reaches outside the flash. Returns 0, or -1 after a message.
int plan(const image *img, const erase_module &m, bool all, std::vector<uint16_t> *pages) {
  uint32_t outside = 0;
  if (part_plan_pages(m.part, m.flash_bytes, image_extents(img), pages, &outside) < 0) {
    std::fprintf(stderr,
                 "Image does not fit part %03X: address %08X is outside its flash (%08X-%08X)\n",
                 m.id, outside, m.part->flash_start, m.part->flash_start + m.flash_bytes - 1);
    errno = EFBIG;
    return -1;
  }
  if (all) {
    pages->clear();
    const int count = part_page_count(m.part, m.flash_bytes);
    for (int i = 0; i < count; ++i) pages->push_back(static_cast<uint16_t>(i));
  }
  return 0;
}

// Erases the pages with the erase command cmd, list by list, each list's
// acknowledgement awaited as long as its pages may take.
int erase_pages(int fh, int ldflags, const erase_module &m, unsigned char cmd,
                const std::vector<uint16_t> &pages) {
  if (ldflags & LD_VERBOSE)
    std::fprintf(stderr, "Erasing pages %s\n", part_ranges_text(pages).c_str());
  for (const auto &list : part_erase_batches(cmd, pages)) {
    if (ld_erase_pages(fh, cmd, list.data(), static_cast<int>(list.size()),
                       part_erase_wait_ms(m.part, list), ldflags) < 0)
      return cant_erase(m);
  }
  return 0;
}

// The whole flash, page by page.
int erase_every_page(int fh, const image *img, int ldflags, const erase_module &m,
                     unsigned char cmd) {
  std::vector<uint16_t> pages;
  if (plan(img, m, true, &pages) < 0) return -1;
  return erase_pages(fh, ldflags, m, cmd, pages);
}

// The mass erase was refused: a part known from its identifier is erased
// page by page instead.
int after_refused_mass_erase(int fh, const image *img, int ldflags, erase_module *m) {
  if (!m->have_id) {
    unsigned int id = 0;
    if (erase_read_id(fh, ldflags, &id) < 0) return -1;
    if (ldflags & LD_VERBOSE) std::fprintf(stderr, "Device has ID %08X\n", id);
    erase_learn_part(fh, id, ldflags, m);
  }
  erase_read_size(fh, ldflags, m);
  if (!layout_known(*m)) {
    errno = EPERM;
    return cant_erase(*m);
  }
  // The boot loader has just taken the extended erase command, whatever the
  // table expects.
  return erase_every_page(fh, img, ldflags, *m, LD_CMD_EXT_ERASE);
}

}  // namespace

int erase_read_id(int fh, int ldflags, unsigned int *id) {
  // ld_getid cannot tell a failure from the identifier 0xFFFFFFFF by its
  // result; errno is 0 only after success.
  *id = ld_getid(fh, ldflags);
  if (errno == 0) return 0;
  std::fprintf(stderr, "Can't read device ID: %s\n", std::strerror(errno));
  return -1;
}

void erase_learn_part(int fh, unsigned int id, int ldflags, erase_module *m) {
  m->have_id = true;
  m->id = id;
  m->part = part_lookup(id);
  if (!m->part) {
    if (ldflags & LD_VERBOSE) std::fprintf(stderr, "Part %03X is not in the table of parts\n", id);
    return;
  }
  m->flash_bytes = part_flash_bytes(m->part, read_flash_kib(fh, m->part, ldflags));
  m->size_read = true;
  if (ldflags & LD_VERBOSE)
    std::fprintf(stderr, "Part %s\n", part_describe(m->part, m->flash_bytes).c_str());
}

// A page list or a read of the whole flash goes by the module's own flash
// size where it can be read: a smaller part of the line has fewer pages than
// the table's largest.
void erase_read_size(int fh, int ldflags, erase_module *m) {
  if (!m->part || m->size_read) return;
  m->flash_bytes = part_flash_bytes(m->part, read_flash_kib(fh, m->part, ldflags));
  m->size_read = true;
}

void erase_know_part(unsigned int id, erase_module *m) {
  m->have_id = true;
  m->id = id;
  m->part = part_lookup(id);
  m->flash_bytes = m->part ? part_flash_bytes(m->part, 0) : 0;
  m->size_read = false;
}

int erase_flash(int fh, const image *img, int ldflags, bool image_only, erase_module *m) {
  if (image_only || (m->part && m->part->mass_erase_refused)) erase_read_size(fh, ldflags, m);
  std::vector<uint16_t> pages;
  if (layout_known(*m) && plan(img, *m, false, &pages) < 0) return -1;
  if (image_only) {
    if (!layout_known(*m)) {
      std::fprintf(stderr, "Unknown part %03X: --erase=image needs its page layout\n", m->id);
      errno = ENOENT;
      return -1;
    }
    return erase_pages(fh, ldflags, *m, m->part->erase_cmd, pages);
  }
  if (layout_known(*m) && m->part->mass_erase_refused)
    return erase_every_page(fh, img, ldflags, *m, m->part->erase_cmd);
  if (ld_erase_all(fh, ldflags) == 0) return 0;
  if (errno != EPERM) return cant_erase(*m);
  return after_refused_mass_erase(fh, img, ldflags, m);
}
