#include "option_bytes.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

constexpr uint32_t kBootSelBit = 1u << 24;  // nBOOT_SEL
constexpr uint32_t kSwBoot0Bit = 1u << 26;  // nSWBOOT0

// Reads at most this often before the area counts as unreadable.
constexpr int kReads = 5;

bool family_is(const part_info *p, std::initializer_list<const char *> names) {
  if (!p) return false;
  for (const char *n : names)
    if (std::strcmp(p->family, n) == 0) return true;
  return false;
}

uint32_t bit_of(ob_family f) {
  return f == OB_FAMILY_BOOT_SEL ? kBootSelBit : f == OB_FAMILY_SWBOOT0 ? kSwBoot0Bit : 0;
}

// While the option write runs nothing may reset the module: the session's
// re-entry through the reset line is set aside until the write is done, and
// a signal is held (ld_stop_held) so that the run's release waits too.
class NoReentry {
 public:
  explicit NoReentry(ld_session *s) : s_(s), saved_(s->reentry) { s->reentry = ld_reentry{}; }
  ~NoReentry() { s_->reentry = saved_; }
  NoReentry(const NoReentry &) = delete;
  NoReentry &operator=(const NoReentry &) = delete;

 private:
  ld_session *s_;
  ld_reentry saved_;
};

struct WriteCheck {
  const ob_area *where;
  const std::vector<unsigned char> *before, *area;
};

// The data block's answer was lost: what the area holds decides.
int settle_options(ld_session *s, void *ctx, bool) {
  const auto *w = static_cast<const WriteCheck *>(ctx);
  std::vector<unsigned char> back;
  if (ob_read(s, *w->where, w->where->bytes, &back) < 0) return -1;
  if (back == *w->area) return 1;
  if (back == *w->before) return 0;
  errno = EIO;
  return -1;
}

}  // namespace

ob_family ob_family_of(const part_info *p) {
  if (family_is(p, {"G0", "C0"})) return OB_FAMILY_BOOT_SEL;
  if (family_is(p, {"G4", "L4", "L5", "U5", "WB", "WL"})) return OB_FAMILY_SWBOOT0;
  if (family_is(p, {"F1", "F2", "F3", "F4", "F7", "H7"})) return OB_FAMILY_PIN;
  return OB_FAMILY_UNKNOWN;
}

// L4+ (0x470, 0x471) keeps its options at 0x1FF00000; the area at
// 0x1FFF7800 is something else there.
ob_area ob_area_of(const part_info *p) {
  if (family_is(p, {"G0", "C0"})) return {0x1FFF7800, 128};
  if (family_is(p, {"G4"})) return {0x1FFF7800, 48};
  if (p && (p->pid == 0x470 || p->pid == 0x471)) return {0x1FF00000, 40};
  if (family_is(p, {"L4"})) return {0x1FFF7800, 40};
  return {0, 0};
}

bool ob_area_known(const part_info *p) {
  return ob_area_of(p).bytes > 0;
}

const char *ob_bit_name(ob_family f) {
  return f == OB_FAMILY_BOOT_SEL ? "nBOOT_SEL" : f == OB_FAMILY_SWBOOT0 ? "nSWBOOT0" : "";
}

int ob_bit_value(ob_family f, uint32_t word) {
  return (word & bit_of(f)) ? 1 : 0;
}

bool ob_pin_ignored(ob_family f, uint32_t word) {
  if (f == OB_FAMILY_BOOT_SEL) return (word & kBootSelBit) != 0;
  if (f == OB_FAMILY_SWBOOT0) return (word & kSwBoot0Bit) == 0;
  return false;
}

uint32_t ob_pin_counting(ob_family f, uint32_t word) {
  if (f == OB_FAMILY_BOOT_SEL) return word & ~kBootSelBit;
  if (f == OB_FAMILY_SWBOOT0) return word | kSwBoot0Bit;
  return word;
}

int ob_rdp_level(uint32_t word) {
  const uint32_t rdp = word & 0xFF;
  return rdp == 0xAA ? 0 : rdp == 0xCC ? 2 : 1;
}

uint32_t ob_value(const std::vector<unsigned char> &area, int at) {
  const auto i = static_cast<size_t>(at);
  return static_cast<uint32_t>(area[i]) | static_cast<uint32_t>(area[i + 1]) << 8 |
         static_cast<uint32_t>(area[i + 2]) << 16 | static_cast<uint32_t>(area[i + 3]) << 24;
}

int ob_bad_pair(const std::vector<unsigned char> &area) {
  for (int i = 0; 8 * i + 8 <= static_cast<int>(area.size()); ++i)
    if (ob_value(area, 8 * i) != ~ob_value(area, 8 * i + 4)) return i;
  return -1;
}

std::vector<unsigned char> ob_with_word(const std::vector<unsigned char> &area, uint32_t word) {
  std::vector<unsigned char> out = area;
  for (int i = 0; i < 4 && out.size() >= 8; ++i) {
    out[static_cast<size_t>(i)] = static_cast<unsigned char>(word >> (8 * i));
    out[static_cast<size_t>(4 + i)] = static_cast<unsigned char>(~word >> (8 * i));
  }
  return out;
}

int ob_read(ld_session *s, const ob_area &a, int len, std::vector<unsigned char> *out) {
  if (len <= 0 || len > a.bytes) {
    errno = EINVAL;
    return -1;
  }
  out->assign(static_cast<size_t>(len), 0);
  const int r = ld_read_agreed(s, a.base, out->data(), len, kReads);
  return r == 0 ? 0 : -1;
}

int ob_write(ld_session *s, const ob_area &a, const std::vector<unsigned char> &before,
             const std::vector<unsigned char> &area) {
  const size_t bytes = static_cast<size_t>(a.bytes);
  if (a.bytes <= 0 || area.size() != bytes || before.size() != bytes) {
    errno = EINVAL;
    return -1;
  }
  const char address[4] = {static_cast<char>(a.base >> 24), static_cast<char>(a.base >> 16),
                           static_cast<char>(a.base >> 8), static_cast<char>(a.base)};
  std::string data(1, static_cast<char>(bytes - 1));
  data.append(area.begin(), area.end());
  const ld_block blocks[2] = {{address, 4, 0}, {data.data(), static_cast<int>(data.size()), 0}};
  WriteCheck check = {&a, &before, &area};
  const ld_command cmd = {LD_CMD_WRITE, blocks, 2, nullptr, 0, settle_options, &check};
  if (s->stop && *s->stop) {
    errno = EINTR;
    return -1;
  }
  // Write Memory needs its acknowledgements read: the settle above reads.
  const int flags = s->flags;
  s->flags |= LD_WAITACK;
  NoReentry guard(s);
  ld_stop_held held(s);
  const int r = ld_run_command(s, &cmd);
  const int err = errno;
  s->flags = flags;
  errno = err;
  return r;
}
