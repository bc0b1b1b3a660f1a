// The image's write plan: the Write Memory fragments that put an image into
// flash as the boot loader wants them. Every fragment starts and ends on a
// multiple of the program unit (the flash word of parts with error-correcting
// flash, which leave a shorter or misaligned write unprogrammed), holds at
// most 256 bytes, and no address is written twice: image runs that share a
// flash word go into one fragment, and the bytes the image does not set
// inside it are 0xFF (erased flash).
#ifndef TARVION_IMAGE_LAYOUT_H
#define TARVION_IMAGE_LAYOUT_H

#include <cstdint>
#include <vector>

#include "image.h"

constexpr uint32_t IMG_FLASH_BASE = 0x08000000;  // where every module's flash begins
constexpr int IMG_PROGRAM_UNIT = 8;              // the common flash word
constexpr int IMG_PROGRAM_UNIT_MAX = 32;         // the largest flash word of any part
constexpr int IMG_FRAGMENT_MAX = 256;            // data bytes of one Write Memory

// One Write Memory: its address and bytes.
struct plan_fragment {
  uint32_t addr;
  std::vector<unsigned char> data;
};

struct write_plan {
  std::vector<plan_fragment> fragments;  // in ascending address order
  uint32_t lowest = 0;                   // the image's lowest byte (its vector table)
};

// Why an image cannot be planned (img_plan's result -1, errno EINVAL).
enum plan_fault {
  PLAN_OK = 0,
  PLAN_BELOW_FLASH,  // a byte lies below the flash base
  PLAN_CONFLICT,     // two records set one address to different values
  PLAN_PAST_END,     // a run passes the end of the 32-bit address space
  PLAN_BAD_UNIT,     // the program unit is no power of two from 1 to 256
};

// Builds the plan for img: chunks in any order, overlaps holding the same
// values merged. unit is the program unit (a power of two, 1 to 256);
// flash_base the lowest address a byte may have. Returns 0 with errno 0, or
// -1 with errno EINVAL, *fault telling why and *where the first address at
// fault (both may be null); the plan is then empty. An image without bytes
// gives an empty plan. The image's read cursor is not used.
int img_plan(const image *img, uint32_t flash_base, int unit, write_plan *plan, plan_fault *fault,
             uint32_t *where);

// Prints why the plan failed, naming the address, on standard error.
void img_plan_report(plan_fault fault, uint32_t where, uint32_t flash_base);

#endif
