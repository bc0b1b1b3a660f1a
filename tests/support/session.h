// Loader sessions for the tests: the port, the flags and short budgets, so
// that a case waits only as long as it needs. A case that measures a wait
// compares it with the budget it gave.
#ifndef TARVION_TEST_SESSION_H
#define TARVION_TEST_SESSION_H

#include <utility>
#include <vector>

#include "loader.h"

namespace testsupport {

// The budgets of the tests' sessions: a wait for a byte, a long wait, a
// sync. The simulated module answers within milliseconds.
constexpr int kTestWaitMs = 300;
constexpr int kTestLongMs = 3000;
constexpr int kTestSyncMs = 600;

// The stop flag of the tests' sessions, which AlarmAfter can set.
inline volatile sig_atomic_t test_stop = 0;

// A session on fh with the flags and the tests' budgets.
struct TestSession {
  ld_session s;
  explicit TestSession(int fh, int flags = LD_WAITACK) {
    s.fh = fh;
    s.flags = flags;
    s.baud = 115200;
    s.budgets.wait_ms = kTestWaitMs;
    s.budgets.long_ms = kTestLongMs;
    s.budgets.sync_ms = kTestSyncMs;
    s.stop = &test_stop;
  }
  ld_session *get() { return &s; }
  ld_session *operator->() { return &s; }
};

// The events a session reports, in order.
struct EventLog {
  using Event = std::pair<ld_event, long>;
  std::vector<Event> seen;
  void attach(ld_session *s) {
    s->report = record;
    s->report_ctx = this;
  }
  static void record(void *ctx, ld_event what, long value) {
    static_cast<EventLog *>(ctx)->seen.emplace_back(what, value);
  }
};

}  // namespace testsupport

#endif
