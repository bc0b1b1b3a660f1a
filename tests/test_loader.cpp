// The boot-loader protocol. Most cases run against the simulated module over
// a real pseudo-terminal and check the bytes it received; the few replies the
// simulated module cannot give (identifier lengths other than 2 and 4, a
// module that sends no acknowledgements, a port that goes away mid-reply)
// come from a scripted peer on a pseudo-terminal of the test's own.
#include "loader.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testsupport.h"
#include "uart.h"
#include "util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The far end of a pseudo-terminal whose near end is opened with uart_open.
class Peer {
 public:
  Peer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
      port_ = uart_open(ptsname(master_), 115200, UART_EVEN);
  }
  ~Peer() {
    close(port_);
    close_master();
  }
  int port() const { return port_; }
  void close_master() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  // What the port sent: n bytes, or fewer when none came for `quiet_ms`.
  Bytes receive(size_t n, int quiet_ms = 2000) {
    Bytes got;
    uint8_t buf[512];
    while (got.size() < n && wait_fh(master_, quiet_ms) > 0) {
      const ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  void send(const Bytes &b) { ASSERT_EQ(write(master_, b.data(), b.size()), ssize_t(b.size())); }

 private:
  int master_ = -1;
  int port_ = -1;
};

// Plays one exchange in a thread: awaits `expect` bytes, sends `reply`, and
// hangs up afterwards when asked to.
class Script {
 public:
  Script(Peer &peer, size_t expect, Bytes reply, bool hang_up = false)
      : thread_([&peer, expect, reply, hang_up, this] {
          received = peer.receive(expect);
          peer.send(reply);
          if (hang_up) peer.close_master();
        }) {}
  ~Script() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  Bytes received;

 private:
  std::thread thread_;
};

volatile sig_atomic_t g_abort_on_alarm = 0;

void on_alarm(int) {
  if (g_abort_on_alarm) ld_abort = 1;
}

// Delivers SIGALRM once after `ms` through a handler installed without
// SA_RESTART, which sets ld_abort when asked to, as the driver's does.
class AlarmAfter {
 public:
  AlarmAfter(int ms, bool abort) {
    g_abort_on_alarm = abort;
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
    ld_abort = 0;
  }

 private:
  struct sigaction old_;
};

Bytes cat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(LoaderGetId, BuildsTheIdentifierFromTheFirstFourReplyBytes) {
  Bytes long_reply;
  for (int i = 0; i < 256; ++i) long_reply.push_back(uint8_t(i));
  const struct {
    const char *what;
    Bytes reply;
    int flags;
    unsigned id;
  } rows[] = {
      {"L = 0", {0x79, 0x00, 0x41, 0x79}, LD_WAITACK, 0x41},
      {"L = 1", {0x79, 0x01, 0x04, 0x10, 0x79}, LD_WAITACK, 0x410},
      {"L = 2", {0x79, 0x02, 0x01, 0x02, 0x03, 0x79}, LD_WAITACK, 0x010203},
      {"L = 255 fills the reply buffer", cat(cat({0x79, 0xFF}, long_reply), {0x79}), LD_WAITACK,
       0x00010203},
      {"no acknowledgements awaited", {0x01, 0x04, 0x10}, 0, 0x410},
  };
  for (const auto &r : rows) {
    Peer peer;
    ASSERT_GE(peer.port(), 0);
    Script script(peer, 2, r.reply);
    errno = -1;
    EXPECT_EQ(ld_getid(peer.port(), r.flags), r.id) << r.what;
    EXPECT_EQ(errno, 0) << r.what;
    script.join();
    EXPECT_EQ(script.received, (Bytes{0x02, 0xFD})) << r.what;
  }
}

TEST(LoaderGetId, FailsWhenTheReplyIsRefusedOrThePortGoesAway) {
  const struct {
    const char *what;
    Bytes reply;
    bool hang_up;
    int err;
  } rows[] = {
      {"closing byte is no acknowledgement", {0x79, 0x01, 0x04, 0x10, 0x1F}, false, EINVAL},
      {"port gone before the length byte", {0x79}, true, EIO},
      {"port gone amid the identifier", {0x79, 0x03, 0x12}, true, EIO},
      {"port gone before the closing byte", {0x79, 0x01, 0x04, 0x10}, true, EIO},
  };
  for (const auto &r : rows) {
    Peer peer;
    Script script(peer, 2, r.reply, r.hang_up);
    const auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(ld_getid(peer.port(), LD_WAITACK), 0xFFFFFFFFu) << r.what;
    EXPECT_EQ(errno, r.err) << r.what;
    EXPECT_LT(seconds_since(start), 0.9) << r.what << ": failed at once, not by time-out";
  }
}

TEST(LoaderRead, StoresNoMoreThanMaxlenButReadsTheWholeReply) {
  Peer peer;
  peer.send({0x04, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0x79});
  char data[4] = {0, 0, 0x55, 0x55};
  EXPECT_EQ(_ld_read(peer.port(), data, 2, 0), 5);
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xA0, 0xA1, 0x55, 0x55}));
  // Only the closing byte is left.
  EXPECT_EQ(_ld_waitack(peer.port(), LD_WAITACK), 0);
}

TEST(LoaderSend, DiscardsStaleInputBeforeEachAttempt) {
  Peer peer;
  peer.send({0x1F, 0x1F});
  ASSERT_EQ(wait_fh(peer.port(), 1000), 1);
  Script script(peer, 2, {0x79});
  EXPECT_EQ(_ld_send_cmd(peer.port(), 0x43, LD_WAITACK), 0);
  script.join();
  EXPECT_EQ(script.received, (Bytes{0x43, 0xBC}));
  EXPECT_TRUE(peer.receive(1, 200).empty()) << "sent only once";
}

TEST(LoaderSend, AWriteThatFailsFailsTheBlockAlsoWithoutAcknowledgements) {
  for (int flags : {0, LD_WAITACK}) {
    Peer peer;
    peer.close_master();
    errno = 0;
    EXPECT_EQ(ld_erase_all(peer.port(), flags), -1) << flags;
    EXPECT_EQ(errno, EIO) << flags;
  }
}

TEST(LoaderSend, RefusesBlockAndFragmentLengthsOutOfRange) {
  Peer peer;
  char buf[300] = {};
  const struct {
    int (*op)(int fh, const char *buf, int len);
    int len;
  } rows[] = {
      {[](int fh, const char *b, int n) { return _ld_send(fh, b, n, 0); }, 0},
      {[](int fh, const char *b, int n) { return _ld_send(fh, b, n, 0); }, -1},
      {[](int fh, const char *b, int n) { return _ld_send(fh, b, n, 0); }, 258},
      {[](int fh, const char *b, int n) { return _ld_send_frag(fh, b, n, 0, 0); }, 0},
      {[](int fh, const char *b, int n) { return _ld_send_frag(fh, b, n, 0, 0); }, 257},
  };
  for (const auto &r : rows) {
    errno = 0;
    EXPECT_EQ(r.op(peer.port(), buf, r.len), -1) << r.len;
    EXPECT_EQ(errno, EINVAL) << r.len;
  }
  EXPECT_TRUE(peer.receive(1, 200).empty()) << "nothing was sent";
}

TEST(LoaderAbort, ASetAbortFlagFailsEveryBlockAtOnceBeforeSendingAnything) {
  Peer peer;
  ld_abort = 1;
  char byte = 0x11;
  const struct {
    const char *what;
    int result;
  } rows[] = {
      {"init", ld_init_device(peer.port(), LD_WAITACK)},
      {"erase", ld_erase_all(peer.port(), 0)},
      {"restart", ld_restart(peer.port(), 0x08000000, LD_WAITACK)},
      {"fragment", _ld_send_frag(peer.port(), &byte, 1, 0x08000000, 0)},
      {"getid", static_cast<int>(ld_getid(peer.port(), LD_WAITACK))},
  };
  const int err = errno;
  ld_abort = 0;
  for (const auto &r : rows) EXPECT_EQ(r.result, -1) << r.what;
  EXPECT_EQ(err, EINTR);
  EXPECT_TRUE(peer.receive(1, 200).empty());
}

TEST(LoaderAbort, ASignalThatSetsTheAbortFlagEndsTheWaitForAnAcknowledgement) {
  Peer peer;
  AlarmAfter alarm(100, true);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(ld_init_device(peer.port(), LD_WAITACK), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(seconds_since(start), 0.9);
  EXPECT_EQ(peer.receive(2, 200), (Bytes{0x7F})) << "no further attempt";
}

TEST(LoaderAbort, AnotherSignalNeitherShortensTheWaitNorLeadsIntoABlockingRead) {
  Peer peer;
  AlarmAfter alarm(100, false);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(_ld_waitack(peer.port(), LD_WAITACK), -1);
  EXPECT_EQ(errno, EBUSY);
  const double t = seconds_since(start);
  EXPECT_GE(t, 0.99);
  EXPECT_LT(t, 5.0);
}

TEST(LoaderAbort, AWriteASignalInterruptsDeliversTheBlockOnceUnlessAborted) {
  for (bool abort : {false, true}) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    // Fill the pipe so that the block's write blocks until the signal.
    ASSERT_EQ(fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
    size_t filled = 0;
    for (ssize_t w; (w = write(p[1], std::string(4096, 'f').data(), 4096)) > 0;) filled += size_t(w);
    ASSERT_EQ(fcntl(p[1], F_SETFL, 0), 0);
    std::string drained;
    std::thread drain;
    if (!abort) {
      drain = std::thread([&] {
        sigset_t alrm;  // the signal is for the writing thread
        sigemptyset(&alrm);
        sigaddset(&alrm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alrm, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        char buf[4096];
        for (ssize_t r; (r = read(p[0], buf, sizeof buf)) > 0;) drained.append(buf, size_t(r));
      });
    }
    AlarmAfter alarm(100, abort);
    errno = 0;
    const int r = _ld_send_cmd(p[1], 0x43, 0);
    const int err = errno;
    close(p[1]);
    if (drain.joinable()) drain.join();
    close(p[0]);
    EXPECT_EQ(r, abort ? -1 : 0) << abort;
    EXPECT_EQ(err, abort ? EINTR : 0) << abort;
    if (!abort) {
      EXPECT_EQ(drained, std::string(filled, 'f') + "\x43\xBC");
    }
  }
}
