// The boot-loader protocol against the simulated module over a real
// pseudo-terminal: the bytes every operation sends, its retries and waits,
// and the image writer with its progress display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
#include "pty.h"
#include "session.h"
#include "signal_alarm.h"
#include "sim_process.h"
#include "testsupport.h"
#include "timing.h"
#include "util.h"

using namespace testsupport;

constexpr uint32_t kFlashBase = 0x08000000;

namespace {

// One operation against a freshly started simulated module, synchronised
// first unless the operation is the synchronisation itself.
struct WireCase {
  const char *what;
  std::vector<std::string> args;  // for the simulated module
  std::function<long(ld_session *s)> op;
  long result;
  int err;
  std::vector<Bytes> blocks;  // received after the first synchronisation byte
  bool sync_first = true;
};

void check_wire_case(const WireCase &c) {
  SimProcess sim(c.args);
  SimPort port(sim);
  ASSERT_GE(port.fh(), 0);
  TestSession session(port.fh());
  if (c.sync_first) {
    ASSERT_EQ(ld_init_device(session.get()), 0) << c.what;
  }
  const auto start = Clock::now();
  errno = -1;
  EXPECT_EQ(c.op(session.get()), c.result) << c.what;
  EXPECT_EQ(errno, c.err) << c.what;
  EXPECT_LT(seconds_since(start), 0.9) << c.what << ": nothing was waited out";
  std::vector<Bytes> want = {{0x7F}};
  want.insert(want.end(), c.blocks.begin(), c.blocks.end());
  EXPECT_EQ(blocks_received(sim, want.size()), want) << c.what;
}

}  // namespace

TEST(LoaderWire, EveryOperationSendsTheBlocksOfItsTableRow) {
  const char one = static_cast<char>(0xAB);
  const Bytes full = counting(256);
  const Bytes full_block = cat(cat({0xFF}, full), {0xFF});  // XOR of 0..255 is 0
  const auto getid = [](ld_session *s) { return long(ld_getid(s)); };
  const WireCase rows[] = {
      {"init alone", {}, [](ld_session *s) { return long(ld_init_device(s)); }, 0, 0, {}, false},
      {"getid, two identifier bytes", {}, getid, 0x410, 0, {{0x02, 0xFD}}},
      {"getid, four identifier bytes",
       {"--id", "0x12345678"},
       getid,
       0x12345678,
       0,
       {{0x02, 0xFD}}},
      {"erase",
       {},
       [](ld_session *s) { return long(ld_erase_all(s)); },
       0,
       0,
       {{0x43, 0xBC}, {0xFF, 0x00}}},
      {"erase, a boot loader that refuses 0x43 but lists 0x44",
       {"--extended-erase"},
       [](ld_session *s) { return long(ld_erase_all(s)); },
       0,
       0,
       {{0x43, 0xBC}, {0x43, 0xBC}, {0x43, 0xBC}, {0x00, 0xFF}, {0x44, 0xBB}, {0xFF, 0xFF, 0x00}}},
      {"erase, a refused mass erase: the command again from its pair",
       {"--extended-erase", "--nack-block", "7"},
       [](ld_session *s) { return long(ld_erase_all(s)); },
       0,
       0,
       {{0x43, 0xBC},
        {0x43, 0xBC},
        {0x43, 0xBC},
        {0x00, 0xFF},
        {0x44, 0xBB},
        {0xFF, 0xFF, 0x00},
        {0xA4, 0xA4},
        {0x44, 0xBB},
        {0xFF, 0xFF, 0x00}}},
      {"erase pages with 0x43: count - 1 and the pages as bytes",
       {},
       [](ld_session *s) {
         const uint16_t pages[] = {0, 1, 5};
         return long(ld_erase_pages(s, LD_CMD_ERASE, pages, 3, 1000));
       },
       0,
       0,
       {{0x43, 0xBC}, {0x02, 0x00, 0x01, 0x05, 0x06}}},
      {"erase pages with 0x44: 16-bit count - 1 and pages",
       {"--extended-erase"},
       [](ld_session *s) {
         const uint16_t pages[] = {2, 3};
         return long(ld_erase_pages(s, LD_CMD_EXT_ERASE, pages, 2, 1000));
       },
       0,
       0,
       {{0x44, 0xBB}, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00}}},
      {"erase pages: a page 0x43 cannot number is refused before anything is sent",
       {},
       [](ld_session *s) {
         const uint16_t pages[] = {256};
         return long(ld_erase_pages(s, LD_CMD_ERASE, pages, 1, 1000));
       },
       -1,
       EINVAL,
       {}},
      {"read memory",
       {},
       [](ld_session *s) {
         unsigned char b[16];
         return long(ld_read_memory(s, kFlashBase + 0x10, b, 16));
       },
       0,
       0,
       {{0x11, 0xEE}, {0x08, 0x00, 0x00, 0x10, 0x18}, {0x0F, 0xF0}}},
      {"Get Version: the version and two option bytes, then an acknowledgement",
       {},
       [](ld_session *s) {
         unsigned char v[3] = {0, 1, 1};
         const int r = ld_get_version(s, v);
         return r < 0 ? -1L : long(v[0]) << 16 | v[1] << 8 | v[2];
       },
       0x220000,
       0,
       {{0x01, 0xFE}}},
      {"write unprotect alone, then the sync after the restart",
       {"--write-protected", "--reset-after-options"},
       [](ld_session *s) { return long(ld_write_unprotect(s)); },
       0,
       0,
       {{0x73, 0x8C}, {0x7F}}},
      {"write unprotect on a module that stays synchronised: the sync's pair refused",
       {"--write-protected"},
       [](ld_session *s) { return long(ld_write_unprotect(s)); },
       0,
       0,
       {{0x73, 0x8C}, {0x7F, 0x7F}}},
      {"restart",
       {},
       [](ld_session *s) { return long(ld_restart(s, 0x08001234)); },
       0,
       0,
       {{0x21, 0xDE}, {0x08, 0x00, 0x12, 0x34, 0x2E}}},
      {"restart in RAM",
       {},
       [](ld_session *s) { return long(ld_restart(s, 0x20000100)); },
       0,
       0,
       {{0x21, 0xDE}, {0x20, 0x00, 0x01, 0x00, 0x21}}},
      {"one-byte fragment",
       {},
       [&](ld_session *s) { return long(_ld_send_frag(s, &one, 1, kFlashBase + 0x100)); },
       0,
       0,
       {{0x31, 0xCE}, {0x08, 0x00, 0x01, 0x00, 0x09}, {0x00, 0xAB, 0xAB}}},
      {"256-byte fragment",
       {},
       [&](ld_session *s) {
         return long(
             _ld_send_frag(s, reinterpret_cast<const char *>(full.data()), 256, kFlashBase));
       },
       0,
       0,
       {{0x31, 0xCE}, {0x08, 0x00, 0x00, 0x00, 0x08}, full_block}},
  };
  for (const auto &r : rows) check_wire_case(r);
}

TEST(LoaderWire, WithoutAcknowledgementsEachBlockGoesOutOnceAndTheMissingAnswersFailTheWrite) {
  SimProcess sim({"--silent"});
  SimPort port(sim);
  ASSERT_GE(port.fh(), 0);
  const Bytes one = counting(8, 1), two = counting(8, 0x11);
  HandImage img("two.bin", {{kFlashBase, one}, {kFlashBase + 0x10, two}});
  // Blocks without an answer: those of the first round stay so.
  TestSession session(port.fh());
  unsigned long unanswered = 0;
  for (int flags : {0, LD_NOCHKSUM | LD_VERBOSE}) {
    unanswered += 11;
    session->flags = flags;
    img.get()->cchunk = img.get()->cpos = 0;
    const auto start = Clock::now();
    EXPECT_EQ(ld_init_device(session.get()), 0);
    EXPECT_EQ(ld_erase_all(session.get()), 0);
    EXPECT_EQ(ld_restart(session.get(), 0x08000000), 0);
    EXPECT_LT(seconds_since(start), kTestWaitMs / 1000.0) << "no acknowledgement was awaited";
    // The writes go out all the same; then the answers that never came
    // fail them.
    errno = 0;
    EXPECT_EQ(ld_write_image(session.get(), img.get()), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(session->facts.check_refused, 0u);
    EXPECT_EQ(session->facts.check_missing, unanswered);
  }
  // The simulated module cuts the stream into blocks by their expected
  // lengths, so the second round, without checksums, is checked as bytes.
  const std::vector<Bytes> with_sums = {{0x7F},
                                        {0x43, 0xBC},
                                        {0xFF, 0x00},
                                        {0x21, 0xDE},
                                        {0x08, 0x00, 0x00, 0x00, 0x08},
                                        {0x31, 0xCE},
                                        {0x08, 0x00, 0x00, 0x00, 0x08},
                                        data_block(one),
                                        {0x31, 0xCE},
                                        {0x08, 0x00, 0x00, 0x10, 0x18},
                                        data_block(two)};
  const Bytes without_sums = cat(cat(cat(cat({0x7F, 0x43, 0xFF, 0x21, 0x08, 0x00, 0x00, 0x00, 0x31,
                                              0x08, 0x00, 0x00, 0x00, 0x07},
                                             one),
                                         {0x31, 0x08, 0x00, 0x00, 0x10, 0x07}),
                                     two),
                                 {});
  Bytes want;
  for (const auto &b : with_sums) want = cat(want, b);
  want = cat(want, without_sums);
  auto received = [](const std::vector<SimLogRecord> &log) {
    Bytes all;
    for (const auto &r : of_kind(log, "rx")) all = cat(all, parse_hex_bytes(r.rest));
    return all;
  };
  wait_for_log(
      sim,
      [&](const std::vector<SimLogRecord> &log) { return received(log).size() >= want.size(); },
      5000);
  EXPECT_EQ(received(sim.log()), want);
}

TEST(LoaderRetry, ARefusedBlockStartsItsWholeCommandAgainUpToThreeTries) {
  const char one = 0x5A;
  const Bytes cmd43 = {0x43, 0xBC}, erase = {0xFF, 0x00}, get = {0x00, 0xFF};
  const Bytes addr = {0x08, 0x00, 0x00, 0x00, 0x08}, data = {0x00, 0x5A, 0x5A};
  // After a refusal inside a command, a probe pair shows the boot loader
  // takes a fresh pair as one.
  const Bytes filler = {0xA4, 0xA4};
  const auto erase_all = [](ld_session *s) { return long(ld_erase_all(s)); };
  const WireCase rows[] = {
      {"two refusals, then accepted",
       {"--nack-cmd", "0x43:2"},
       erase_all,
       0,
       0,
       {cmd43, cmd43, cmd43, erase}},
      {"refused three times: the command list is asked for and names no 0x44",
       {"--nack-cmd", "0x43:3"},
       erase_all,
       -1,
       EINVAL,
       {cmd43, cmd43, cmd43, get}},
      // Not acted on: recovery bytes until one is refused, a probe pair,
      // then the whole command again. The second recovery byte differs from
      // the first: had the 0xFF been lost, 0x00 would count one page, and
      // two equal bytes would erase it.
      {"a wrong byte instead of the acknowledgement",
       {"--wrong-byte", "3:0x55"},
       erase_all,
       0,
       0,
       {cmd43, erase, {0xA4, 0xA6}, {0xA4, 0xA4}, cmd43, erase}},
      {"data block refused: the whole command again",
       {"--nack-block", "4"},
       [&](ld_session *s) { return long(_ld_send_frag(s, &one, 1, kFlashBase)); },
       0,
       0,
       {{0x31, 0xCE}, addr, data, filler, {0x31, 0xCE}, addr, data}},
      // A block of fixed length refused in line leaves nothing over: no probe.
      {"address outside flash refused in three tries",
       {},
       [&](ld_session *s) { return long(_ld_send_frag(s, &one, 1, 0x100)); },
       -1,
       EINVAL,
       {{0x31, 0xCE},
        {0, 0, 1, 0, 1},
        {0x31, 0xCE},
        {0, 0, 1, 0, 1},
        {0x31, 0xCE},
        {0, 0, 1, 0, 1}}},
  };
  for (const auto &r : rows) check_wire_case(r);
}

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

TEST(LoaderErase, TheExtendedEraseIsReportedWithItsBudget) {
  SimProcess sim({"--extended-erase"});
  SimPort port(sim);
  TestSession session(port.fh());
  ASSERT_EQ(ld_init_device(session.get()), 0);
  EventLog events;
  events.attach(session.get());
  EXPECT_EQ(ld_erase_all(session.get()), 0);
  EXPECT_EQ(events.seen, (std::vector<EventLog::Event>{{LD_EVENT_EXTENDED_ERASE, kTestLongMs}}));
  // The refused 0x43 pairs are the boot loader's answer, no fault of the line.
  EXPECT_EQ(session->facts.line_faults, 0u);
  EXPECT_EQ(session->facts.refusals, 1u);
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

TEST(LoaderWriteImage, WritesEveryFragmentInOrderToItsOwnAddressAndPrintsNothingElse) {
  SimProcess sim({"--flash-size", "0x2000"});
  SimPort port(sim);
  ASSERT_GE(port.fh(), 0);
  TestSession session(port.fh(), LD_WAITACK | LD_VERBOSE);
  ASSERT_EQ(ld_init_device(session.get()), 0);
  const Bytes first = counting(300, 1), second = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
  HandImage img("two.hex", {{kFlashBase, first}, {kFlashBase + 0x1000, second}});
  StderrCapture err;
  errno = -1;
  EXPECT_EQ(ld_write_image(session.get(), img.get()), 0);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(err.finish(), "");
  ASSERT_EQ(sim.stop(), 0);
  std::vector<std::string> writes;
  for (const auto &e : sim.events()) {
    if (e.rfind("write", 0) == 0) writes.push_back(e);
  }
  // Whole flash words of 8 bytes, padded with 0xFF.
  EXPECT_EQ(writes, (std::vector<std::string>{"write 08000000 256", "write 08000100 48",
                                              "write 08001000 8"}));
  std::string want(0x2000, '\xFF');
  std::copy(first.begin(), first.end(), want.begin());
  std::copy(second.begin(), second.end(), want.begin() + 0x1000);
  EXPECT_EQ(sim.dump(), want);
}

TEST(LoaderWriteImage, ReportsEachFragmentBeforeItGoesOut) {
  for (int fragments : {0, 20, 21, 45}) {
    SimProcess sim;
    SimPort port(sim);
    ASSERT_GE(port.fh(), 0);
    TestSession session(port.fh());
    ASSERT_EQ(ld_init_device(session.get()), 0);
    std::vector<Chunk> chunks;
    if (fragments) chunks.push_back({kFlashBase, counting(size_t(fragments) * 256)});
    HandImage img("fw.hex", chunks);
    EventLog events;
    events.attach(session.get());
    EXPECT_EQ(ld_write_image(session.get(), img.get()), 0) << fragments;
    EXPECT_EQ(events.seen, std::vector<EventLog::Event>(size_t(fragments), {LD_EVENT_BLOCK, 256}))
        << fragments;
    // The sync, three blocks per fragment, and the closing Get Version.
    const size_t blocks = 1 + 3 * size_t(fragments) + (fragments ? 1 : 0);
    EXPECT_EQ(blocks_received(sim, blocks).size(), blocks);
  }
}

TEST(LoaderWriteImage, AFailureOnTheThirdFragmentEndsTheWriteWithTheCause) {
  SimProcess sim({"--hangup-after", "2"});
  SimPort port(sim);
  ASSERT_GE(port.fh(), 0);
  TestSession session(port.fh());
  ASSERT_EQ(ld_init_device(session.get()), 0);
  HandImage img("fw.hex", {{kFlashBase, counting(5 * 256)}});
  EventLog events;
  events.attach(session.get());
  StderrCapture err;
  errno = 0;
  EXPECT_EQ(ld_write_image(session.get(), img.get()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(err.finish(), "") << "the loader prints nothing";
  EXPECT_EQ(events.seen.size(), 3u);
}
