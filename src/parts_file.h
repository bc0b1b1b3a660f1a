// Parts files: rows that add product IDs to the table of parts, or take the
// place of the table's row of an ID, read before the port is opened; and the
// table printed in the same syntax (--list-parts). A run holds the table it
// uses, the built-in rows and a file's, in a part_catalog and looks the
// module's part up there. Nothing here talks to the module.
//
// One row per line; # starts a comment; fields are separated by blanks:
//   ID NAME LAYOUT UNIT ERASE [SIZE-REGISTER]
//   0x4F0  "Custom board"  32x2K  8  0x44
// ID in hex (up to 0xFFF); NAME a word or a text in double quotes, its first
// word the family; LAYOUT the erase pages from 0x08000000 as runs COUNTxSIZE
// (bytes, or K), comma-separated, or - where not known; UNIT 4, 8, 16 or 32;
// ERASE 0x43, 0x44 or 0x44-pages (no mass erase); SIZE-REGISTER the address
// of the 16-bit flash-size register in KiB, read alone (a refusal leaves
// the row's size), or ADDR@FROM+LEN, read within LEN bytes from FROM (a
// refusal puts the size in doubt, as for the table's own such rows).
#ifndef TARVION_PARTS_FILE_H
#define TARVION_PARTS_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "parts.h"

// A row read from a parts file: its part_info and what that points into.
struct parts_file_row {
  std::string family, line, origin;
  std::vector<part_run> runs;
  part_info info{};
};

// The parts a run knows: the table's own rows and the rows of a parts file
// (each in a place of its own, which its part_info points into).
struct part_catalog {
  std::vector<std::unique_ptr<parts_file_row>> rows;  // in file order; one per ID
};

// The row of id: the parts file's, else the table's; null when neither has
// one (also above 0xFFF). c null: the table alone.
const part_info *catalog_lookup(const part_catalog *c, uint32_t id);

// One row per ID: the table's in its order, a file's row in the place of the
// one it replaces, then the IDs the file adds, in its order.
std::vector<const part_info *> catalog_rows(const part_catalog *c);

// Reads the parts file at path into c, which holds no rows yet. Returns 0;
// or -1 after a message on standard error: "path:N: ..." for a line that is
// malformed, holds an unknown field value or repeats an ID (errno EINVAL,
// c left empty), or "Can't read parts file path: ..." for a file that
// cannot be opened or read, is no regular file (EINVAL) or holds more than
// 16 MiB (EFBIG).
[[nodiscard]] int parts_file_read(const char *path, part_catalog *c);

// parts_file_read on text already read; name stands for the file in the
// messages.
[[nodiscard]] int parts_file_parse(const std::string &text, const std::string &name,
                                   part_catalog *c);

// The catalog in the syntax above: a header comment, then one line per ID
// (catalog_rows), the columns aligned. A row whose layout follows an option
// bit or the flash size gives its layout as shipped, after a comment that
// says so; a row from a file follows a comment naming its line.
std::string parts_file_list(const part_catalog *c);

#endif
