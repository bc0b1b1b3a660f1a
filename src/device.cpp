#include "device.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "image_layout.h"

namespace {

// Reads of the flash-size register before its value counts as unsure: a
// reply byte damaged on the line must not pass for another size.
constexpr int kSizeReads = 3;

// One read of the flash-size register (ctx: the part): its value in KiB,
// as four bytes. F2/F4 and L0 answer only a larger read from a fixed start.
int size_reply(ld_session *s, void *ctx, std::vector<unsigned char> *out) {
  const auto *p = static_cast<const part_info *>(ctx);
  const bool block = p->fsize_read == PART_FSIZE_BLOCK;
  const uint32_t from = block ? p->fsize_block : p->fsize_addr;
  const int len = block ? p->fsize_block_len : 2;
  std::vector<unsigned char> data(static_cast<size_t>(len));
  if (ld_read_memory(s, from, data.data(), len) < 0) return -1;
  const uint32_t kib = part_fsize_value(p, from, data.data(), len);
  out->assign(reinterpret_cast<const unsigned char *>(&kib),
              reinterpret_cast<const unsigned char *>(&kib) + sizeof kib);
  return 0;
}

// The flash-size register's value in KiB, read until two reads agree: 0
// when no two do or a read fails (*refused: the boot loader refused it).
uint32_t read_flash_kib(ld_session *s, const part_info *p, bool *refused) {
  std::vector<unsigned char> value;
  const int r =
      ld_read_until_agree(s, kSizeReads, size_reply, const_cast<part_info *>(p), nullptr, &value);
  *refused = r < 0 && errno == EINVAL;
  uint32_t kib = 0;
  if (r == 0) std::memcpy(&kib, value.data(), sizeof kib);
  return kib;
}

// Whether the part's boot loader is known to let its flash-size register be
// read: a refusal then says the module is another part.
bool register_served(const part_info *p) {
  return p->fsize_read == PART_FSIZE_DIRECT || p->fsize_read == PART_FSIZE_BLOCK;
}

}  // namespace

int device_identify(ld_session *s, const part_catalog *parts, device_info *d) {
  unsigned int id = 0;
  if (ld_getid_agreed(s, &id) < 0) return -1;
  *d = device_info{};
  d->have_id = true;
  d->id = id;
  d->part = catalog_lookup(parts, id);
  d->flash_bytes = d->part ? part_flash_bytes(d->part, 0) : 0;
  return 0;
}

int device_read_size(ld_session *s, device_info *d) {
  if (!d->part || d->size_read) return 0;
  d->size_read = true;
  if (d->part->fsize_read == PART_FSIZE_NONE) return 0;
  bool refused = false;
  const uint32_t kib = read_flash_kib(s, d->part, &refused);
  // Identifiers that agreed twice may still be wrong: two reads can meet
  // the same damage. The register refused where the part's boot loader
  // serves it says the module is another part; its identifier is read
  // again, and one that differs now leaves nothing known to plan by.
  unsigned int id = d->id;
  if (refused && register_served(d->part) && ld_getid_agreed(s, &id) < 0) return -1;
  if (id != d->id) {
    errno = EBADMSG;
    return -1;
  }
  // Where the boot loader may refuse the register, its refusal leaves the
  // table's size as a part without the register has it.
  d->size_refused = refused && d->part->fsize_read == PART_FSIZE_REFUSABLE;
  d->size_doubt = !d->size_refused && !part_size_allowed(d->part, kib);
  d->flash_bytes = part_flash_bytes(d->part, kib);
  return 0;
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
