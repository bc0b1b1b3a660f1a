// Short runs of the real flasher against the simulated module with one host
// byte lost or damaged, or one reply byte damaged, and the judgement every
// such run must pass: it ends 0 with the image in flash and only the commands
// the flasher meant acted on, or it ends non-zero with nothing outside its
// plan changed, and anything acted on outside the image named.
#ifndef TARVION_SWEEP_RUNS_H
#define TARVION_SWEEP_RUNS_H

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "flasher.h"
#include "images.h"

namespace testsupport {

constexpr uint32_t kSweepBase = 0x08000000;

// What a short run does: the module's part and the flasher's options.
struct Scenario {
  const char *name;
  std::vector<std::string> module;
  std::vector<std::string> flasher;
  uint32_t page;                  // the part's page size
  uint32_t flash_size;            // the part's flash size
  std::vector<Chunk> image = {};  // none: two fragments of 16 bytes, at pages 0 and 1
  bool profile = false;           // a part's: sampled with a damaged reply alone, no lines
};

inline const std::vector<Scenario> &sweep_scenarios() {
  // A profile's part erases in a hundredth of its time: what a profile shows
  // is what a damaged reply makes the run erase and write, not how long.
  const auto part = [](const char *id, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--part", id, "--erase-scale", "0.01"});
    return more;
  };
  // A G0 that ignores its boot-select pin would start its application.
  const std::vector<std::string> counts = {"--option-word", "0xFEFFFEAA"};
  static const std::vector<Scenario> s = {
      {"global erase 0x43", {"--part", "0x414"}, {}, 2048, 512 * 1024},
      {"erase=image 0x43", {"--part", "0x414"}, {"--erase=image"}, 2048, 512 * 1024},
      {"erase=image 0x44", {"--part", "0x442"}, {"--erase=image"}, 2048, 256 * 1024},
      {"mass erase 0x44", {"--part", "0x442"}, {}, 2048, 256 * 1024},
      {"verify", {"--part", "0x414"}, {"--verify"}, 2048, 512 * 1024},
      {"go", {"--part", "0x414"}, {"--go"}, 2048, 512 * 1024},
      {"F401", part("0x423"), {"--erase=image"}, 16384, 256 * 1024, {}, true},
      {"F4", part("0x413"), {"--erase=image"}, 16384, 1024 * 1024, {}, true},
      {"G0", part("0x460", counts), {"--erase=image"}, 2048, 128 * 1024, {}, true},
      {"L0", part("0x417"), {"--erase=image"}, 128, 64 * 1024, {}, true},
      {"H7", part("0x450"), {"--erase=image"}, 128 * 1024, 2048 * 1024, {}, true},
      {"F1", part("0x410"), {"--erase=image"}, 1024, 128 * 1024, {}, true},
  };
  return s;
}

// The image: two fragments, at the start of pages 0 and 1.
inline std::vector<Chunk> sweep_image(const Scenario &s) {
  if (!s.image.empty()) return s.image;
  return {{kSweepBase, pattern(16, 1)}, {kSweepBase + s.page, pattern(16, 2)}};
}

// What the flash held before: anything but erased.
inline std::string sweep_preload(const Scenario &s) {
  std::string p(s.flash_size, '\0');
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>(0x5A ^ (i * 7));
  return p;
}

inline bool erases_pages_only(const Scenario &s) {
  for (const auto &a : s.flasher)
    if (a == "--erase=image") return true;
  return false;
}

// The flash a run that ended 0 must leave.
inline std::string sweep_expected_flash(const Scenario &s) {
  std::string f = sweep_preload(s);
  if (erases_pages_only(s))
    std::fill(f.begin(), f.begin() + 2 * s.page, '\xFF');
  else
    f.assign(f.size(), '\xFF');
  for (const auto &c : sweep_image(s))
    std::copy(c.bytes.begin(), c.bytes.end(), f.begin() + (c.offset - kSweepBase));
  return f;
}

struct SweepOutcome {
  int status = -1;
  std::string err;
  std::vector<std::string> events;
  std::string flash;
  size_t host_bytes = 0;  // bytes the module received
  size_t opening = 0;     // reply bytes before the first erase or write command
  std::vector<SimLogRecord> log;
};

// The position (from 1) of byte `offset` of the first (or the last) block
// the module received that begins with `start`; 0 when there is none.
inline size_t host_position(const SweepOutcome &o, const Bytes &start, size_t offset,
                            bool last = false) {
  size_t before = 0, found = 0;
  for (const auto &r : of_kind(o.log, "rx")) {
    const Bytes b = parse_hex_bytes(r.rest);
    if (b.size() >= start.size() && std::equal(start.begin(), start.end(), b.begin())) {
      found = before + offset + 1;
      if (!last) return found;
    }
    before += b.size();
  }
  return found;
}

// The byte at position pos (from 1) of what the module received (rx) or
// sent (tx); -1 when there is none.
inline int wire_byte(const SweepOutcome &o, const char *kind, size_t pos) {
  size_t before = 0;
  for (const auto &r : of_kind(o.log, kind)) {
    const Bytes b = parse_hex_bytes(r.rest);
    if (pos > before && pos <= before + b.size()) return b[pos - before - 1];
    before += b.size();
  }
  return -1;
}

// Whether each fault of a run (--lose-byte, --damage-byte, --damage-reply
// with its position) hit the byte a clean run had there: the module's log
// names it. Returns "" or what was missed.
inline std::string fault_missed(const SweepOutcome &clean, const std::vector<std::string> &faults,
                                const SweepOutcome &o) {
  std::string missed;
  for (size_t i = 0; i + 1 < faults.size(); i += 2) {
    const size_t pos = std::stoul(faults[i + 1]);
    const bool reply = faults[i] == "--damage-reply";
    const int b = wire_byte(clean, reply ? "tx" : "rx", pos);
    if (b < 0) return faults[i] + " " + faults[i + 1] + ": no such byte";
    std::ostringstream want;
    want << (faults[i] == "--lose-byte" ? "line lost "
             : reply                    ? "line damaged reply "
                                        : "line damaged ")
         << std::hex << (b < 16 ? "0" : "") << b;
    const auto events = o.events;
    if (std::none_of(events.begin(), events.end(),
                     [&](const std::string &e) { return e.rfind(want.str(), 0) == 0; }))
      missed += faults[i] + " " + faults[i + 1] + ": no \"" + want.str() + "\" in the log\n";
  }
  return missed;
}

// The position (from 1) of the first answer byte to the last block
// `block` (as the log writes it, "44 bb"); 0 when there is none.
inline size_t reply_position(const SweepOutcome &o, const std::string &block) {
  size_t sent = 0, found = 0;
  bool after = false;
  for (const auto &r : o.log) {
    if (r.kind == "rx" && r.rest == block) after = true;
    if (r.kind != "tx") continue;
    if (after) found = sent + 1;
    after = false;
    sent += parse_hex_bytes(r.rest).size();
  }
  return found;
}

// One run, with both lines or with none, the module given `faults`.
inline SweepOutcome sweep_run(const Scenario &s, bool lines,
                              const std::vector<std::string> &faults) {
  TempDir dir;
  const std::string hex = dir.file("fw.hex"), pre = dir.file("pre.bin");
  write_file(hex, ihex_text(sweep_image(s)));
  write_file(pre, sweep_preload(s));
  std::vector<std::string> margs = s.module;
  margs.insert(margs.end(), {"--flash-init", pre});
  margs.insert(margs.end(), faults.begin(), faults.end());
  TempDir sysfs;
  if (lines) margs = WiredModule::with_lines(sysfs.path(), margs);
  SimProcess sim(margs);
  SweepOutcome o;
  if (!sim.ready()) return o;
  std::vector<std::string> args = {"-d", sim.tty_path(), "-F", hex};
  if (lines) args.insert(args.end(), {"-r", kResetPin, "-s", kBootPin});
  args.insert(args.end(), s.flasher.begin(), s.flasher.end());
  // A lost byte in the mass erase's block costs its whole long budget.
  ProcOptions po = flasher_options(lines ? sysfs.path() : "");
  po.timeout_ms = 150000;
  const ProcResult r = run_process(flasher_argv(dir, args), po);
  o.status = r.timed_out ? -2 : r.status;
  o.err = r.err;
  sim.stop();
  o.events = sim.events();
  o.flash = sim.dump();
  o.log = sim.log();
  for (const auto &b : sim.rx_blocks()) o.host_bytes += b.size();
  for (const auto &r : o.log) {
    if (r.kind == "rx" && (r.rest == "43 bc" || r.rest == "44 bb" || r.rest == "31 ce")) break;
    if (r.kind == "tx") o.opening += parse_hex_bytes(r.rest).size();
  }
  return o;
}

// The acts of the module's log that the flasher did not mean, one per line.
inline std::string unmeant_acts(const Scenario &s, const SweepOutcome &o) {
  // A write inside a fragment's words (padded to 32 bytes, the largest)
  // changes nothing outside the image; its content the flash itself shows.
  const auto inside = [&](uint32_t addr, uint32_t len) {
    for (const auto &c : sweep_image(s))
      if (addr >= c.offset && addr + len <= c.offset + ((c.bytes.size() + 31) & ~size_t(31)))
        return true;
    return false;
  };
  std::string bad;
  for (const auto &e : o.events) {
    std::istringstream in(e);
    std::string word, what;
    in >> word >> what;
    if (word != "cmd" || what == "get" || what == "get-version" || what == "get-id" ||
        what == "read")
      continue;
    bool meant = false;
    if (what == "erase") {
      std::string kind;
      in >> kind;
      if (kind == "pages") {
        unsigned p = 0;
        meant = erases_pages_only(s);
        while (in >> p) meant = meant && p < 2;
      } else {
        meant = !erases_pages_only(s) && (kind == "global" || kind == "mass");
      }
    } else if (what == "write" || what == "go") {
      uint32_t addr = 0, len = 16;
      in >> std::hex >> addr >> std::dec >> len;
      meant =
          what == "write" ? inside(addr, len) : addr == kSweepBase && s.name == std::string("go");
    }
    if (!meant) bad += e + "\n";
  }
  return bad;
}

// "" when the run passes, else what is wrong with it.
inline std::string judge_sweep_run(const Scenario &s, const SweepOutcome &o) {
  const std::string unmeant = unmeant_acts(s, o);
  if (o.status == 0) {
    if (!unmeant.empty()) return "status 0 after acts not meant:\n" + unmeant;
    if (o.flash != sweep_expected_flash(s)) return "status 0 with the wrong flash";
    return "";
  }
  if (o.status < 0) return "no end: " + std::to_string(o.status);
  if (!unmeant.empty() && o.err.find("outside the image may have been") == std::string::npos)
    return "acts not meant and not named:\n" + unmeant + o.err;
  // The plan: the image's pages, or the whole flash.
  const std::string before = sweep_preload(s);
  const size_t plan = erases_pages_only(s) ? 2 * s.page : before.size();
  if (o.flash.size() != before.size() || o.flash.compare(plan, before.npos, before, plan) != 0)
    return "flash outside the plan changed:\n" + o.err;
  return "";
}

}  // namespace testsupport

#endif
