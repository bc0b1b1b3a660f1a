// The timed wait: pure delays, readiness, time-outs, signals and bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <utility>

#include "signal_alarm.h"
#include "timing.h"
#include "util.h"

namespace {

using testsupport::Clock;
using testsupport::seconds_since;

struct Pipe {
  int rd = -1, wr = -1;
  Pipe() {
    int p[2];
    if (pipe2(p, O_CLOEXEC) == 0) {
      rd = p[0];
      wr = p[1];
    }
  }
  ~Pipe() {
    close(rd);
    close(wr);
  }
};

volatile sig_atomic_t g_stop = 0;

}  // namespace

using testsupport::AlarmAfter;

TEST(SetupTv, SplitsMillisecondsIntoSecondsAndMicrosecondsTruncatingTowardZero) {
  const struct {
    int ms;
    long sec, usec;
  } rows[] = {{0, 0, 0},         {1, 0, 1000},     {999, 0, 999000},    {1000, 1, 0},
              {1500, 1, 500000}, {100000, 100, 0}, {-1500, -1, -500000}};
  for (const auto &r : rows) {
    struct timeval tv;
    setup_tv(&tv, r.ms);
    EXPECT_EQ(tv.tv_sec, r.sec) << r.ms;
    EXPECT_EQ(tv.tv_usec, r.usec) << r.ms;
  }
}

TEST(WaitFh, WithoutDescriptorSleepsTheWholeTimeAndReturnsZero) {
  const auto start = Clock::now();
  EXPECT_EQ(wait_fh(-1, 100), 0);
  const double t = seconds_since(start);
  EXPECT_GE(t, 0.095);
  EXPECT_LT(t, 2.0);
}

TEST(WaitFh, ReturnsOneAtOnceWhenAByteIsWaiting) {
  Pipe p;
  ASSERT_EQ(write(p.wr, "x", 1), 1);
  const auto start = Clock::now();
  EXPECT_EQ(wait_fh(p.rd, 1000), 1);
  EXPECT_EQ(wait_fh(p.rd, 0), 1);
  EXPECT_LT(seconds_since(start), 0.5);
}

TEST(WaitFh, TimesOutWithZeroWhenNothingArrives) {
  Pipe p;
  const auto start = Clock::now();
  EXPECT_EQ(wait_fh(p.rd, 300), 0);
  EXPECT_GE(seconds_since(start), 0.29);
  const auto again = Clock::now();
  EXPECT_EQ(wait_fh(p.rd, 0), 0);
  EXPECT_LT(seconds_since(again), 0.5);
}

TEST(WaitFh, RefusesADescriptorTheSetCannotHold) {
  Pipe p;
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
  const int big = FD_SETSIZE + 10;
  if (rl.rlim_cur <= static_cast<rlim_t>(big)) {
    struct rlimit more = rl;
    more.rlim_cur = big + 1;
    if (rl.rlim_max < more.rlim_cur || setrlimit(RLIMIT_NOFILE, &more) != 0)
      GTEST_SKIP() << "cannot raise the descriptor limit past " << big;
  }
  ASSERT_EQ(dup2(p.rd, big), big);
  ASSERT_EQ(write(p.wr, "x", 1), 1);
  errno = 0;
  EXPECT_EQ(wait_fh(big, 10), -1);
  EXPECT_EQ(errno, EBADF);
  close(big);
  setrlimit(RLIMIT_NOFILE, &rl);
}

TEST(WaitFh, RefusesANegativeTime) {
  Pipe p;
  for (int fh : {-1, p.rd}) {
    errno = 0;
    EXPECT_EQ(wait_fh(fh, -5), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(wait_fh_rest(fh, -5, nullptr), -1);
  }
}

TEST(WaitFh, ASignalEndsTheWaitWithEintr) {
  Pipe p;
  AlarmAfter alarm(100, nullptr);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(wait_fh(p.rd, 3000), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(seconds_since(start), 2.0);
}

TEST(WaitFhRest, ASignalDoesNotShortenTheWait) {
  Pipe p;
  AlarmAfter alarm(100, nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(wait_fh_rest(p.rd, 600, &g_stop), 0);
  const double t = seconds_since(start);
  EXPECT_GE(t, 0.59);
  EXPECT_LT(t, 3.0);
}

TEST(WaitFhRest, ASignalWithoutDescriptorStillSleepsTheWholeTime) {
  AlarmAfter alarm(50, nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(wait_fh_rest(-1, 300, nullptr), 0);
  EXPECT_GE(seconds_since(start), 0.29);
}

TEST(WaitFhRest, ASignalThatSetsTheStopFlagEndsTheWaitWithEintr) {
  Pipe p;
  AlarmAfter alarm(100, &g_stop);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(wait_fh_rest(p.rd, 5000, &g_stop), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(seconds_since(start), 3.0);
}

TEST(WaitFhRest, AStopFlagSetBeforeTheWaitEndsItAtOnce) {
  Pipe p;
  for (int fh : {p.rd, -1}) {
    g_stop = 1;
    const auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(wait_fh_rest(fh, 5000, &g_stop), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(seconds_since(start), 2.0);
    g_stop = 0;
  }
}

TEST(WaitFhRest, KeepsTheCallersSignalMask) {
  Pipe p;
  sigset_t usr1, before, after;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, &before), 0);
  AlarmAfter alarm(50, nullptr);
  EXPECT_EQ(wait_fh_rest(p.rd, 200, &g_stop), 0);
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &before, &after), 0);
  EXPECT_TRUE(sigismember(&after, SIGUSR1));
  EXPECT_FALSE(sigismember(&after, SIGALRM));
}

TEST(WaitFhRest, ReportsReadinessAndTimeOutLikeWaitFh) {
  Pipe p;
  EXPECT_EQ(wait_fh_rest(p.rd, 0, nullptr), 0);
  ASSERT_EQ(write(p.wr, "x", 1), 1);
  EXPECT_EQ(wait_fh_rest(p.rd, 1000, nullptr), 1);
  errno = 0;
  EXPECT_EQ(wait_fh_rest(FD_SETSIZE, 10, nullptr), -1);
  EXPECT_EQ(errno, EBADF);
}

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) >= 0;
}

TEST(Fd, ClosesItsDescriptorOnceKeepingErrnoAndHandsItOverOnMoveOrRelease) {
  Pipe p;
  const int rd = dup(p.rd), wr = dup(p.wr);
  {
    Fd owner(rd);
    Fd moved(std::move(owner));
    EXPECT_FALSE(owner.ok());
    EXPECT_EQ(moved.get(), rd);
    errno = ENODATA;
    EXPECT_EQ(moved.close(), 0);
    EXPECT_EQ(errno, ENODATA);
    EXPECT_FALSE(is_open(rd));
    Fd other(wr);
    EXPECT_EQ(other.release(), wr);
  }
  EXPECT_TRUE(is_open(wr));
  close(wr);
}

TEST(OpenStandardFds, FillsClosedStandardDescriptorsWithDevNullAndLeavesOpenOnesAlone) {
  // In a child, so that the test's own streams stay as they are.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    struct stat null_st, out_before, st0, st1, st2;
    const bool got = stat("/dev/null", &null_st) == 0 && fstat(1, &out_before) == 0;
    close(0);
    close(2);
    const bool filled = open_standard_fds() == 0 && fstat(0, &st0) == 0 && fstat(1, &st1) == 0 &&
                        fstat(2, &st2) == 0;
    const bool ok = got && filled && st0.st_rdev == null_st.st_rdev &&
                    st2.st_rdev == null_st.st_rdev && st1.st_ino == out_before.st_ino &&
                    st1.st_dev == out_before.st_dev && open("/dev/null", O_RDONLY) > 2;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
