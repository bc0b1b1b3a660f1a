#include "device.h"

#include <cerrno>
#include <vector>

#include "image_layout.h"

namespace {

// The flash-size register's value in KiB, or 0 when the boot loader does not
// let it be read or the read fails. F2/F4 and L0 answer only a larger read
// from a fixed start.
uint32_t read_flash_kib(ld_session *s, const part_info *p) {
  if (p->fsize_read == PART_FSIZE_NONE) return 0;
  const bool block = p->fsize_read == PART_FSIZE_BLOCK;
  const uint32_t from = block ? p->fsize_block : p->fsize_addr;
  const int len = block ? p->fsize_block_len : 2;
  std::vector<unsigned char> data(static_cast<size_t>(len));
  if (ld_read_memory(s, from, data.data(), len) < 0) return 0;
  return part_fsize_value(p, from, data.data(), len);
}

}  // namespace

int device_identify(ld_session *s, device_info *d) {
  // ld_getid cannot tell a failure from the identifier 0xFFFFFFFF by its
  // result; errno is 0 only after success.
  const unsigned int id = ld_getid(s);
  if (errno != 0) return -1;
  *d = device_info{};
  d->have_id = true;
  d->id = id;
  d->part = part_lookup(id);
  d->flash_bytes = d->part ? part_flash_bytes(d->part, 0) : 0;
  return 0;
}

void device_read_size(ld_session *s, device_info *d) {
  if (!d->part || d->size_read) return;
  d->flash_bytes = part_flash_bytes(d->part, read_flash_kib(s, d->part));
  d->size_read = true;
}

bool device_layout_known(const device_info &d) {
  return d.part && d.part->layout && d.flash_bytes > 0;
}

int device_program_unit(const device_info &d) {
  if (!d.part) return d.have_id ? IMG_PROGRAM_UNIT_MAX : IMG_PROGRAM_UNIT;
  return d.part->program_unit > IMG_PROGRAM_UNIT ? d.part->program_unit : IMG_PROGRAM_UNIT;
}

unsigned char device_erase_cmd(const device_info &d) {
  return d.part ? d.part->erase_cmd : 0;
}
