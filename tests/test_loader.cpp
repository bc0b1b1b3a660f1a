// The boot-loader protocol's reads, sends and abort. Replies the simulated
// module cannot give (identifier lengths other than 2 and 4, a port that
// goes away mid-reply) come from a scripted peer on a pseudo-terminal of the
// test's own; the bytes of every operation are checked against the
// simulated module in test_loader_wire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bytes.h"
#include "capture.h"
#include "flasher.h"
#include "images.h"
#include "loader.h"
#include "loader_testing.h"
#include "pty.h"
#include "session.h"
#include "signal_alarm.h"
#include "sim_process.h"
#include "testsupport.h"
#include "timing.h"
#include "util.h"

using namespace testsupport;

TEST(LoaderGetId, BuildsTheIdentifierFromTheFirstFourReplyBytes) {
  Bytes long_reply;
  for (int i = 0; i < 256; ++i) long_reply.push_back(uint8_t(i));
  const struct {
    const char *what;
    Bytes reply;
    unsigned id;
  } rows[] = {
      {"L = 0", {0x79, 0x00, 0x41, 0x79}, 0x41},
      {"L = 1", {0x79, 0x01, 0x04, 0x10, 0x79}, 0x410},
      {"L = 2", {0x79, 0x02, 0x01, 0x02, 0x03, 0x79}, 0x010203},
      {"L = 255 fills the reply buffer", cat(cat({0x79, 0xFF}, long_reply), {0x79}), 0x00010203},
  };
  for (const auto &r : rows) {
    Peer peer;
    ASSERT_GE(peer.port(), 0);
    Script script(peer, 2, r.reply);
    errno = -1;
    EXPECT_EQ(ld_getid(TestSession(peer.port()).get()), r.id) << r.what;
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
    EXPECT_EQ(ld_getid(TestSession(peer.port(), LD_WAITACK).get()), 0xFFFFFFFFu) << r.what;
    EXPECT_EQ(errno, r.err) << r.what;
    EXPECT_LT(seconds_since(start), kTestWaitMs / 2000.0)
        << r.what << ": failed at once, not by time-out";
  }
}

TEST(LoaderRead, APortAtEndOfFileFailsWithEio) {
  const struct {
    const char *what;
    Bytes before_eof;
    std::function<long(int fh)> op;
  } rows[] = {
      {"acknowledgement",
       {},
       [](int fh) { return long(_ld_waitack(TestSession(fh, LD_WAITACK).get())); }},
      {"length byte",
       {},
       [](int fh) { return long(_ld_read(TestSession(fh, 0).get(), nullptr, 0)); }},
      {"identifier byte",
       {0x01, 0x04},
       [](int fh) { return long(_ld_read(TestSession(fh, 0).get(), nullptr, 0)); }},
  };
  for (const auto &r : rows) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], r.before_eof.data(), r.before_eof.size()), ssize_t(r.before_eof.size()));
    close(p[1]);
    const auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(r.op(p[0]), -1) << r.what;
    EXPECT_EQ(errno, EIO) << r.what;
    EXPECT_LT(seconds_since(start), kTestWaitMs / 2000.0) << r.what;
    close(p[0]);
  }
}

TEST(LoaderRead, StoresNoMoreThanMaxlenButReadsTheWholeReply) {
  Peer peer;
  peer.send({0x04, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0x79});
  char data[4] = {0, 0, 0x55, 0x55};
  EXPECT_EQ(_ld_read(TestSession(peer.port(), 0).get(), data, 2), 5);
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xA0, 0xA1, 0x55, 0x55}));
  // Only the closing byte is left.
  EXPECT_EQ(_ld_waitack(TestSession(peer.port(), LD_WAITACK).get()), 0);
}

TEST(LoaderSend, DiscardsStaleInputBeforeEachAttempt) {
  Peer peer;
  peer.send({0x1F, 0x1F});
  ASSERT_EQ(wait_fh(peer.port(), 1000), 1);
  Script script(peer, 2, {0x79});
  EXPECT_EQ(_ld_send_cmd(TestSession(peer.port(), LD_WAITACK).get(), 0x43), 0);
  script.join();
  EXPECT_EQ(script.received, (Bytes{0x43, 0xBC}));
  EXPECT_TRUE(peer.receive(1, 200).empty()) << "sent only once";
}

TEST(LoaderSend, AWriteThatFailsFailsTheBlockAlsoWithoutAcknowledgements) {
  for (int flags : {0, LD_WAITACK}) {
    Peer peer;
    peer.close_master();
    errno = 0;
    EXPECT_EQ(ld_erase_all(TestSession(peer.port(), flags).get()), -1) << flags;
    EXPECT_EQ(errno, EIO) << flags;
  }
}

TEST(LoaderSend, RefusesBlockAndFragmentLengthsOutOfRangeSendingNothing) {
  Peer peer;
  const char buf[300] = {};
  for (int len : {-1, 0, 258}) {
    errno = 0;
    EXPECT_EQ(_ld_send(TestSession(peer.port(), 0).get(), buf, len), -1) << len;
    EXPECT_EQ(errno, EINVAL) << len;
  }
  for (int len : {0, 257}) {
    errno = 0;
    EXPECT_EQ(_ld_send_frag(TestSession(peer.port(), 0).get(), buf, len, 0), -1) << len;
    EXPECT_EQ(errno, EINVAL) << len;
  }
  EXPECT_TRUE(peer.receive(1, 200).empty());
}

TEST(LoaderAbort, ASetAbortFlagFailsEveryOperationAtOnceBeforeSendingAnything) {
  Peer peer;
  const int fh = peer.port();
  const char byte = 0x11;
  const std::function<long()> ops[] = {
      [&] { return long(ld_init_device(TestSession(fh, LD_WAITACK).get())); },
      [&] { return long(ld_erase_all(TestSession(fh, 0).get())); },
      [&] { return long(ld_restart(TestSession(fh, LD_WAITACK).get(), 0x08000000)); },
      [&] { return long(_ld_send_frag(TestSession(fh, 0).get(), &byte, 1, 0x08000000)); },
      [&] { return long(int(ld_getid(TestSession(fh, LD_WAITACK).get()))); },
  };
  for (const auto &op : ops) {
    test_stop = 1;
    errno = 0;
    const long r = op();
    const int err = errno;
    test_stop = 0;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, EINTR);
  }
  EXPECT_TRUE(peer.receive(1, 200).empty());
}

TEST(LoaderAbort, ASignalThatSetsTheAbortFlagEndsTheWaitForAnAcknowledgement) {
  Peer peer;
  // Within the first sync interval.
  AlarmAfter alarm(10, &test_stop);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(ld_init_device(TestSession(peer.port(), LD_WAITACK).get()), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(seconds_since(start), kTestSyncMs / 1000.0);
  EXPECT_EQ(peer.receive(2, 200), (Bytes{0x7F})) << "no further attempt";
}

TEST(LoaderAbort, AnotherSignalNeitherShortensTheWaitNorLeadsIntoABlockingRead) {
  Peer peer;
  AlarmAfter alarm(100, nullptr);
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(_ld_waitack(TestSession(peer.port(), LD_WAITACK).get()), -1);
  EXPECT_EQ(errno, EBUSY);
  const double t = seconds_since(start);
  EXPECT_GE(t, 0.99 * kTestWaitMs / 1000);
  EXPECT_LT(t, 5.0);
}

TEST(LoaderAbort, AWriteASignalInterruptsDeliversTheBlockOnceUnlessAborted) {
  for (bool abort : {false, true}) {
    int p[2], done[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    // Fill the pipe so that the block's write blocks until the signal.
    ASSERT_EQ(fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
    size_t filled = 0;
    for (ssize_t w; (w = write(p[1], std::string(4096, 'f').data(), 4096)) > 0;)
      filled += size_t(w);
    ASSERT_EQ(fcntl(p[1], F_SETFL, 0), 0);
    // The far end drains the pipe well after the signal, or once the write
    // has ended; an aborted write that went on anyway is released after 3 s.
    std::string drained;
    std::thread drain([&] {
      sigset_t alrm;  // the signal is for the writing thread
      sigemptyset(&alrm);
      sigaddset(&alrm, SIGALRM);
      pthread_sigmask(SIG_BLOCK, &alrm, nullptr);
      wait_fh(done[0], abort ? 3000 : 400);
      char buf[4096];
      for (ssize_t r; (r = read(p[0], buf, sizeof buf)) > 0;) drained.append(buf, size_t(r));
    });
    int r, err;
    {
      AlarmAfter alarm(100, abort ? &test_stop : nullptr);
      errno = 0;
      r = _ld_send_cmd(TestSession(p[1], 0).get(), 0x43);
      err = errno;
    }
    close(p[1]);
    EXPECT_EQ(write(done[1], "x", 1), 1);
    drain.join();
    for (int fd : {p[0], done[0], done[1]}) close(fd);
    EXPECT_EQ(r, abort ? -1 : 0) << abort;
    EXPECT_EQ(err, abort ? EINTR : 0) << abort;
    EXPECT_EQ(drained, std::string(filled, 'f') + (abort ? "" : "\x43\xBC")) << abort;
  }
}
