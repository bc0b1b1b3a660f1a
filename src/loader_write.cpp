#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "loader.h"
#include "loader_internal.h"
#include "port.h"

namespace {

using namespace ld_internal;

void report_block(ld_session *s, const plan_fragment &f) {
  if (s->report) s->report(s->report_ctx, LD_EVENT_BLOCK, static_cast<long>(f.data.size()));
}

// Reads at most this often before a difference counts: the read carries no
// checksum, so a reply byte damaged on the line must not pass for flash that
// holds something else.
constexpr int kReads = 5;

// Reads the fragment's words back into *back until a read holds the
// fragment, or two reads in a row agree (the line damaged neither, as good
// as certain). Returns 1 when they hold the fragment, 0 when they agree on
// something else, -1 with errno when a read failed (EIO when no two reads
// agreed).
int read_back(ld_session *s, const plan_fragment &f, std::vector<unsigned char> *back) {
  const size_t n = f.data.size();
  std::vector<unsigned char> last;
  for (int r = 0; r < kReads; ++r) {
    back->assign(n, 0);
    if (ld_read_memory(s, f.addr, back->data(), static_cast<int>(n)) < 0) return -1;
    if (*back == f.data) return 1;
    if (*back == last) return 0;
    last = *back;
  }
  errno = EIO;
  return -1;
}

// After a lost or damaged answer to a data block the write may have been
// done: its words are read back before anything is written again, because a
// flash word can be programmed only once after an erase. Done when they
// hold the fragment, to be written again when still erased, failed (EIO)
// otherwise.
int settle_write(ld_session *s, void *ctx, bool) {
  const plan_fragment &f = *static_cast<const plan_fragment *>(ctx);
  std::vector<unsigned char> back;
  const int r = read_back(s, f, &back);
  if (r != 0) return r;
  if (back == std::vector<unsigned char>(f.data.size(), 0xFF)) return 0;
  errno = EIO;
  return -1;
}

int write_fragment(ld_session *s, const plan_fragment &f) {
  const int n = static_cast<int>(f.data.size());
  if (n < 1 || n > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  const uint32_t a = f.addr;
  const char address[4] = {static_cast<char>(a >> 24), static_cast<char>(a >> 16),
                           static_cast<char>(a >> 8), static_cast<char>(a)};
  std::array<char, LD_BLOCK_MAX> data;
  data[0] = static_cast<char>(n - 1);
  std::memcpy(data.data() + 1, f.data.data(), f.data.size());
  const ld_block blocks[2] = {{address, 4, 0}, {data.data(), n + 1, 0}};
  const ld_command cmd = {
      LD_CMD_WRITE, blocks, 2, nullptr, 0, settle_write, const_cast<plan_fragment *>(&f)};
  return ld_run_command(s, &cmd);
}

// The boot loader acknowledged a fragment, but answers that no block of ours
// accounts for came after it: a lost or damaged count byte may have let it
// end the data block early, program a few bytes or none, and take the rest
// of the fragment as command pairs. Once it is back at command level the
// fragment's words are read: they hold it, are still erased (written now),
// or hold something else (EIO).
int settle_doubtful(ld_session *s, const plan_fragment &f) {
  (void)drain_quiet(s, quiet_wait(s), byte_wait(s));
  const ld_reentry &re = s->reentry;
  if (re.reenter ? re.reenter(s, re.ctx) < 0 : realign(s) < 0) return -1;
  const int r = settle_write(s, const_cast<plan_fragment *>(&f), false);
  if (r < 0) return -1;
  return r > 0 ? 0 : write_fragment(s, f);
}

// After the last fragment no later write shows that the boot loader ended
// it early: a short command does. Get Version answered in line, nothing
// before it, shows the boot loader at command level; anything else puts
// the last fragment in doubt. Returns true then. A stop of the run leaves
// no doubt to settle: every block was acknowledged, and nothing more is
// sent (the caller finds the stop flag set).
bool last_in_doubt(ld_session *s) {
  if (!(s->flags & LD_WAITACK)) return false;
  const unsigned long before = s->facts.line_faults;
  if (ld_get_version(s, nullptr) < 0) return errno != EINTR;
  return s->facts.line_faults != before;
}

// Blocks sent without awaiting their answers whose answers are not yet read.
unsigned long unanswered(const ld_facts &f) {
  const unsigned long answers = f.unawaited_acks + f.unawaited_others;
  return f.unawaited_blocks > answers ? f.unawaited_blocks - answers : 0;
}

// Without acknowledgements awaited, a refused block goes unnoticed while the
// boot loader takes the bytes after it as command pairs. Once the writes are
// out, the answers that piled up are read: every block sent has exactly one,
// and every one must be an acknowledgement. The answers still missing when
// the writes began (the erase's, say) count too. Each answer is awaited at
// most budgets.wait_ms. Returns 0, or -1 with errno (EINVAL refused, EBUSY
// unanswered) and the numbers in facts.check_refused and check_missing.
int check_unawaited(ld_session *s, const ld_facts &before) {
  ld_facts &f = s->facts;
  if (port_drain(s->fh, s->stop) < 0) return -1;
  (void)discard_input(s);
  const unsigned long blocks = f.unawaited_blocks - before.unawaited_blocks + unanswered(before);
  auto answers = [&] {
    return f.unawaited_acks - before.unawaited_acks + f.unawaited_others - before.unawaited_others;
  };
  unsigned char b = 0;
  int r = 0;
  while (answers() < blocks && (r = await_byte(s, &b, byte_wait(s))) == 0)
    ++(b == LD_ACK ? f.unawaited_acks : f.unawaited_others);
  if (r < 0 && errno != EBUSY) return -1;
  (void)discard_input(s);
  const unsigned long refused = f.unawaited_others - before.unawaited_others;
  if (refused == 0 && answers() == blocks) return 0;
  f.check_refused = refused;
  f.check_missing = blocks > answers() ? blocks - answers() : 0;
  errno = refused > 0 || answers() > blocks ? EINVAL : EBUSY;
  return -1;
}

int write_all_fragments(ld_session *s, const write_plan *plan) {
  const auto &frags = plan->fragments;
  for (size_t i = 0; i < frags.size(); ++i) {
    report_block(s, frags[i]);
    const unsigned long before = s->facts.line_faults;
    if (write_fragment(s, frags[i]) < 0) return -1;
    // Answers left over from the fragment before come ahead of this one's.
    if (i > 0 && s->facts.line_faults != before && settle_doubtful(s, frags[i - 1]) < 0) return -1;
  }
  if (!frags.empty() && last_in_doubt(s) && settle_doubtful(s, frags.back()) < 0) return -1;
  return 0;
}

}  // namespace

int _ld_send_frag(ld_session *s, const char *data, int len, int offs) {
  if (!data || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  plan_fragment f;
  f.addr = static_cast<uint32_t>(offs);
  f.data.assign(data, data + len);
  return write_fragment(s, f);
}

int ld_write_plan(ld_session *s, const write_plan *plan) {
  if (!plan) {
    errno = EINVAL;
    return -1;
  }
  const ld_facts before = s->facts;
  s->facts.check_refused = s->facts.check_missing = 0;
  if (write_all_fragments(s, plan) < 0) return -1;
  if (!(s->flags & LD_WAITACK) && check_unawaited(s, before) < 0) return -1;
  errno = 0;
  return 0;
}

int ld_write_image(ld_session *s, image *img) {
  if (!img) {
    errno = EINVAL;
    return -1;
  }
  write_plan plan;
  if (img_plan(img, 0, IMG_PROGRAM_UNIT, &plan, nullptr, nullptr) < 0) return -1;
  return ld_write_plan(s, &plan);
}

namespace {

// Reads a fragment back. Returns 0 when it matches, 1 with *bad the first
// address that differs (two reads agree on it), -1 with errno when the read
// failed.
int compare_fragment(ld_session *s, const plan_fragment &f, uint32_t *bad) {
  std::vector<unsigned char> back;
  const int r = read_back(s, f, &back);
  if (r != 0) return r < 0 ? -1 : 0;
  for (size_t i = 0; i < back.size(); ++i) {
    if (back[i] != f.data[i]) {
      *bad = f.addr + static_cast<uint32_t>(i);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int ld_verify_plan(ld_session *s, const write_plan *plan, uint32_t *bad) {
  if (!plan || !bad) {
    errno = EINVAL;
    return -1;
  }
  for (const auto &f : plan->fragments) {
    report_block(s, f);
    const int r = compare_fragment(s, f, bad);
    if (r != 0) return r;
  }
  errno = 0;
  return 0;
}
