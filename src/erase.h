// The erase step of a run: what the flasher knows of the part decides
// whether the whole flash is erased or only the pages the image touches,
// which erase command goes out, and whether the image fits the part at all.
// Prints its own messages on standard error.
#ifndef TARVION_ERASE_H
#define TARVION_ERASE_H

#include "device.h"
#include "image.h"
#include "loader.h"

// How the erase step runs.
struct erase_request {
  bool image_only = false;  // --erase=image: only the pages the image touches
  // A refused erase (EINVAL, EPERM) fails without "Can't erase device": the
  // caller lifts write protection and tries again.
  bool quiet_refusal = false;
};

// Whether the image lies inside the flash of the part d describes: 0 when it
// does, or when the part or its size is not known; -1 after "Image does not
// fit part 0x410: address 0x08020000 is outside its flash
// (0x08000000-0x0801FFFF)" (the lowest address outside), errno EFBIG.
int erase_check_fit(const image *img, const device_info &d);

// The erase step. With image_only, the pages the image touches, page list by
// page list; the part must be known with its layout ("Unknown part 0x410:
// --erase=image needs its page layout" otherwise). On a part whose layout
// follows an option bit (or its flash size), the bit is read before any
// page list and the list planned by the layout it makes; a list it cannot
// settle (the bit not read, its place not known, its complement wrong, the
// size not read, bank 2's page numbers not known) is refused after a
// message naming the part (ENOENT). Without image_only, the whole flash:
// the mass erase by the part's own erase command (0x44 directly for a part
// the table marks so; 0x43 first, then 0x44, for the others), or, on a part
// that refuses the mass erase (known from the table, or learnt from the
// refusal), every page by list. Whenever the part is known, an image that
// reaches outside its flash is refused first, naming the first address
// outside. Under LD_VERBOSE the layout read and the pages erased are listed.
// Returns 0, or -1 after a message, with errno: EFBIG (the image does not
// fit) or ENOENT (a page list on a part whose layout is not known or not
// settled), nothing erased then; otherwise as the erase left it (EPERM: the
// mass erase refused, the part not known).
int erase_flash(ld_session *s, const image *img, const device_info &d, const erase_request &req);

#endif
