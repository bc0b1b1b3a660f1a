// The erase step of a run: what the flasher knows of the part decides
// whether the whole flash is erased or only the pages the image touches,
// and whether the image fits the part at all. Prints its own messages on
// standard error.
#ifndef TARVION_ERASE_H
#define TARVION_ERASE_H

#include <cstdint>

#include "image.h"
#include "parts.h"

// What the run knows of the module.
struct erase_module {
  bool have_id = false;
  unsigned int id = 0;
  const part_info *part = nullptr;  // null: not in the table
  uint32_t flash_bytes = 0;         // 0: not known
  bool size_read = false;           // flash_bytes asked of the module, not only the table's
  // A refused erase (EINVAL, EPERM) fails without "Can't erase device": the
  // caller lifts write protection and tries again.
  bool quiet_refusal = false;
};

// Reads the identifier (Get ID). Returns 0, or -1 after "Can't read device
// ID: <reason>" with errno from ld_getid.
int erase_read_id(int fh, int ldflags, unsigned int *id);

// Looks the part of id up and, when the boot loader lets its flash-size
// register be read, reads it (Read Memory); a read that fails leaves the
// table's size. Under LD_VERBOSE prints one line naming the part, its flash
// and its erase layout.
void erase_learn_part(int fh, unsigned int id, int ldflags, erase_module *m);

// Looks the part of id up in the table alone, sending nothing: its flash is
// the table's largest size until the erase needs the page list of the whole
// flash or of the image (erase_flash then reads the flash-size register as
// erase_learn_part does). Prints nothing.
void erase_know_part(unsigned int id, erase_module *m);

// Reads the flash-size register of a part known from the table, once (a
// part already learnt keeps its size). Prints nothing.
void erase_read_size(int fh, int ldflags, erase_module *m);

// The erase step. With image_only, the pages the image touches, page list by
// page list; the part must be known with its layout ("Unknown part %03X:
// --erase=image needs its page layout" otherwise). Without, the whole flash:
// the global or mass erase, or, on a part that refuses the mass erase (known
// from the table, or learnt through Get ID after the refusal), every page by
// list. Whenever the part is known, an image that reaches outside its flash
// is refused first, naming the first address outside. Under LD_VERBOSE the
// pages erased are listed as ranges. Returns 0, or -1 after a message, with
// errno: EFBIG (the image does not fit) or ENOENT (--erase=image on a part
// whose layout is not known), nothing erased then; otherwise as the erase
// left it (EPERM: the mass erase refused, the part not known).
int erase_flash(int fh, const image *img, int ldflags, bool image_only, erase_module *m);

#endif
