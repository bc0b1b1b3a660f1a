// The faults a recovery itself could cause. The boot loader has no time-out:
// a block that lost a byte takes the next bytes as its rest. What the
// flasher sends to bring it back must complete no block with a fitting
// checksum, a restart through the reset line replaces it where there is one,
// and an act the flasher did not mean never ends with status 0. Each row is
// judged as the sweep judges a run (tests/support/sweep_runs.h).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bootloader.h"
#include "flash.h"
#include "loader_internal.h"
#include "log.h"
#include "sweep_runs.h"

namespace {

using namespace testsupport;

// The simulated module's boot loader in-process, synchronised.
struct BootLoaderAlone {
  sim::SimOptions opts;
  sim::Flash flash;
  sim::Log log{0};
  sim::BootLoader loader;
  explicit BootLoaderAlone(bool extended)
      : opts(options(extended)),
        flash(opts.flash_base, opts.flash_size, opts.page_size, opts.sectors, opts.program_unit),
        loader(opts, flash, log) {}
  static sim::SimOptions options(bool extended) {
    sim::SimOptions o;
    o.already_synced = true;
    o.extended_erase = extended;
    if (extended) o.version = 0x31;
    return o;
  }
  // Feeds the bytes; returns how many of the blocks they completed were
  // acknowledged.
  int acks(const Bytes &bytes) {
    int n = 0;
    for (uint8_t b : bytes) {
      sim::Reply r;
      if (loader.feed(b, r) && !r.bytes.empty() && r.bytes[0] == ACK) ++n;
    }
    return n;
  }
};

// A block as it goes out: its bytes and their checksum (a one-byte block:
// its complement).
Bytes framed(const Bytes &b) {
  uint8_t x = b.size() == 1 ? 0xFF : 0;
  for (uint8_t v : b) x ^= v;
  return cat(b, {x});
}

struct BlockCase {
  const char *what;
  bool extended;
  uint8_t code;
  std::vector<Bytes> blocks;
  int sent;  // the block whose answer was unclear; -1: the command pair
  // A fragment that holds every byte value: any first recovery byte
  // completes it for one lost byte (the write is then read back).
  bool every_value = false;
};

// Every way a single lost byte, a single flipped bit, or any value of a
// count byte can have left the boot loader: the recovery bytes the flasher
// picks for the block then complete nothing that the boot loader accepts.
void check_recovery_completes_nothing(const BlockCase &c) {
  SCOPED_TRACE(c.what);
  std::vector<ld_block> blocks;
  for (const auto &b : c.blocks)
    blocks.push_back({reinterpret_cast<const char *>(b.data()), int(b.size()), 0});
  const ld_command cmd = {c.code, blocks.data(), int(blocks.size()), nullptr, 0, nullptr, nullptr};
  Bytes before, wire = {c.code, uint8_t(c.code ^ 0xFF)};
  for (int i = 0; i < c.sent; ++i) before = cat(before, framed(c.blocks[size_t(i)]));
  if (c.sent >= 0) {
    before = cat(wire, before);
    wire = framed(c.blocks[size_t(c.sent)]);
  }
  ld_internal::Recovery r(&cmd, c.sent, wire.data(), wire.size());
  Bytes recovery;
  while (!r.exhausted() && recovery.size() < 200000) recovery.push_back(r.next());
  EXPECT_EQ(r.uncovered(), c.every_value);
  if (c.every_value) return;
  std::vector<Bytes> variants = {wire};
  for (size_t p = 0; p < wire.size(); ++p) {
    Bytes lost = wire;
    lost.erase(lost.begin() + long(p));
    variants.push_back(lost);
    for (int v = 1; v < 256; ++v) {
      const bool count = p < (c.code == LD_CMD_EXT_ERASE ? 2u : 1u);
      if (!count && (v & (v - 1))) continue;
      Bytes damaged = wire;
      damaged[p] = uint8_t(damaged[p] ^ v);
      variants.push_back(damaged);
    }
  }
  for (const auto &v : variants) {
    BootLoaderAlone m(c.extended);
    ASSERT_EQ(m.acks(before), c.sent + 1);
    (void)m.acks(v);
    ASSERT_EQ(m.acks(recovery), 0) << "after " << ::testing::PrintToString(v);
  }
}

TEST(FaultsRecovery, RecoveryBytesCompleteNoBlockThatOneFaultCouldHaveLeftOpen) {
  const Bytes addr = {0x08, 0x00, 0x00, 0x00};
  Bytes half = pattern(256, 4);
  for (auto &b : half) b &= 0x7F;
  const BlockCase cases[] = {
      {"global erase's pair", false, LD_CMD_ERASE, {{0xFF}}, -1},
      {"global erase", false, LD_CMD_ERASE, {{0xFF}}, 0},
      {"page list of Erase", false, LD_CMD_ERASE, {{0x01, 0x00, 0x01}}, 0},
      {"page list of Extended Erase", true, LD_CMD_EXT_ERASE, {{0, 1, 0, 0, 0, 1}}, 0},
      {"mass erase", true, LD_CMD_EXT_ERASE, {{0xFF, 0xFF}}, 0},
      {"write's address", false, LD_CMD_WRITE, {addr, cat({0x0F}, pattern(16, 1))}, 0},
      {"write's data", false, LD_CMD_WRITE, {addr, cat({0x0F}, pattern(16, 1))}, 1},
      {"write's data, 256 bytes of 128 values", false, LD_CMD_WRITE, {addr, cat({0xFF}, half)}, 1},
      {"write's data, every byte value",
       false,
       LD_CMD_WRITE,
       {addr, cat({0xFF}, pattern(256, 4))},
       1,
       true},
      {"read's count", false, LD_CMD_READ, {addr, {0x0F}}, 1},
      {"Go's address", false, LD_CMD_GO, {addr}, 0},
  };
  for (const auto &c : cases) check_recovery_completes_nothing(c);
}

const Scenario &scenario(const char *name) {
  for (const auto &s : sweep_scenarios())
    if (s.name == std::string(name)) return s;
  return sweep_scenarios().front();
}

struct RecoveryRow {
  const char *what;
  Scenario scenario;
  // The module's faults, placed by what a clean run received and answered.
  std::function<std::vector<std::string>(const SweepOutcome &clean)> faults;
  int status;
  std::string err_has;      // a text the run's messages must hold
  size_t max_after_go = 0;  // > 0: bytes the module may receive after acting on Go
};

std::vector<std::string> at(const char *fault, size_t pos, const char *mask = nullptr) {
  return {fault, std::to_string(pos) + (mask ? std::string(":") + mask : "")};
}

size_t bytes_after_go(const SweepOutcome &o) {
  size_t n = 0;
  bool gone = false;
  for (const auto &r : o.log) {
    if (r.kind == "event" && r.rest.rfind("cmd go", 0) == 0) gone = true;
    if (gone && r.kind == "rx") n += parse_hex_bytes(r.rest).size();
  }
  return n;
}

void check_row(const RecoveryRow &r) {
  for (bool lines : {false, true}) {
    SCOPED_TRACE(std::string(r.what) + (lines ? ", with lines" : ", without lines"));
    const SweepOutcome clean = sweep_run(r.scenario, lines, {});
    ASSERT_EQ(clean.status, 0) << clean.err;
    const std::vector<std::string> faults = r.faults(clean);
    // A loaded machine can make the module miss the first 0x7F as it
    // starts: the bytes after it then move, and the fault misses its byte.
    // Such a run is repeated.
    SweepOutcome o = sweep_run(r.scenario, lines, faults);
    for (int again = 0; again < 2 && !fault_missed(clean, faults, o).empty(); ++again)
      o = sweep_run(r.scenario, lines, faults);
    EXPECT_EQ(fault_missed(clean, faults, o), "");
    EXPECT_EQ(judge_sweep_run(r.scenario, o), "") << o.err;
    EXPECT_EQ(o.status, r.status) << o.err;
    EXPECT_NE(o.err.find(r.err_has), std::string::npos) << o.err;
    if (r.max_after_go > 0 && !lines) {
      EXPECT_LE(bytes_after_go(o), r.max_after_go);
    }
  }
}

// A 256-byte fragment whose block stays valid with its count damaged from
// 0xFF to 0xFE: the boot loader acknowledges 255 bytes and keeps the
// block's checksum as the first byte of a pair. On the last fragment no
// later write shows it; the closing Get Version does.
Scenario coincidence() {
  Scenario s = scenario("global erase 0x43");
  Bytes frag = pattern(256, 3);
  uint8_t x = 0xFE;
  for (size_t i = 0; i + 1 < frag.size(); ++i) x ^= frag[i];
  frag.back() = x;
  s.image = {{kSweepBase, pattern(16, 1)}, {kSweepBase + s.page, frag}};
  return s;
}

TEST(FaultsRecovery, AGlobalEraseThatLostItsFirstByteIsNotCompletedIntoAPageErase) {
  check_row({"the 0xFF of FF 00 lost", scenario("global erase 0x43"),
             [](const SweepOutcome &c) {
               return at("--lose-byte", host_position(c, {0xFF, 0x00}, 0));
             },
             0, "done"});
}

TEST(FaultsRecovery, APageListThatLostAPageNumberErasesNoPageOutsideTheImageUnsaid) {
  const Bytes list43 = {0x01, 0x00, 0x01};
  const Bytes list44 = {0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
  check_row({"0x43 list, second page lost", scenario("erase=image 0x43"),
             [=](const SweepOutcome &c) { return at("--lose-byte", host_position(c, list43, 2)); },
             0, "done"});
  check_row({"0x44 list, low byte of the second page lost", scenario("erase=image 0x44"),
             [=](const SweepOutcome &c) { return at("--lose-byte", host_position(c, list44, 5)); },
             0, "done"});
}

TEST(FaultsRecovery, AWriteThatLostADataByteIsNotCompletedIntoAShiftedFragment) {
  check_row({"first data byte of fragment 2 lost", scenario("global erase 0x43"),
             [](const SweepOutcome &c) {
               return at("--lose-byte", host_position(c, {0x0F, pattern(16, 2)[0]}, 1));
             },
             0, "done"});
}

TEST(FaultsRecovery, ALastFragmentEndedEarlyByADamagedCountIsReadBackNotCountedWritten) {
  check_row({"count 0xFF damaged to 0xFE, the checksum fitting by design", coincidence(),
             [](const SweepOutcome &c) {
               return at("--damage-byte", host_position(c, {0xFF, pattern(256, 3)[0]}, 0), "0x01");
             },
             0, "done"});
}

// A fragment whose first 249 bytes make a valid block with the count 0xFF
// damaged to 0xF7, and whose next bytes are a page erase of pages 0 and 16:
// the boot loader programs the short block, erases the pages and answers
// four times to the flasher's three blocks. That erase is no act of the
// flasher's: the run must name it and fail, with a reset line or without.
Scenario erase_in_a_fragment() {
  Scenario s = scenario("global erase 0x43");
  Bytes frag = pattern(256, 5);
  uint8_t x = 0xF7;
  for (size_t i = 0; i < 248; ++i) x ^= frag[i];
  frag[248] = x;
  const Bytes erase = {0x43, 0xBC, 0x01, 0x00, 0x10, 0x11};
  std::copy(erase.begin(), erase.end(), frag.begin() + 249);
  s.image = {{kSweepBase, frag}};
  return s;
}

TEST(FaultsRecovery, AnAcknowledgementTooManyInAWritesLastBlockFailsTheRun) {
  check_row({"count 0xFF damaged to 0xF7, the rest of the block an erase", erase_in_a_fragment(),
             [](const SweepOutcome &c) {
               return at("--damage-byte", host_position(c, {0xFF, pattern(256, 5)[0]}, 0), "0x08");
             },
             2,
             "The module acted on a damaged block: flash outside the image may have been erased "
             "or written\n"});
}

TEST(FaultsRecovery, AnExtendedEraseWaitingForALongListIsBroughtBack) {
  const Bytes list44 = {0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
  check_row({"count damaged to 0x8001: 65,541 bytes awaited", scenario("erase=image 0x44"),
             [=](const SweepOutcome &c) {
               return at("--damage-byte", host_position(c, list44, 0), "0x80");
             },
             0, "done"});
  check_row({"the pair's acknowledgement damaged: recovery bytes taken as the count",
             scenario("erase=image 0x44"),
             [](const SweepOutcome &c) {
               return std::vector<std::string>{"--damage-reply",
                                               std::to_string(reply_position(c, "44 bb"))};
             },
             0, "done"});
}

TEST(FaultsRecovery, AByteLostEarlyInTheRunIsRecoveredInGetIdToo) {
  check_row({"Get ID's complement lost", scenario("erase=image 0x43"),
             [](const SweepOutcome &c) {
               return at("--lose-byte", host_position(c, {0x02, 0xFD}, 1));
             },
             0, "done"});
}

TEST(FaultsRecovery, AnUnclearAnswerToGoSendsOneProbePairAtMostAndSaysSo) {
  const Bytes go = {0x08, 0x00, 0x00, 0x00, 0x08};
  check_row({"Go's address acknowledged, the answer damaged", scenario("go"),
             [](const SweepOutcome &c) {
               return std::vector<std::string>{"--damage-reply",
                                               std::to_string(reply_position(c, "08 00 00 00 08"))};
             },
             2, "Can't confirm the start of the application: ", 2});
  check_row(
      {"a byte of Go's address lost: refused, Go again", scenario("go"),
       [=](const SweepOutcome &c) { return at("--lose-byte", host_position(c, go, 2, true)); }, 0,
       "done"});
}

}  // namespace

namespace {

using namespace testsupport;

// Without a reset line, an acknowledgement during a recovery cannot be told
// from a block the recovery completed: a page list whose acknowledgement
// comes that late is named as a possible erase outside the image, and the
// run does not end 0.
TEST(FaultsRecoverySlow, AnAcknowledgementDuringTheRecoveryOfAPageListIsNamed) {
  // The list's wait (a byte's and its page's) runs out first; the recovery
  // then sends single bytes, bursts and three more waits.
  const std::string erase_ms = std::to_string(kRunWaitMs * 9 / 2);
  const SweepOutcome o = sweep_run(scenario("erase=image 0x43"), false, {"--erase-ms", erase_ms});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("The module acted on a damaged block: flash outside the image may have "
                       "been erased\n"),
            std::string::npos)
      << o.err;
}

}  // namespace
