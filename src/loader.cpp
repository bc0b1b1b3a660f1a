#include "loader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "loader_internal.h"
#include "port.h"

namespace ld_internal {

int answer_wait(const ld_session *s, int ms) {
  return std::max(ms, 2 * s->seen_latency_ms);
}

int byte_wait(const ld_session *s) {
  return answer_wait(s, s->budgets.wait_ms);
}

int quiet_wait(const ld_session *s) {
  return answer_wait(s, s->budgets.answer_ms);
}

int block_wait(const ld_session *s, int ms) {
  return ms > 0 ? ms : byte_wait(s);
}

void note_latency(ld_session *s, int ms) {
  s->seen_latency_ms = s->latency_sampled ? std::max(s->seen_latency_ms, ms) : ms;
  s->latency_sampled = true;
}

int wire_ms(const ld_session *s, size_t n) {
  constexpr long long kSlowestBaud = 1200, kBitsPerByte = 11;
  const long long baud = s->baud > 0 ? s->baud : kSlowestBaud;
  return static_cast<int>((static_cast<long long>(n) * kBitsPerByte * 1000 + baud - 1) / baud);
}

void note_fault(ld_session *s) {
  ++s->facts.line_faults;
  s->facts.aligned = false;
}

int write_all(ld_session *s, const unsigned char *p, size_t n) {
  return port_write_all(s->fh, p, n, s->stop);
}

int await_byte(ld_session *s, unsigned char *b, int ms) {
  return port_await_byte(s->fh, b, ms, s->stop);
}

namespace {

size_t count_acks(const std::vector<unsigned char> &bytes) {
  return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), LD_ACK));
}

}  // namespace

size_t discard_input(ld_session *s, size_t *acks) {
  std::vector<unsigned char> got;
  const size_t n = port_take_input(s->fh, &got);
  const size_t a = count_acks(got);
  s->facts.unawaited_acks += a;
  s->facts.unawaited_others += n - a;
  if (acks) *acks = a;
  return n;
}

size_t drain_quiet(ld_session *s, int quiet_ms, int max_ms, size_t *acks) {
  // The time is what counts, not the bytes: a boot loader refusing a long
  // run of our bytes as pairs sends dozens of answers within a millisecond.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
  size_t n = 0, a = 0;
  unsigned char b = 0;
  while (std::chrono::steady_clock::now() < end && await_byte(s, &b, quiet_ms) == 0) {
    ++n;
    if (b == LD_ACK) ++a;
  }
  size_t late_acks = 0;
  n += discard_input(s, &late_acks);
  if (acks) *acks = a + late_acks;
  return n;
}

Answer send_once(ld_session *s, const char *buf, int len, int ms, bool checksum) {
  if (!buf || len < 1 || len > LD_LIST_BLOCK_MAX) {
    errno = EINVAL;
    return ANSWER_FAILED;
  }
  if (s->stop && *s->stop) {
    errno = EINTR;
    return ANSWER_FAILED;
  }
  // A page list of the extended erase is the longest block.
  std::array<unsigned char, LD_LIST_BLOCK_MAX + 1> frame;
  std::memcpy(frame.data(), buf, static_cast<size_t>(len));
  unsigned char sum = 0;
  for (int i = 0; i < len; ++i) sum ^= frame[i];
  // The checksum of a one-byte block is its complement.
  if (len == 1) sum = frame[0] ^ 0xFF;
  size_t n = static_cast<size_t>(len);
  if (checksum) frame[n++] = sum;
  const bool waitack = s->flags & LD_WAITACK;
  // A late answer to an earlier attempt must not answer this one. Without
  // acknowledgements awaited, what waits are the answers to the blocks
  // before, tallied for the check after the writes. With them, every block
  // had its answer read: an acknowledgement waiting now is one more than
  // the blocks sent, the boot loader's answer to bytes of ours it took as a
  // command of its own (a block ended early by a damaged count, its answers
  // slower than the check after it).
  size_t acks = 0;
  if (discard_input(s, &acks) > 0 && waitack) {
    note_fault(s);
    if (acks > 0) s->facts.stray_acts |= LD_STRAY_ERASE | LD_STRAY_WRITE;
  }
  s->last_wire.assign(frame.begin(), frame.begin() + static_cast<long>(n));
  if (write_all(s, frame.data(), n) < 0) return ANSWER_FAILED;
  if (!waitack) {
    ++s->facts.unawaited_blocks;
    return ANSWER_ACK;
  }
  // The answer can only follow the block's last byte: no drain before it is
  // awaited (a serial driver's drain sleeps whole clock ticks), and the
  // budget begins once the block and its answer could have crossed the line.
  unsigned char got = 0;
  s->answer_ahead = false;
  const auto sent = std::chrono::steady_clock::now();
  if (await_byte(s, &got, answer_wait(s, ms) + wire_ms(s, n + 1)) < 0) {
    if (errno != EBUSY) return ANSWER_FAILED;
    note_fault(s);
    return ANSWER_UNCLEAR;
  }
  // A command pair's answer needs no work of the module: its delay beyond
  // the wire time is the line's latency.
  if (len == 1 && (got == LD_ACK || got == LD_NACK)) {
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent);
    note_latency(s, std::max(0, static_cast<int>(took.count()) - wire_ms(s, n + 1)));
  }
  // Bytes of the block still queued: the answer came ahead of its end.
  s->answer_ahead = port_output_queued(s->fh);
  // An acknowledgement shows the block was taken as one. A refusal leaves
  // the alignment as it was: the boot loader may have refused a byte left
  // over and the first of ours.
  if (got == LD_ACK || got == LD_NACK) {
    if (got == LD_ACK) s->facts.aligned = true;
    if (s->answer_ahead) s->facts.aligned = false;
    if (got == LD_ACK) return ANSWER_ACK;
    errno = EINVAL;
    return ANSWER_NACK;
  }
  note_fault(s);
  errno = EINVAL;
  return ANSWER_UNCLEAR;
}

int send_block(ld_session *s, const char *buf, int len, int attempts, int ms, int *refusals) {
  if (refusals) *refusals = 0;
  if (!buf || len < 1 || len > LD_BLOCK_MAX) {
    errno = EINVAL;
    return -1;
  }
  const bool checksum = !(s->flags & LD_NOCHKSUM);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const Answer a = send_once(s, buf, len, ms, checksum);
    if (a == ANSWER_ACK) {
      errno = 0;
      return 0;
    }
    // A write that failed is tried again, as any attempt; a stop is not.
    if (a == ANSWER_FAILED && errno == EINTR) return -1;
    if (a == ANSWER_NACK) {
      note_fault(s);
      if (refusals) ++*refusals;
    }
  }
  return -1;
}

}  // namespace ld_internal

using namespace ld_internal;

int _ld_waitack(ld_session *s) {
  if (!(s->flags & LD_WAITACK)) return 0;
  unsigned char got = 0;
  if (await_byte(s, &got, byte_wait(s)) < 0) return -1;
  if (got != LD_ACK) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int _ld_send(ld_session *s, const char *buf, int len) {
  return send_block(s, buf, len, LD_ATTEMPTS, byte_wait(s), nullptr);
}

int _ld_send_cmd(ld_session *s, char cmd) {
  return _ld_send(s, &cmd, 1);
}

int _ld_send_long(ld_session *s, uint32_t data) {
  const char block[4] = {
      static_cast<char>((data >> 24) & 0xFF),
      static_cast<char>((data >> 16) & 0xFF),
      static_cast<char>((data >> 8) & 0xFF),
      static_cast<char>(data & 0xFF),
  };
  return _ld_send(s, block, 4);
}

int _ld_read(ld_session *s, char *data, int maxlen) {
  if (!data) maxlen = 0;
  errno = 0;
  unsigned char len = 0;
  if (await_byte(s, &len, byte_wait(s)) < 0) return -1;
  const int count = len + 1;
  std::array<unsigned char, 256> bytes;
  if (port_read_bytes(s->fh, bytes.data(), static_cast<size_t>(count), byte_wait(s), s->stop,
                      nullptr) < 0)
    return -1;
  const int keep = std::min(count, std::max(maxlen, 0));
  if (keep > 0) std::memcpy(data, bytes.data(), static_cast<size_t>(keep));
  return count;
}

namespace {

// Get and Get ID: a count byte N and N+1 bytes (at most 256), then the
// closing acknowledgement. Stores the bytes in *reply and their number in
// *n. Returns as ld_run_command.
int counted_command(ld_session *s, unsigned char code, std::array<unsigned char, 256> *reply,
                    int *n) {
  ld_command cmd = {code, nullptr, 0, reply->data(), 256, nullptr, nullptr};
  cmd.counted = true;
  cmd.reply_got = n;
  cmd.closing_ms = byte_wait(s);
  return ld_run_command(s, &cmd);
}

}  // namespace

unsigned int ld_getid(ld_session *s) {
  std::array<unsigned char, 256> reply;
  int n = 0;
  if (counted_command(s, LD_CMD_GET_ID, &reply, &n) < 0) return LD_ID_FAILED;
  unsigned int id = 0;
  for (int i = 0; i < n && i < LD_ID_BYTES; ++i) id = (id << 8) | reply[static_cast<size_t>(i)];
  errno = 0;
  return id;
}

int ld_get_version(ld_session *s, unsigned char *reply) {
  std::array<unsigned char, 3> r;
  ld_command cmd = {LD_CMD_GET_VERSION, nullptr, 0, r.data(), 3, nullptr, nullptr};
  cmd.closing_ms = byte_wait(s);
  if (ld_run_command(s, &cmd) < 0) return -1;
  if (reply) std::memcpy(reply, r.data(), r.size());
  return 0;
}

int ld_get_commands(ld_session *s, unsigned char *version, std::vector<unsigned char> *codes) {
  std::array<unsigned char, 256> reply;
  int n = 0;
  if (counted_command(s, LD_CMD_GET, &reply, &n) < 0) return -1;
  n = std::min(n, 256);
  if (version) *version = n > 0 ? reply[0] : 0;
  if (codes) codes->assign(reply.begin() + std::min(n, 1), reply.begin() + n);
  errno = 0;
  return 0;
}

// Newer boot loaders refuse the global erase 0x43 and offer the extended
// erase 0x44 instead, whose mass erase is the two-byte code 0xFFFF. It is
// acknowledged only once the whole flash is erased: the slowest parts of 1
// to 2 MiB erase sector by sector, up to 2 s for each 128 KiB sector at the
// lowest supply voltage, 32 s for 1 MiB; the long budget covers the part's
// with margin, and a module that died during the erase still fails the run.
// The block is awaited as one wait, and a module silent after it gets
// single probes, never the block again nor a flood of recovery bytes: either
// would meet a module still busy with the erase.
int ld_erase_extended(ld_session *s) {
  std::vector<unsigned char> codes;
  if (ld_get_commands(s, nullptr, &codes) < 0) return -1;
  if (std::find(codes.begin(), codes.end(), LD_CMD_EXT_ERASE) == codes.end()) {
    errno = EINVAL;
    return -1;
  }
  if (s->report) s->report(s->report_ctx, LD_EVENT_EXTENDED_ERASE, s->budgets.long_ms);
  const char mass[2] = {static_cast<char>(0xFF), static_cast<char>(0xFF)};
  const ld_block param = {mass, 2, s->budgets.long_ms};
  const ld_command cmd = {LD_CMD_EXT_ERASE, &param, 1, nullptr, 0, nullptr, nullptr};
  bool pair_refused = false;
  if (run_command(s, &cmd, &pair_refused) == 0) return 0;
  // The command accepted, its mass-erase code refused: a part without a mass
  // erase, whose pages can still be erased by list.
  if (!pair_refused && errno == EINVAL) errno = EPERM;
  return -1;
}

int ld_erase_all(ld_session *s) {
  const char global = static_cast<char>(LD_ERASE_GLOBAL);
  const ld_block param = {&global, 1, 0};
  const ld_command cmd = {LD_CMD_ERASE, &param, 1, nullptr, 0, nullptr, nullptr};
  bool refused = false;
  if (run_command(s, &cmd, &refused) == 0) return 0;
  return refused ? ld_erase_extended(s) : -1;
}
