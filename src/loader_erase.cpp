// Erasing listed pages with Erase (0x43) or Extended Erase (0x44).
#include <cerrno>
#include <vector>

#include "loader.h"
#include "loader_internal.h"

namespace {

// The page list of an erase command as one block: 0x43 takes the count - 1
// and the page numbers as bytes, 0x44 as 16-bit values, most significant
// byte first. Returns false for a list the command cannot carry.
bool page_list_block(unsigned char cmd, const uint16_t *pages, int count, std::vector<char> *b) {
  const bool wide = cmd == LD_CMD_EXT_ERASE;
  if (!wide && cmd != LD_CMD_ERASE) return false;
  if (!pages || count < 1 || count > (wide ? LD_ERASE44_MAX : LD_ERASE43_MAX)) return false;
  const auto put = [&](unsigned v) {
    if (wide) b->push_back(static_cast<char>(v >> 8));
    b->push_back(static_cast<char>(v & 0xFF));
  };
  b->clear();
  put(static_cast<unsigned>(count - 1));
  for (int i = 0; i < count; ++i) {
    if (!wide && pages[i] > 0xFF) return false;
    put(pages[i]);
  }
  return true;
}

}  // namespace

int ld_erase_pages(ld_session *s, unsigned char cmd, const uint16_t *pages, int count,
                   int erase_ms) {
  std::vector<char> list;
  if (!page_list_block(cmd, pages, count, &list) || erase_ms < 0) {
    errno = EINVAL;
    return -1;
  }
  // The list's acknowledgement comes once its pages are erased.
  const ld_block block = {list.data(), static_cast<int>(list.size()),
                          ld_internal::byte_wait(s) + erase_ms};
  const ld_command command = {cmd, &block, 1, nullptr, 0, nullptr, nullptr};
  return ld_run_command(s, &command);
}
