// Tests of the simulated module's boot loader fed in-process: framing,
// refusals, the faults it shows on request, and flash words written twice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "capture.h"
#include "sim_in_process.h"
#include "testsupport.h"

using namespace testsupport;

TEST(SimBootLoader, AnswersSyncGetIdEraseWriteAndGoAndProgramsTheFlash) {
  InProcess m;
  EXPECT_EQ(m.ask({0x7F}), Bytes{ACK});
  EXPECT_EQ(m.ask({0x02, 0xFD}), (Bytes{ACK, 0x01, 0x04, 0x10, ACK}));
  EXPECT_EQ(m.ask({0x43, 0xBC}), Bytes{ACK});
  EXPECT_EQ(m.ask({0xFF, 0x00}), Bytes{ACK});
  EXPECT_EQ(m.ask({0x31, 0xCE}), Bytes{ACK});
  EXPECT_EQ(m.ask(address_block(0x08000010)), Bytes{ACK});
  EXPECT_EQ(m.ask(data_block({1, 2, 3, 4})), Bytes{ACK});
  EXPECT_EQ(m.ask({0x21, 0xDE}), Bytes{ACK});
  EXPECT_EQ(m.ask(address_block(0x08000000)), Bytes{ACK});
  EXPECT_EQ(m.ask({0x7F}), Bytes{}) << "the application answered";

  const std::string flash = m.flash();
  ASSERT_EQ(flash.size(), 131072u);
  EXPECT_EQ(flash.substr(0x0E, 8), std::string("\xff\xff\x01\x02\x03\x04\xff\xff", 8));
  EXPECT_EQ(m.events(), (std::vector<std::string>{"sync", "cmd get-id", "cmd erase global", "erase",
                                                  "cmd write 08000010 4", "write 08000010 4",
                                                  "cmd go 08000000", "go 08000000"}));
}

// Each case: simulator arguments, then exchanges in order. A refusal ends
// its command: the next block is a command pair again.
TEST(SimBootLoader, RefusesWhatARealBootLoaderRefusesAndShowsRequestedFaults) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"each byte before sync is a refused block",
       {},
       {{{0x02, 0xFD}, {NACK, NACK}}, {{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"a lone sync after synchronisation is the first byte of a pair",
       {},
       {{{0x7F}, {ACK}}, {{0x7F}, {}}, {{0x7F}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"a wrong complement and commands not offered",
       {},
       {{{0x7F}, {ACK}},
        {{0x02, 0xFC}, {NACK}},
        {{0x44, 0xBB}, {NACK}},
        {{0x63, 0x9C}, {NACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"a refused erase parameter ends the command",
       {},
       {{{0x7F}, {ACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x01}, {NACK}},
        {{0xFF, 0x00}, {NACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}}}},
      {"address and data checksums",
       {},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {{0x08, 0, 0, 0, 0x09}, {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000000), {ACK}},
        {{0x03, 1, 2, 3, 4, 0x05}, {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000000), {ACK}},
        {data_block({1, 2, 3, 4}), {ACK}},
        {{0x21, 0xDE}, {ACK}},
        {{0x08, 0, 0, 0, 0}, {NACK}}}},
      {"an incomplete block takes the next bytes as its rest",
       {},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {{0x08, 0x00, 0x00}, {}},
        {{0x31, 0xCE}, {NACK}},
        {{0x31, 0xCE}, {ACK}}}},
      {"addresses outside flash and RAM, address 0 among them",
       {"--flash-size", "0x100"},
       {{{0x7F}, {ACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x07FFFFFF), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x08000100), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0), {NACK}},
        {{0x21, 0xDE}, {ACK}},
        {address_block(0), {NACK}},
        {{0x11, 0xEE}, {ACK}},
        {address_block(0), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x080000FC), {ACK}},
        {data_block(counting(8)), {NACK}},
        {{0x31, 0xCE}, {ACK}},
        {address_block(0x080000FC), {ACK}},
        {data_block(counting(4)), {ACK}}}},
      {"nack-block counts the sync byte",
       {"--nack-block", "1", "--nack-block", "3"},
       {{{0x7F}, {NACK}}, {{0x7F}, {ACK}}, {{0x43, 0xBC}, {NACK}}, {{0x43, 0xBC}, {ACK}}}},
      {"nack-cmd refuses the first attempts",
       {"--nack-cmd", "0x43:2", "--nack-cmd", "0x7f:1"},
       {{{0x7F}, {NACK}},
        {{0x7F}, {ACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}},
        {{0x43, 0xBC}, {ACK}}}},
      {"wrong-byte answers in place of the ACK and ends the command",
       {"--wrong-byte", "3:0x55"},
       {{{0x7F}, {ACK}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {0x55}},
        {{0x43, 0xBC}, {ACK}},
        {{0xFF, 0x00}, {ACK}}}},
      {"identifier of four bytes",
       {"--id", "0x12345678"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x12, 0x34, 0x56, 0x78, ACK}}}},
      {"identifier just past two bytes",
       {"--id", "0x10000"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 3, 0x00, 0x01, 0x00, 0x00, ACK}}}},
      {"small identifier",
       {"--id", "65"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x00, 0x41, ACK}}}},
      {"identifier cut short",
       {"--id-short", "1"},
       {{{0x7F}, {ACK}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}, {{0x02, 0xFD}, {ACK, 1, 0x04}}}},
      {"already listening: the host's first sync waits for a second byte",
       {"--already-synced"},
       {{{0x7F}, {}}, {{0x7F}, {NACK}}, {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}}}},
      {"read-out protection lets only Get, Get Version, Get ID and 0x92 by",
       {"--read-protected"},
       {{{0x7F}, {ACK}},
        {{0x11, 0xEE}, {NACK}},
        {{0x31, 0xCE}, {NACK}},
        {{0x43, 0xBC}, {NACK}},
        {{0x21, 0xDE}, {NACK}},
        {{0x01, 0xFE}, {ACK, 0x22, 0, 0, ACK}},
        {{0x02, 0xFD}, {ACK, 1, 4, 0x10, ACK}},
        {{0x92, 0x6D}, {ACK, ACK}}}},
      {"write protection refuses the erase",
       {"--write-protected", "--extended-erase"},
       {{{0x7F}, {ACK}},
        {{0x44, 0xBB}, {ACK}},
        {{0xFF, 0xFF, 0x00}, {NACK}},
        {{0x44, 0xBB}, {ACK}},
        {{0x00, 0x00, 0x00, 0x01, 0x01}, {NACK}},
        {{0x73, 0x8C}, {ACK, ACK}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    InProcess m(c.args);
    // Exactly the expected answers, nothing more.
    for (const Step &s : c.steps) EXPECT_EQ(m.ask(s.send), s.expect);
  }
}

TEST(SimBootLoader, SilentModuleLogsTheBlocksButNeverAnswers) {
  InProcess m({"--silent"});
  EXPECT_EQ(m.ask({0x7F}), Bytes{});
  EXPECT_EQ(m.ask({0x7F}), Bytes{});
  EXPECT_EQ(rests(of_kind(m.log(), "rx")), (std::vector<std::string>{"7f", "7f"}));
}

TEST(SimBootLoader, WriteOverAWordNotErasedIsRefusedAndReported) {
  InProcess m({"--already-synced"});
  Bytes full = counting(256);
  std::vector<Step> steps = write_steps(0x0801FF00, full);  // the last 256 bytes
  for (const Step &s : write_steps(0x08000004, {0xF0, 0xFF, 0xFF, 0xFF})) steps.push_back(s);
  steps.push_back({{0x31, 0xCE}, {ACK}});
  steps.push_back({address_block(0x08000000), {ACK}});
  steps.push_back({data_block(Bytes(8, 0x0F)), {NACK}});
  StderrCapture err;
  for (const Step &s : steps) EXPECT_EQ(m.ask(s.send), s.expect);
  EXPECT_NE(err.finish().find("0x08000004 was programmed since its erase"), std::string::npos);

  const std::string flash = m.flash();
  EXPECT_EQ(flash.substr(0, 8), std::string("\xff\xff\xff\xff\xf0\xff\xff\xff", 8));
  EXPECT_EQ(flash.substr(0x1FF00), std::string(full.begin(), full.end()));
  EXPECT_EQ(m.events(), (std::vector<std::string>{"cmd write 0801ff00 256", "write 0801ff00 256",
                                                  "cmd write 08000004 4", "write 08000004 4",
                                                  "twice 08000004"}));
}

namespace {

// A boot loader that took a wrong line speed answers every byte with
// garbage, whatever it is, until it restarts.
TEST(SimBootLoader, AWrongLineSpeedAnswersGarbageUntilTheRestart) {
  InProcess m;
  m.take_wrong_speed();
  EXPECT_EQ(m.ask({0x7F}), Bytes{sim::kGarbage});
  EXPECT_EQ(m.ask({0x02, 0xFD}), (Bytes{sim::kGarbage, sim::kGarbage}));
  m.restart();
  EXPECT_EQ(m.ask({0x7F}), Bytes{sim::kAck});
}

}  // namespace
