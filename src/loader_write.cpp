#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "loader_internal.h"
#include "progress.h"

namespace {

// The bytes of the plan, which the progress display counts.
long plan_bytes(const write_plan *plan) {
  long n = 0;
  for (const auto &f : plan->fragments) n += static_cast<long>(f.data.size());
  return n;
}

// Reads at most this often before a difference counts: the read carries no
// checksum, so a reply byte damaged on the line must not pass for flash that
// holds something else.
constexpr int kReads = 5;

// How long the line must stay quiet after answers out of line: answers to
// bytes of ours that the boot loader took as command pairs follow at once,
// but a USB adapter may hold them back for up to 16 ms.
constexpr int kQuietMs = 50;

// Reads the fragment's words back into *back until a read holds the
// fragment, or two reads in a row agree (the line damaged neither, as good
// as certain). Returns 1 when they hold the fragment, 0 when they agree on
// something else, -1 with errno when a read failed (EIO when no two reads
// agreed).
int read_back(int fh, const plan_fragment &f, int flags, std::vector<unsigned char> *back) {
  const size_t n = f.data.size();
  std::vector<unsigned char> last;
  for (int r = 0; r < kReads; ++r) {
    back->assign(n, 0);
    if (ld_read_memory(fh, f.addr, back->data(), static_cast<int>(n), flags) < 0) return -1;
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
int settle_write(int fh, void *ctx, bool, int flags) {
  const plan_fragment &f = *static_cast<const plan_fragment *>(ctx);
  std::vector<unsigned char> back;
  const int r = read_back(fh, f, flags, &back);
  if (r != 0) return r;
  if (back == std::vector<unsigned char>(f.data.size(), 0xFF)) return 0;
  errno = EIO;
  return -1;
}

int write_fragment(int fh, const plan_fragment &f, int flags) {
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
  const ld_block blocks[2] = {{address, 4, LD_WAIT_MS}, {data.data(), n + 1, LD_WAIT_MS}};
  const ld_command cmd = {
      LD_CMD_WRITE, blocks, 2, nullptr, 0, settle_write, const_cast<plan_fragment *>(&f)};
  return ld_run_command(fh, &cmd, flags);
}

// The boot loader acknowledged a fragment, but answers that no block of ours
// accounts for came after it: a lost or damaged count byte may have let it
// end the data block early, program a few bytes or none, and take the rest
// of the fragment as command pairs. Once it is back at command level the
// fragment's words are read: they hold it, are still erased (written now),
// or hold something else (EIO).
int settle_doubtful(int fh, const plan_fragment &f, int flags) {
  ld_internal::drain_quiet(fh, kQuietMs, LD_WAIT_MS);
  const ld_reentry &re = ld_internal::reentry;
  if (re.reenter ? re.reenter(fh, re.ctx, flags) < 0 : ld_internal::realign(fh, flags) < 0)
    return -1;
  const int r = settle_write(fh, const_cast<plan_fragment *>(&f), false, flags);
  if (r < 0) return -1;
  return r > 0 ? 0 : write_fragment(fh, f, flags);
}

// After the last fragment no later write shows that the boot loader ended
// it early: a short command does. Get Version answered in line, nothing
// before it, shows the boot loader at command level; anything else puts
// the last fragment in doubt. Returns true then.
bool last_in_doubt(int fh, int flags) {
  if (!(flags & LD_WAITACK)) return false;
  const unsigned long before = ld_internal::irregularities;
  return ld_get_version(fh, nullptr, flags) < 0 || ld_internal::irregularities != before;
}

// Blocks sent without awaiting their answers whose answers are not yet read.
unsigned long unanswered(const ld_internal::Unawaited &u) {
  const unsigned long answers = u.acks + u.others;
  return u.blocks > answers ? u.blocks - answers : 0;
}

// Without acknowledgements awaited, a refused block goes unnoticed while the
// boot loader takes the bytes after it as command pairs. Once the writes are
// out, the answers that piled up are read: every block sent has exactly one,
// and every one must be an acknowledgement. The answers still missing when
// the writes began (the erase's, say) count too. Each answer is awaited at
// most LD_WAIT_MS. Returns 0, or -1 with errno (EINVAL refused, EBUSY
// unanswered) after one line that says the flash must be written again.
int check_unawaited(int fh, const ld_internal::Unawaited &before, int flags) {
  using ld_internal::unawaited;
  if (ld_internal::drain_output(fh) < 0) return -1;
  (void)ld_internal::discard_input(fh);
  const unsigned long blocks = unawaited.blocks - before.blocks + unanswered(before);
  auto answers = [&] { return unawaited.acks - before.acks + unawaited.others - before.others; };
  unsigned char b = 0;
  int r = 0;
  while (answers() < blocks && (r = ld_internal::await_byte(fh, &b, LD_WAIT_MS)) == 0)
    ++(b == LD_ACK ? unawaited.acks : unawaited.others);
  if (r < 0 && errno != EBUSY) return -1;
  (void)ld_internal::discard_input(fh);
  const unsigned long refused = unawaited.others - before.others;
  if (refused == 0 && answers() == blocks) return 0;
  const unsigned long missing = blocks > answers() ? blocks - answers() : 0;
  if (flags & LD_PROGRESS) std::fputc('\n', stderr);
  std::fprintf(stderr,
               "The module refused blocks or left them unanswered (%lu refusals, %lu answers "
               "missing): the flash must be written again with acknowledgements awaited\n",
               refused, missing);
  errno = refused > 0 || answers() > blocks ? EINVAL : EBUSY;
  return -1;
}

int write_all_fragments(int fh, const write_plan *plan, int flags, progress_display *shown) {
  const auto &frags = plan->fragments;
  for (size_t i = 0; i < frags.size(); ++i) {
    progress_step(shown, static_cast<long>(frags[i].data.size()));
    const unsigned long before = ld_internal::irregularities;
    if (write_fragment(fh, frags[i], flags) < 0) return -1;
    // Answers left over from the fragment before come ahead of this one's.
    if (i > 0 && ld_internal::irregularities != before &&
        settle_doubtful(fh, frags[i - 1], flags) < 0)
      return -1;
  }
  if (!frags.empty() && last_in_doubt(fh, flags) && settle_doubtful(fh, frags.back(), flags) < 0)
    return -1;
  return 0;
}

}  // namespace

int _ld_send_frag(int fh, const char *data, int len, int offs, int flags) {
  if (!data || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  plan_fragment f;
  f.addr = static_cast<uint32_t>(offs);
  f.data.assign(data, data + len);
  return write_fragment(fh, f, flags);
}

progress_mode ld_progress_mode(int flags) {
  if (!(flags & LD_PROGRESS)) return PROGRESS_NONE;
  return (flags & LD_PERCENT) ? PROGRESS_PERCENT : PROGRESS_DOTS;
}

int ld_write_plan(int fh, const write_plan *plan, const char *fn, int flags) {
  if (!plan) {
    errno = EINVAL;
    return -1;
  }
  progress_display shown;
  const std::string title = std::string("Flashing ") + (fn ? fn : "");
  progress_start(&shown, ld_progress_mode(flags), "Writing", title.c_str(), plan_bytes(plan));
  const ld_internal::Unawaited before = ld_internal::unawaited;
  if (write_all_fragments(fh, plan, flags, &shown) < 0) {
    const int err = errno;
    progress_stop(&shown);
    std::fprintf(stderr, "Communication Error: %s\n", std::strerror(err));
    errno = err;
    return -1;
  }
  if (!(flags & LD_WAITACK) && check_unawaited(fh, before, flags) < 0) return -1;
  progress_finish(&shown);
  errno = 0;
  return 0;
}

int ld_write_image(int fh, image *img, int flags) {
  if (!img) {
    errno = EINVAL;
    return -1;
  }
  write_plan plan;
  if (img_plan(img, 0, IMG_PROGRAM_UNIT, &plan, nullptr, nullptr) < 0) return -1;
  return ld_write_plan(fh, &plan, img->fn, flags);
}

namespace {

// Reads a fragment back. Returns 0 when it matches, 1 with *bad the first
// address that differs (two reads agree on it), -1 with errno when the read
// failed.
int compare_fragment(int fh, const plan_fragment &f, int flags, uint32_t *bad) {
  std::vector<unsigned char> back;
  const int r = read_back(fh, f, flags, &back);
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

int ld_verify_plan(int fh, const write_plan *plan, int flags, uint32_t *bad) {
  if (!plan || !bad) {
    errno = EINVAL;
    return -1;
  }
  progress_display shown;
  progress_start(&shown, ld_progress_mode(flags), "Verifying", "Verifying", plan_bytes(plan));
  for (size_t i = 0; i < plan->fragments.size(); ++i) {
    progress_step(&shown, static_cast<long>(plan->fragments[i].data.size()));
    const int r = compare_fragment(fh, plan->fragments[i], flags, bad);
    if (r != 0) {
      const int err = errno;
      progress_stop(&shown);
      errno = err;
      return r;
    }
  }
  progress_finish(&shown);
  errno = 0;
  return 0;
}
