// A one-shot SIGALRM for tests of waits and writes that a signal interrupts.
#ifndef TARVION_SIGNAL_ALARM_H
#define TARVION_SIGNAL_ALARM_H

#include <sys/time.h>

#include <csignal>

namespace testsupport {

// Delivers SIGALRM once after `ms` through a handler installed without
// SA_RESTART, so that the blocking call in progress fails with EINTR. The
// handler sets *flag to 1 when a flag is given, as a program's own handler
// would. The destructor cancels the timer, restores the previous handler and
// clears the flag again.
class AlarmAfter {
 public:
  AlarmAfter(int ms, volatile sig_atomic_t *flag) {
    flag_ = flag;
    struct sigaction sa = {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, &old_);
    struct itimerval it = {};
    it.it_value.tv_sec = ms / 1000;
    it.it_value.tv_usec = (ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &it, nullptr);
  }
  ~AlarmAfter() {
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old_, nullptr);
    if (flag_) *flag_ = 0;
    flag_ = nullptr;
  }
  AlarmAfter(const AlarmAfter &) = delete;
  AlarmAfter &operator=(const AlarmAfter &) = delete;

 private:
  static void on_alarm(int) {
    if (flag_) *flag_ = 1;
  }
  static inline volatile sig_atomic_t *volatile flag_ = nullptr;
  struct sigaction old_;
};

}  // namespace testsupport

#endif
