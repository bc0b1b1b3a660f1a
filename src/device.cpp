#include "device.h"

#include <cerrno>
#include <vector>

#include "image_layout.h"

namespace {

// Reads of the flash-size register before its value counts as unsure: a
// reply byte damaged on the line must not pass for another size.
constexpr int kSizeReads = 3;

// The flash-size register's value in KiB, read until two reads agree: 0
// when no two do or a read fails (*refused: the boot loader refused it).
// F2/F4 and L0 answer only a larger read from a fixed start.
uint32_t read_flash_kib(ld_session *s, const part_info *p, bool *refused) {
  const bool block = p->fsize_read == PART_FSIZE_BLOCK;
  const uint32_t from = block ? p->fsize_block : p->fsize_addr;
  const int len = block ? p->fsize_block_len : 2;
  std::vector<unsigned char> data(static_cast<size_t>(len));
  std::vector<uint32_t> values;
  for (int r = 0; r < kSizeReads; ++r) {
    if (ld_read_memory(s, from, data.data(), len) < 0) {
      *refused = errno == EINVAL;
      return 0;
    }
    const uint32_t kib = part_fsize_value(p, from, data.data(), len);
    for (uint32_t earlier : values)
      if (earlier == kib) return kib;
    values.push_back(kib);
  }
  return 0;
}

}  // namespace

int device_identify(ld_session *s, const part_catalog *parts, device_info *d) {
  // ld_getid cannot tell a failure from the identifier 0xFFFFFFFF by its
  // result; errno is 0 only after success.
  const unsigned int id = ld_getid(s);
  if (errno != 0) return -1;
  *d = device_info{};
  d->have_id = true;
  d->id = id;
  d->part = catalog_lookup(parts, id);
  d->flash_bytes = d->part ? part_flash_bytes(d->part, 0) : 0;
  return 0;
}

void device_read_size(ld_session *s, device_info *d) {
  if (!d->part || d->size_read) return;
  d->size_read = true;
  if (d->part->fsize_read == PART_FSIZE_NONE) return;
  bool refused = false;
  const uint32_t kib = read_flash_kib(s, d->part, &refused);
  // Where the boot loader may refuse the register, its refusal leaves the
  // table's size as a part without the register has it.
  d->size_refused = refused && d->part->fsize_read == PART_FSIZE_REFUSABLE;
  d->size_doubt = !d->size_refused && !part_size_allowed(d->part, kib);
  d->flash_bytes = part_flash_bytes(d->part, kib);
}

bool device_size_known(const device_info &d) {
  return d.part && d.size_read && !d.size_doubt && !d.size_refused &&
         d.part->fsize_read != PART_FSIZE_NONE;
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
