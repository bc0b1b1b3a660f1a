// What the run knows of the module, learnt once after the sync: its
// identifier, its row of the table of parts, and its flash size where the
// run needs it. Erase, backup and the write plan take it as their input.
#ifndef TARVION_DEVICE_H
#define TARVION_DEVICE_H

#include <cstdint>

#include "loader.h"
#include "parts_file.h"

struct device_info {
  bool have_id = false;  // Get ID was asked (not without acknowledgements)
  unsigned int id = 0;
  const part_info *part = nullptr;  // null: not in the table
  uint32_t flash_bytes = 0;         // 0: not known; else the table's largest until read
  bool size_read = false;           // flash_bytes asked of the module
  // The register's reads gave no size the part can have: flash_bytes is
  // the table's largest, which the module may not have.
  bool size_doubt = false;
  // The boot loader refused the register's read where it may: flash_bytes
  // is the table's largest, as for a part whose register is not read.
  bool size_refused = false;
};

// Reads the identifier (Get ID, until two replies agree: ld_getid_agreed)
// and looks its part up in parts (null: the table alone); the flash is the
// row's largest size until device_read_size. Returns 0, or -1 with errno
// from ld_getid_agreed (EBADMSG: no two replies agreed; nothing learnt
// then).
int device_identify(ld_session *s, const part_catalog *parts, device_info *d);

// Reads the flash-size register of a part known from the table, once (a
// part whose size was read keeps it), where the boot loader lets it be
// read: until two reads agree on its value, at most three reads, and only a
// size the part can have (part_size_allowed) is taken. Otherwise, when no
// two reads agree, a read fails, or the value is not allowed, the size is in
// doubt (size_doubt) and the table's size stands. A part whose register the
// boot loader does not let be read keeps the table's size, without doubt;
// so does one whose register it may refuse and did (size_refused). A
// refusal where the part's boot loader serves the register (its table row
// reads it directly or by block) counts against the identifier: Get ID is
// read again until two replies agree. Returns 0; -1 with errno EBADMSG when
// the identifier now differs, or as ld_getid_agreed (nothing may then be
// planned by *d).
[[nodiscard]] int device_read_size(ld_session *s, device_info *d);

// Whether flash_bytes is the module's own: its register read and believed.
bool device_size_known(const device_info &d);

// Whether the pages of the part's flash are known.
bool device_layout_known(const device_info &d);

// The bytes a write must be aligned and padded to: the part's flash word, 8
// at the least; a part that is not in the table gets the largest flash word
// of any part, which every part takes. Without the identifier (no Get ID
// without acknowledgements) 8.
int device_program_unit(const device_info &d);

// The erase command the part's boot loader takes, from the table: 0x43 or
// 0x44; 0 when the part is not known.
unsigned char device_erase_cmd(const device_info &d);

#endif
