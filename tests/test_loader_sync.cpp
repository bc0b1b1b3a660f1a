// The synchronisation and the waits for answers that do not come, against
// the simulated module over a real pseudo-terminal: the 0x7F bytes a sync
// sends and the answers it takes, late answers realigned, and the budgets a
// silent module costs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"
#include "images.h"
#include "loader.h"
#include "loader_testing.h"
#include "pty.h"
#include "session.h"
#include "sim_process.h"
#include "testsupport.h"
#include "timing.h"

using namespace testsupport;

constexpr uint32_t kFlashBase = 0x08000000;

TEST(LoaderSync, ABootLoaderThatAlreadyListensCountsAsSynchronised) {
  SimProcess sim({"--already-synced"});
  SimPort port(sim);
  TestSession session(port.fh());
  EventLog events;
  events.attach(session.get());
  errno = -1;
  EXPECT_EQ(ld_init_device(session.get()), 0);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(events.seen, (std::vector<EventLog::Event>{{LD_EVENT_ALREADY_SYNCED, 0}}));
  // The first 0x7F waited for a second byte; the pair was refused, and the
  // boot loader stands at command level with nothing left over.
  EXPECT_EQ(blocks_received(sim, 1), (std::vector<Bytes>{{0x7F, 0x7F}}));
  EXPECT_EQ(session->facts.syncs_unanswered, 0);
  unsigned char b[8];
  EXPECT_EQ(ld_read_memory(session.get(), kFlashBase, b, 8), 0) << "at command level";
  EXPECT_EQ(blocks_received(sim, 3)[1], (Bytes{0x11, 0xEE})) << "no realignment";
}

TEST(LoaderTimeout, ASilentModuleGetsA0x7FAfterEachSyncIntervalForTheWholeBudgetThenEbusy) {
  SimProcess sim({"--silent"});
  SimPort port(sim);
  ASSERT_GE(port.fh(), 0);
  TestSession session(port.fh());
  const int interval = ld_sync_interval_ms(session.get());
  const auto start = Clock::now();
  errno = 0;
  EXPECT_EQ(ld_init_device(session.get()), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_GE(seconds_since(start), kTestSyncMs / 1000.0);
  const auto rx = of_kind(sim.log(), "rx");
  ASSERT_GE(rx.size(), 2u);
  // The silence after each 0x7F doubles, up to 200 ms.
  size_t most = 0;
  for (int at = 0, gap = interval; at < kTestSyncMs; at += gap, gap = std::min(2 * gap, 200))
    ++most;
  EXPECT_LE(rx.size(), most);
  // Each 0x7F alone on an idle line. The module's clock is read when it
  // wakes, so one late wake may bring two of them close together.
  int close_pairs = 0;
  for (size_t i = 0; i < rx.size(); ++i) {
    EXPECT_EQ(rx[i].rest, "7f");
    if (i > 0 && rx[i].t - rx[i - 1].t < 0.9 * interval / 1000.0) ++close_pairs;
  }
  EXPECT_LE(close_pairs, 2);
}

// The answers a sync meets: one 0x00 before the acknowledgement is passed
// over; another byte is tried again, and the third such answer is a boot
// loader at a wrong speed. More 0x7F out than answers back: the next
// command first realigns.
TEST(LoaderSync, PassesOverOneZeroAndFailsOnTheThirdOtherAnswer) {
  const struct {
    const char *what;
    std::vector<std::string> args;
    int result, err;
    size_t syncs;  // 0x7F bytes sent
  } rows[] = {
      {"one 0x00", {"--wrong-byte", "1:0x00"}, 0, 0, 2},
      {"two", {"--wrong-byte", "1:0x00", "--wrong-byte", "2:0x00"}, 0, 0, 3},
      {"another byte", {"--wrong-byte", "1:0xE0"}, 0, 0, 2},
      {"another byte three times",
       {"--wrong-byte", "1:0xE0", "--wrong-byte", "2:0xE0", "--wrong-byte", "3:0xE0"},
       -1,
       EINVAL,
       3},
      {"a stray byte before the acknowledgement", {"--garbage-before-ack"}, 0, 0, 1},
  };
  for (const auto &r : rows) {
    SimProcess sim(r.args);
    SimPort port(sim);
    TestSession session(port.fh());
    errno = -1;
    EXPECT_EQ(ld_init_device(session.get()), r.result) << r.what;
    EXPECT_EQ(errno, r.err) << r.what;
    EXPECT_EQ(blocks_received(sim, r.syncs), std::vector<Bytes>(r.syncs, Bytes{0x7F})) << r.what;
    if (r.result < 0) continue;
    EXPECT_EQ(session->facts.syncs_unanswered, int(r.syncs) - 1) << r.what;
    EXPECT_EQ(ld_getid(session.get()), 0x410u) << r.what;
  }
}

// An answer to the sync later than the interval: the next 0x7F is out and
// the boot loader holds it as the first byte of a pair. The first command
// realigns first; every later one is taken as it was sent. At 1200 Bd the
// interval covers two bytes' time and the latency; the blocks' budgets grow
// with their wire time.
TEST(LoaderSync, AnAnswerLaterThanTheIntervalIsRealignedBeforeTheFirstCommand) {
  const struct {
    const char *what;
    std::vector<std::string> args;
    int baud;
  } rows[] = {
      {"every answer 30 ms late", {"--ack-delay-ms", "30"}, 115200},
      // Five 0x7F would be out at a fixed interval: the windows grow with
      // the latency the sync measured.
      {"every answer 100 ms late", {"--ack-delay-ms", "100"}, 115200},
      {"1200 Bd, 10 ms of latency", {"--baud", "1200", "--ack-delay-ms", "10"}, 1200},
      {"1200 Bd, 16 ms of latency", {"--baud", "1200", "--ack-delay-ms", "16"}, 1200},
  };
  for (const auto &r : rows) {
    SimProcess sim(r.args);
    SimPort port(sim);
    TestSession session(port.fh());
    session->baud = r.baud;
    ASSERT_EQ(ld_init_device(session.get()), 0) << r.what;
    EXPECT_EQ(ld_getid(session.get()), 0x410u) << r.what;
    HandImage img("fw.bin", {{kFlashBase, counting(64)}});
    EXPECT_EQ(ld_write_image(session.get(), img.get()), 0) << r.what;
    EXPECT_EQ(session->facts.syncs_unanswered, 0) << r.what;
    EXPECT_EQ(sim.stop(), 0);
    const Bytes want = counting(64);
    EXPECT_EQ(sim.dump().substr(0, 64), std::string(want.begin(), want.end())) << r.what;
  }
}

TEST(LoaderTimeout, IdentifierBytesThatDoNotComeFailGetIdWithEbusyAfterASecond) {
  const struct {
    const char *what;
    std::vector<std::string> args;
    int flags;
  } rows[] = {
      {"announced but never sent, with acknowledgements", {"--id-short", "1"}, LD_WAITACK},
      {"no reply at all, without acknowledgements", {"--silent"}, 0},
  };
  for (const auto &r : rows) {
    SimProcess sim(r.args);
    SimPort port(sim);
    ASSERT_GE(port.fh(), 0);
    TestSession session(port.fh(), r.flags);
    ASSERT_EQ(ld_init_device(session.get()), 0) << r.what;
    const auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(ld_getid(session.get()), 0xFFFFFFFFu) << r.what;
    EXPECT_EQ(errno, EBUSY) << r.what;
    EXPECT_GE(seconds_since(start), 0.98 * kTestWaitMs / 1000) << r.what;
  }
}
