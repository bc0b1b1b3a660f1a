// Parts files through their reader: every row it takes holds together (an
// ID it finds again, pages that end at the flash's end within the 32-bit
// address space, as many as the erase command numbers), a file it refuses
// leaves no row, and the listing of the table read back lists the same
// rows.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "parts_file.h"

namespace {

std::string rows_only(const std::string &listing) {
  std::string rows;
  for (size_t at = 0, end; at < listing.size(); at = end + 1) {
    end = listing.find('\n', at);
    if (listing[at] != '#') rows += listing.substr(at, end + 1 - at);
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  part_catalog read;
  const std::string text(reinterpret_cast<const char *>(data), size);
  if (parts_file_parse(text, "fuzz.parts", &read) != 0) {
    FUZZ_CHECK(read.rows.empty());
    return 0;
  }
  for (const auto &row : read.rows) {
    const part_info &p = row->info;
    FUZZ_CHECK(catalog_lookup(&read, p.pid) == &p && p.origin);
    const uint32_t bytes = part_flash_bytes(&p, 0);
    FUZZ_CHECK(uint64_t{p.flash_start} + bytes <= 0x100000000ull);
    if (!p.layout) continue;
    const int pages = part_page_count(&p, bytes);
    uint32_t addr = 0, len = 0;
    FUZZ_CHECK(pages > 0 && pages <= (p.erase_cmd == 0x43 ? 256 : 0xFFFF));
    FUZZ_CHECK(part_page_span(&p, pages - 1, &addr, &len) == 0);
    FUZZ_CHECK(uint64_t{addr} + len == uint64_t{p.flash_start} + bytes);
  }
  const std::string listing = parts_file_list(&read);
  part_catalog back;
  FUZZ_CHECK(parts_file_parse(listing, "listed.parts", &back) == 0);
  FUZZ_CHECK(rows_only(parts_file_list(&back)) == rows_only(listing));
  return 0;
}
