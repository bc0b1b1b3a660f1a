// The boot-loader protocol against the simulated module over a real
// pseudo-terminal: the bytes every operation sends, its retries, and the
// image writer with its progress display.
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
#include "loader_testing.h"
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
       {{0x43, 0xBC},
        {0x43, 0xBC},
        {0x43, 0xBC},
        {0x00, 0xFF},
        {0x00, 0xFF},
        {0x44, 0xBB},
        {0xFF, 0xFF, 0x00}}},
      {"erase, a refused mass erase: the command again from its pair",
       {"--extended-erase", "--nack-block", "8"},
       [](ld_session *s) { return long(ld_erase_all(s)); },
       0,
       0,
       {{0x43, 0xBC},
        {0x43, 0xBC},
        {0x43, 0xBC},
        {0x00, 0xFF},
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
       {{0x01, 0xFE}, {0x01, 0xFE}}},
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
       {cmd43, cmd43, cmd43, get, get}},
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
