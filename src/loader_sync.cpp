// The synchronisation, the probe after a command that may restart the
// module, and the commands after which some modules restart.
#include <algorithm>
#include <cerrno>
#include <ctime>

#include "loader.h"
#include "loader_internal.h"
#include "port.h"
#include "util.h"

using namespace ld_internal;

namespace {

// A 0x7F and its answer on the line.
int two_bytes_ms(const ld_session *s) {
  return wire_ms(s, 2);
}

int ms_since(const struct timespec &t0) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Whole nanoseconds first: a negative difference of the nanoseconds must
  // not round the milliseconds up.
  const long long ns =
      (static_cast<long long>(now.tv_sec) - t0.tv_sec) * 1000000000LL + (now.tv_nsec - t0.tv_nsec);
  return static_cast<int>(ns / 1000000);
}

struct timespec now_mono() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// The answer to a 0x7F within ms: the byte, or -1 with errno EBUSY (silence)
// or as the port left it. A module that puts 0x00 on the line as it starts
// has it passed over once (*zero_left).
int await_sync_answer(ld_session *s, int ms, bool *zero_left) {
  const struct timespec t0 = now_mono();
  for (;;) {
    const int left = ms - ms_since(t0);
    if (left <= 0) {
      errno = EBUSY;
      return -1;
    }
    unsigned char b = 0;
    if (await_byte(s, &b, left) < 0) return -1;
    if (b != 0x00 || !*zero_left) return b;
    *zero_left = false;
  }
}

// The sync answered: the boot loader took one 0x7F for an acknowledgement,
// two for a refused pair. What went out beyond that may wait in it as the
// first byte of a pair (the last went out sent_last_ms after the first).
// The answer came answered_ms after the first 0x7F: a bound of the line's
// latency (a module still starting may have lost the first ones), which a
// longer start-up than kLatencyBoundMs cannot raise.
void synced(ld_session *s, unsigned char answer, int sent, int sent_last_ms, int answered_ms) {
  constexpr int kLatencyBoundMs = 500;
  const int consumed = answer == LD_ACK ? 1 : 2;
  s->facts.syncs_unanswered = std::max(0, sent - consumed);
  s->facts.aligned = s->facts.syncs_unanswered == 0;
  s->facts.heard = true;
  s->sync_spread_ms = sent_last_ms;
  const int bound = std::min(kLatencyBoundMs, std::max(0, answered_ms - two_bytes_ms(s)));
  s->seen_latency_ms = std::max(s->seen_latency_ms, bound);
  s->latency_sampled = false;
  errno = 0;
}

// The silence after the sent-th 0x7F that sends the next: the interval,
// doubled after each 0x7F up to kGapMostMs, so that a slow line has few of
// them out before its first answer while a boot loader that begins to
// listen still meets one soon.
int sync_gap_ms(const ld_session *s, int sent) {
  constexpr int kGapMostMs = 200;
  const int interval = ld_sync_interval_ms(s);
  const int most = std::max(interval, kGapMostMs);
  return sent >= 8 ? most : std::min(most, interval << (sent - 1));
}

// The paced sync under LD_WAITACK: 0 with *answer the boot loader's 0x79
// (it was waiting for a sync) or 0x1F (it stood at command level already)
// and *sent the 0x7F bytes that went out, or -1 with errno as ld_sync.
int paced_sync(ld_session *s, int *answered_ms, unsigned char *answer, int *sent) {
  // Whatever the module sent while it started (or an earlier run left) is
  // no answer to this 0x7F.
  if (discard_input(s) > 0) note_fault(s);
  const struct timespec t0 = now_mono();
  bool zero_left = true;
  int garbage = 0;
  *sent = 0;
  for (int sent_at = 0; sent_at < s->budgets.sync_ms; sent_at = ms_since(t0)) {
    if (s->stop && *s->stop) {
      errno = EINTR;
      return -1;
    }
    const unsigned char b = LD_SYNC;
    s->last_wire.assign(1, b);
    if (write_all(s, &b, 1) < 0) return -1;
    ++*sent;
    const int gap = std::min(sync_gap_ms(s, *sent),
                             std::max(ld_sync_interval_ms(s), s->budgets.sync_ms - sent_at));
    const struct timespec t_sent = now_mono();
    // The whole gap is listened to: a stray byte may come before the
    // answer.
    for (;;) {
      const int got = await_sync_answer(s, gap - ms_since(t_sent), &zero_left);
      if (got < 0 && errno == EBUSY) break;
      if (got < 0) return -1;
      if (answered_ms && *answered_ms < 0) *answered_ms = sent_at;
      if (got == LD_ACK || got == LD_NACK) {
        *answer = static_cast<unsigned char>(got);
        synced(s, *answer, *sent, sent_at, ms_since(t0));
        return 0;
      }
      // Neither answer: a stray byte, or a boot loader that took a wrong
      // line speed and garbles every answer. Three such answers decide.
      note_fault(s);
      if (++garbage >= LD_ATTEMPTS) {
        errno = EINVAL;
        return -1;
      }
    }
  }
  errno = EBUSY;
  return -1;
}

}  // namespace

namespace ld_internal {

bool settle_sync(ld_session *s) {
  if (s->facts.syncs_unanswered <= 0 || !(s->flags & LD_WAITACK)) return false;
  // The answers to the 0x7F bytes after the answered one come, whichever it
  // was, within the time from the first 0x7F to the last after it.
  (void)drain_quiet(s, s->sync_spread_ms + s->budgets.answer_ms, byte_wait(s));
  const char get_version = static_cast<char>(LD_CMD_GET_VERSION);
  const Answer a = send_once(s, &get_version, 1, byte_wait(s), true);
  unsigned char b = 0;
  if (a == ANSWER_ACK) {
    unsigned char reply[4];
    if (port_read_bytes(s->fh, reply, sizeof reply, byte_wait(s), s->stop, nullptr) < 0 ||
        reply[3] != LD_ACK)
      return false;
  } else {
    // A 0x7F and the pair's first byte were refused; the second waits.
    const unsigned char probe = probe_after(static_cast<unsigned char>(~LD_CMD_GET_VERSION));
    s->last_wire.assign(1, probe);
    if (a != ANSWER_NACK || write_all(s, &probe, 1) < 0 || await_byte(s, &b, byte_wait(s)) < 0 ||
        b != LD_NACK)
      return false;
  }
  s->facts.syncs_unanswered = 0;
  s->facts.aligned = true;
  return true;
}

}  // namespace ld_internal

int ld_sync_interval_ms(const ld_session *s) {
  return two_bytes_ms(s) + std::max(s->budgets.latency_ms, s->seen_latency_ms);
}

int ld_sync(ld_session *s, int *answered_ms) {
  if (answered_ms) *answered_ms = -1;
  const char sync = LD_SYNC;
  if (!(s->flags & LD_WAITACK)) {
    if (send_once(s, &sync, 1, 0, false) != ANSWER_ACK) return -1;
    s->facts.syncs_unanswered = 0;
    errno = 0;
    return 0;
  }
  const bool first = !s->facts.heard;
  unsigned char answer = 0;
  int sent = 0;
  if (paced_sync(s, answered_ms, &answer, &sent) < 0) return -1;
  // The very first 0x7F of the session refused: a boot loader that listened
  // with a byte left over (an earlier run's), or one not yet synchronised
  // that refused a damaged 0x7F. A restart through the reset line settles
  // it; without one, a second sync tells the two apart, as after a command
  // that may restart the module.
  if (answer == LD_NACK && first && sent == 1) {
    if (s->reentry.reenter) return s->reentry.reenter(s, s->reentry.ctx);
    if (paced_sync(s, nullptr, &answer, &sent) < 0) return -1;
  }
  // Only a synchronised boot loader refuses: it took the 0x7F as the first
  // or second byte of a command pair, and stands at command level.
  if (answer == LD_NACK && s->report) s->report(s->report_ctx, LD_EVENT_ALREADY_SYNCED, 0);
  errno = 0;
  return 0;
}

int ld_init_device(ld_session *s) {
  return ld_sync(s, nullptr);
}

int ld_probe_restart(ld_session *s, bool *restarted) {
  *restarted = true;
  if (!(s->flags & LD_WAITACK)) {
    wait_fh_rest(-1, s->budgets.sync_ms / 6, s->stop);
    const char sync = LD_SYNC;
    return send_once(s, &sync, 1, 0, false) == ANSWER_ACK ? 0 : -1;
  }
  // Silence while the module restarts is expected, not a fault of the line.
  const unsigned long faults = s->facts.line_faults;
  unsigned char answer = 0;
  int sent = 0;
  int r = paced_sync(s, nullptr, &answer, &sent);
  if (r == 0) *restarted = answer == LD_ACK;
  if (r < 0 && s->reentry.reenter && errno != EINTR) r = s->reentry.reenter(s, s->reentry.ctx);
  const int err = errno;
  if (r == 0) s->facts.line_faults = faults;
  errno = err;
  return r;
}

ld_stop_held::ld_stop_held(ld_session *s) : s_(s), stop_(s->stop) {
  s->stop = nullptr;
}

ld_stop_held::~ld_stop_held() {
  s_->stop = stop_;
}

namespace {

// The probe of ld_probe_restart after a long command's budget ran out in
// silence, for the rest of ld_long_wait_ms and never through the reset
// line: the module may still be busy with the command. Any answer shows it
// back, the command's own late acknowledgement included. Returns 0, or -1
// with errno ETIME (no answer), EINTR or as the port left it.
int probe_after_silence(ld_session *s) {
  const ld_reentry reentry = s->reentry;
  const int sync_ms = s->budgets.sync_ms;
  s->reentry = ld_reentry{};
  s->budgets.sync_ms = ld_long_wait_ms(s) - s->budgets.long_ms;
  bool restarted = false;
  const int r = ld_probe_restart(s, &restarted);
  const int err = errno;
  s->reentry = reentry;
  s->budgets.sync_ms = sync_ms;
  errno = r < 0 && err == EBUSY ? ETIME : err;
  return r;
}

// An unprotect command: its pair, then a second acknowledgement once the
// module has done it (read-out unprotect erases the whole flash first), then
// the probe: only some families restart after it. A signal is held while
// the command is out, so that the run's release does not reset the module
// in the middle of its protection change; a second acknowledgement that
// does not come within the long budget is never followed by the command
// again, only by the probe.
int unprotect(ld_session *s, unsigned char code) {
  if (s->stop && *s->stop) {
    errno = EINTR;
    return -1;
  }
  ld_command cmd = {code, nullptr, 0, nullptr, 0, nullptr, nullptr};
  cmd.closing_ms = s->budgets.long_ms;
  int r = 0;
  {
    ld_stop_held held(s);
    r = ld_run_command(s, &cmd);
  }
  if (r < 0 && (errno != ETIME || probe_after_silence(s) < 0)) return -1;
  // After silence the answer may have been the command's own, late: the
  // module may restart after it yet.
  bool restarted = false;
  return ld_probe_restart(s, &restarted);
}

}  // namespace

int ld_readout_unprotect(ld_session *s) {
  return unprotect(s, LD_CMD_READOUT_UNPROTECT);
}

int ld_write_unprotect(ld_session *s) {
  return unprotect(s, LD_CMD_WRITE_UNPROTECT);
}

int ld_unprotect(ld_session *s) {
  if (ld_readout_unprotect(s) < 0) return -1;
  return ld_write_unprotect(s);
}
