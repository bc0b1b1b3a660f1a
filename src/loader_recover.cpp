// Recovery bytes that cannot complete a block the flasher sent.
//
// The boot loader has no time-out: a block that lost a byte, or whose count
// byte was damaged, takes the next bytes as its rest, whatever they are, and
// acts when the checksum happens to fit. The flasher knows what it sent, so
// it lists every way a single lost or damaged byte could have left the boot
// loader inside a block (where, with which XOR so far, how many bytes still
// to come) and picks each recovery byte so that none of those blocks ends
// with a fitting checksum.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <tuple>
#include <vector>

#include "loader.h"
#include "loader_internal.h"
#include "port.h"

namespace ld_internal {

namespace {

// How the boot loader frames a block.
enum Format {
  FMT_PAIR,     // a byte and its complement (a command pair, Read's count)
  FMT_ADDRESS,  // four bytes and their XOR
  FMT_COUNT8,   // count N, N+1 bytes, XOR (Write's data)
  FMT_ERASE43,  // 0xFF 0x00, or count N, N+1 page bytes, XOR
  FMT_ERASE44,  // a 16-bit special code and XOR, or a 16-bit count, 2(N+1) bytes, XOR
};

// The blocks that follow the pair of a command, in order.
int command_formats(int code, Format out[2]) {
  switch (code) {
    case LD_CMD_READ:
      out[0] = FMT_ADDRESS;
      out[1] = FMT_PAIR;
      return 2;
    case LD_CMD_WRITE:
      out[0] = FMT_ADDRESS;
      out[1] = FMT_COUNT8;
      return 2;
    case LD_CMD_GO:
      out[0] = FMT_ADDRESS;
      return 1;
    case LD_CMD_ERASE:
      out[0] = FMT_ERASE43;
      return 1;
    case LD_CMD_EXT_ERASE:
      out[0] = FMT_ERASE44;
      return 1;
    default:
      return 0;
  }
}

// Where the boot loader may stand: at command level (code -1) or inside a
// block of a command, with the bytes of the block received so far.
struct Parse {
  int code = -1;
  int block = 0;
  long got = 0;
  long need = 0;  // the block's length once known, else 0
  unsigned char first = 0, x = 0;
  bool operator<(const Parse &o) const {
    return std::tie(code, block, got, need, first, x) <
           std::tie(o.code, o.block, o.got, o.need, o.first, o.x);
  }
  bool operator==(const Parse &o) const { return !(*this < o) && !(o < *this); }
};

Format format_of(const Parse &p) {
  Format f[2] = {FMT_PAIR, FMT_PAIR};
  const int n = command_formats(p.code, f);
  return p.code < 0 || p.block >= n ? FMT_PAIR : f[p.block];
}

// The XOR of a whole valid block: 0, or 0xFF where the last byte is the
// complement (a pair, the global erase 0xFF 0x00).
unsigned char valid_xor(const Parse &p) {
  const Format f = format_of(p);
  return f == FMT_PAIR || (f == FMT_ERASE43 && p.first == 0xFF) ? 0xFF : 0x00;
}

// The block's length once its first bytes are in.
long length_of(const Parse &p, unsigned char b) {
  switch (format_of(p)) {
    case FMT_PAIR:
      return 2;
    case FMT_ADDRESS:
      return 5;
    case FMT_COUNT8:
      return p.got == 1 ? p.first + 3 : p.need;
    case FMT_ERASE43:
      return p.got == 1 ? (p.first == 0xFF ? 2 : p.first + 3) : p.need;
    case FMT_ERASE44:
      if (p.got != 2) return 0;
      const long n = static_cast<long>(p.first) << 8 | b;
      return n >= 0xFFF0 ? 3 : 2 * n + 5;
  }
  return 0;
}

enum Step { STEP_MORE, STEP_REFUSED, STEP_ACCEPTED };

// One byte into the boot loader's parse.
Step step(Parse &p, unsigned char b) {
  if (p.got == 0) p.first = b;
  p.x ^= b;
  ++p.got;
  if (p.need == 0) p.need = length_of(p, b);
  if (p.need == 0 || p.got < p.need) return STEP_MORE;
  const bool ok = p.x == valid_xor(p);
  Parse next;
  if (ok && p.code < 0) {
    Format f[2];
    if (command_formats(p.first, f) > 0) next.code = p.first;
  } else if (ok) {
    Format f[2];
    if (p.block + 1 < command_formats(p.code, f)) {
      next.code = p.code;
      next.block = p.block + 1;
    }
  }
  p = next;
  return ok ? STEP_ACCEPTED : STEP_REFUSED;
}

// The byte that would complete the block with a fitting checksum, or -1.
int completing_byte(const Parse &p) {
  if (p.need == 0 || p.got + 1 != p.need) return -1;
  return p.x ^ valid_xor(p);
}

}  // namespace

struct Recovery::Model {
  std::vector<Parse> inside;  // hypotheses inside a block
};

Recovery::Recovery(const ld_command *cmd, int sent, const unsigned char *wire, size_t len)
    : model_(std::make_unique<Model>()), prev_(len > 0 ? wire[len - 1] : 0) {
  Parse start;
  if (cmd && sent >= 0) {
    start.code = cmd->code;
    start.block = sent;
  }
  const Format this_fmt = format_of(start);
  // The count bytes: damaged, they change where the block ends.
  const size_t counts = this_fmt == FMT_ERASE44                             ? 2
                        : this_fmt == FMT_COUNT8 || this_fmt == FMT_ERASE43 ? 1
                                                                            : 0;
  const auto replay = [&](size_t skip, size_t at, int value) {
    Parse p = start;
    for (size_t i = 0; i < len; ++i) {
      if (i == skip) continue;
      (void)step(p, i == at ? static_cast<unsigned char>(value) : wire[i]);
    }
    model_->inside.push_back(p);
  };
  const size_t none = len + 1;
  replay(none, none, 0);  // all of it came; the answer was lost or damaged
  for (size_t i = 0; i < len; ++i) replay(i, none, 0);
  for (size_t i = 0; i < counts && i < len; ++i)
    for (int v = 0; v < 256; ++v)
      if (v != wire[i]) replay(none, i, v);
  tidy(true);
}

Recovery::~Recovery() = default;

void Recovery::tidy(bool merge) {
  auto &in = model_->inside;
  // At command level with nothing pending, a boot loader waits for a pair,
  // which the rule against complement pairs keeps from forming. One with a
  // byte pending stays: that byte need not be the last one sent.
  in.erase(
      std::remove_if(in.begin(), in.end(), [](const Parse &p) { return p.code < 0 && p.got == 0; }),
      in.end());
  if (!merge) return;
  std::sort(in.begin(), in.end());
  in.erase(std::unique(in.begin(), in.end()), in.end());
}

unsigned char Recovery::next() {
  std::array<int, 256> hits{};
  for (const Parse &p : model_->inside) {
    const int b = completing_byte(p);
    if (b >= 0) ++hits[static_cast<size_t>(b)];
  }
  // Never a byte and its complement in a row: that pair could be a command.
  hits[static_cast<unsigned char>(prev_ ^ 0xFF)] += 1 << 20;
  unsigned char best = LD_FILLER;
  for (int i = 0; i < 256; ++i) {
    const unsigned char c = static_cast<unsigned char>(LD_FILLER + i);
    if (hits[c] < hits[best]) best = c;
    if (hits[best] == 0) break;
  }
  if (hits[best] > 0) uncovered_ = true;
  for (Parse &p : model_->inside) (void)step(p, best);
  ++made_;
  tidy(made_ <= 16 || made_ % 256 == 0);
  prev_ = best;
  if (model_->inside.empty() && extra_ < 2) ++extra_;
  return best;
}

bool Recovery::exhausted() const {
  return model_->inside.empty() && extra_ >= 2;
}

unsigned char probe_after(unsigned char prev) {
  return prev == static_cast<unsigned char>(LD_FILLER ^ 0xFF) ? LD_FILLER + 1 : LD_FILLER;
}

namespace {

// One byte at a time for the short cases: a block short of a byte or two.
constexpr long kSingleSteps = 8;
constexpr long kBurstMax = 4096;
// Probes of a realignment: one may be lost on the line.
constexpr int kProbes = 4;

// Sends the bytes, waits until they are out and ms longer for answers.
// Returns the number of answer bytes (ACKs counted, a NACK noted), or -1
// with errno.
int send_and_listen(ld_session *s, const std::vector<unsigned char> &bytes, int ms, int *acks,
                    bool *nacked) {
  if (!bytes.empty()) {
    if (write_all(s, bytes.data(), bytes.size()) < 0) return -1;
    s->last_wire.assign(1, bytes.back());
    (void)port_wait_sent(s->fh, port_output_budget_ms(bytes.size()), s->stop);
  }
  int got = 0;
  unsigned char b = 0;
  for (int wait = ms; await_byte(s, &b, wait) == 0; wait = 1) {
    ++got;
    if (b == LD_ACK) ++*acks;
    if (b == LD_NACK) *nacked = true;
  }
  if (errno != EBUSY) return -1;
  return got;
}

unsigned char last_byte(const ld_session *s) {
  return s->last_wire.empty() ? 0 : s->last_wire.back();
}

}  // namespace

int realign(ld_session *s) {
  if (!(s->flags & LD_WAITACK)) return 0;
  const int quiet = quiet_wait(s), wait = byte_wait(s);
  (void)drain_quiet(s, quiet, wait);
  // A probe that is answered completed a pair whose first byte was left
  // over, or the pair the probe before began. Either way the boot loader
  // then stands at command level. One probe may be lost on the line.
  unsigned char probe = last_byte(s);
  for (int i = 0; i < kProbes; ++i) {
    probe = probe_after(probe);
    int acks = 0;
    bool nacked = false;
    const auto sent = std::chrono::steady_clock::now();
    const int got = send_and_listen(s, {probe}, i + 1 < kProbes ? quiet : wait, &acks, &nacked);
    if (got < 0) return -1;
    if (got == 0) continue;
    // The answer completed a pair, which needs no work of the module: the
    // line's latency.
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent);
    note_latency(s, std::max(0, static_cast<int>(took.count()) - wire_ms(s, 2)));
    // The first probe answered: a byte of ours was left over.
    if (i == 0) note_fault(s);
    (void)drain_quiet(s, quiet_wait(s), byte_wait(s));
    s->facts.aligned = true;
    s->facts.syncs_unanswered = 0;
    errno = 0;
    return 0;
  }
  errno = EBUSY;
  return -1;
}

int recover(ld_session *s, const ld_command *cmd, int sent, int *acks) {
  *acks = 0;
  if (!(s->flags & LD_WAITACK)) return 0;
  Recovery r(cmd, sent, s->last_wire.data(), s->last_wire.size());
  bool nacked = false;
  std::vector<unsigned char> burst;
  for (long made = 0, n = 1; !nacked && !r.exhausted(); made += n) {
    n = made < kSingleSteps ? 1 : std::min(kBurstMax, made);
    burst.clear();
    while (static_cast<long>(burst.size()) < n && !r.exhausted()) burst.push_back(r.next());
    if (send_and_listen(s, burst, quiet_wait(s), acks, &nacked) < 0) return -1;
  }
  // A module still busy (a slow erase) answers once it is done: it gets a
  // few more waits before it counts as gone.
  for (int i = 0; i < s->budgets.busy_waits && !nacked; ++i)
    if (send_and_listen(s, {r.next()}, byte_wait(s), acks, &nacked) < 0) return -1;
  note_fault(s);
  if (r.uncovered()) note_fault(s);
  if (!nacked) {
    errno = EBUSY;
    return -1;
  }
  return realign(s);
}

}  // namespace ld_internal
