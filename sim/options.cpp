#include "options.h"

#include <getopt.h>

#include <cstdlib>
#include <vector>

#include "parts.h"

namespace sim {

namespace {

enum OptionId {
  kLink = 256,
  kFlashBase,
  kFlashSize,
  kId,
  kBaud,
  kEraseMs,
  kDump,
  kLog,
  kExitOnClose,
  kSilent,
  kGarbageBeforeAck,
  kNackBlock,
  kNackCmd,
  kWrongByte,
  kHangupAfter,
  kIdShort,
  kAckDelayMs,
  kSysfs,
  kResetGpio,
  kBootGpio,
  kExtendedErase,
  kGetReply,
  kPart,
  kPageSize,
  kProgramUnit,
  kNoMassErase,
  kEraseScale,
  kFlashInit,
  kReadProtected,
  kWriteProtected,
  kBootMs,
  kAlreadySynced,
  kDamageByte,
  kLoseByte,
  kDamageReply,
  kBitErrors,
  kLossRate,
  kSeed,
  kHelp,
  kAutobaudWindow,
  kZeroOnReset,
  kOptionWord,
  kResetAfterOptions,
  kNoResetAfterOptions,
  kOptionsNeedPowerCycle,
  kLoaderVersion,
  kDualBank,
  kBadOptionComplement
};

const struct option kLongOptions[] = {
    {"link", required_argument, nullptr, kLink},
    {"flash-base", required_argument, nullptr, kFlashBase},
    {"flash-size", required_argument, nullptr, kFlashSize},
    {"id", required_argument, nullptr, kId},
    {"baud", required_argument, nullptr, kBaud},
    {"erase-ms", required_argument, nullptr, kEraseMs},
    {"dump", required_argument, nullptr, kDump},
    {"log", required_argument, nullptr, kLog},
    {"exit-on-close", no_argument, nullptr, kExitOnClose},
    {"silent", no_argument, nullptr, kSilent},
    {"garbage-before-ack", no_argument, nullptr, kGarbageBeforeAck},
    {"nack-block", required_argument, nullptr, kNackBlock},
    {"nack-cmd", required_argument, nullptr, kNackCmd},
    {"wrong-byte", required_argument, nullptr, kWrongByte},
    {"hangup-after", required_argument, nullptr, kHangupAfter},
    {"id-short", required_argument, nullptr, kIdShort},
    {"ack-delay-ms", required_argument, nullptr, kAckDelayMs},
    {"sysfs", required_argument, nullptr, kSysfs},
    {"reset-gpio", required_argument, nullptr, kResetGpio},
    {"boot-gpio", required_argument, nullptr, kBootGpio},
    {"extended-erase", no_argument, nullptr, kExtendedErase},
    {"get-reply", required_argument, nullptr, kGetReply},
    {"part", required_argument, nullptr, kPart},
    {"page-size", required_argument, nullptr, kPageSize},
    {"program-unit", required_argument, nullptr, kProgramUnit},
    {"no-mass-erase", no_argument, nullptr, kNoMassErase},
    {"erase-scale", required_argument, nullptr, kEraseScale},
    {"flash-init", required_argument, nullptr, kFlashInit},
    {"read-protected", no_argument, nullptr, kReadProtected},
    {"write-protected", no_argument, nullptr, kWriteProtected},
    {"boot-ms", required_argument, nullptr, kBootMs},
    {"already-synced", no_argument, nullptr, kAlreadySynced},
    {"damage-byte", required_argument, nullptr, kDamageByte},
    {"lose-byte", required_argument, nullptr, kLoseByte},
    {"damage-reply", required_argument, nullptr, kDamageReply},
    {"bit-errors", required_argument, nullptr, kBitErrors},
    {"loss-rate", required_argument, nullptr, kLossRate},
    {"seed", required_argument, nullptr, kSeed},
    {"help", no_argument, nullptr, kHelp},
    {"autobaud-window", required_argument, nullptr, kAutobaudWindow},
    {"zero-on-reset", no_argument, nullptr, kZeroOnReset},
    {"option-word", required_argument, nullptr, kOptionWord},
    {"reset-after-options", no_argument, nullptr, kResetAfterOptions},
    {"no-reset-after-options", no_argument, nullptr, kNoResetAfterOptions},
    {"options-need-power-cycle", no_argument, nullptr, kOptionsNeedPowerCycle},
    {"loader-version", required_argument, nullptr, kLoaderVersion},
    {"dual-bank", required_argument, nullptr, kDualBank},
    {"bad-option-complement", no_argument, nullptr, kBadOptionComplement},
    {nullptr, 0, nullptr, 0},
};

constexpr uint64_t kMaxFlashSize = 64u << 20;  // keeps a mistyped size from eating memory
constexpr uint32_t kMaxMs = 600000;            // ten minutes: longer is surely a typo

// Decimal or 0x-hexadecimal, the whole text, no sign, at most max.
bool parse_number(const std::string &text, uint64_t max, uint64_t &value) {
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return false;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9')
      d = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    v = v * static_cast<unsigned>(base) + d;
    if (v > max) return false;
  }
  value = v;
  return true;
}

// Hex digit pairs, at least one, at most 512 bytes.
bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> &bytes) {
  if (text.empty() || text.size() % 2 || text.size() > 1024) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    uint64_t v = 0;
    if (!parse_number("0x" + text.substr(i, 2), 255, v)) return false;
    bytes.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// A plain decimal fraction such as 0.001 or 1e-5, from 0 to max.
bool parse_real(const std::string &text, double max, double &value) {
  if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos) return false;
  char *end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (*end != '\0' || !(v >= 0 && v <= max)) return false;
  value = v;
  return true;
}

// "A:B" with both parts numbers within their bounds.
bool parse_pair(const std::string &text, uint64_t max_a, uint64_t max_b, uint64_t &a, uint64_t &b) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  return parse_number(text.substr(0, colon), max_a, a) &&
         parse_number(text.substr(colon + 1), max_b, b);
}

struct Parser {
  SimOptions &opts;
  std::string &err;

  bool fail(const std::string &name, const std::string &arg) {
    err = "invalid argument '" + arg + "' for --" + name;
    return false;
  }

  bool number(const char *name, const std::string &arg, uint64_t min, uint64_t max, uint64_t &v) {
    if (!parse_number(arg, max, v) || v < min) return fail(name, arg);
    return true;
  }

  bool u32(const char *name, const std::string &arg, uint64_t min, uint64_t max, uint32_t &dst) {
    uint64_t v = 0;
    if (!number(name, arg, min, max, v)) return false;
    dst = static_cast<uint32_t>(v);
    return true;
  }

  bool text(const char *name, const std::string &arg, std::string &dst) {
    if (arg.empty()) return fail(name, arg);
    dst = arg;
    return true;
  }

  bool real(const char *name, const std::string &arg, double max, double &dst) {
    return parse_real(arg, max, dst) || fail(name, arg);
  }

  bool count(const char *name, const std::string &arg, std::set<uint64_t> &dst) {
    uint64_t v = 0;
    if (!number(name, arg, 1, UINT64_MAX >> 1, v)) return false;
    dst.insert(v);
    return true;
  }

  // K, or K:MASK for other bits than bit 0.
  bool damage(const char *name, const std::string &arg, std::map<uint64_t, uint8_t> &dst) {
    uint64_t k = 0, mask = 1;
    const bool ok = arg.find(':') == std::string::npos
                        ? parse_number(arg, UINT64_MAX >> 1, k)
                        : parse_pair(arg, UINT64_MAX >> 1, 0xFF, k, mask);
    if (!ok || k < 1 || mask < 1) return fail(name, arg);
    dst[k] = static_cast<uint8_t>(mask);
    return true;
  }

  bool flag(bool &dst) {
    dst = true;
    return true;
  }

  bool apply(int id, const std::string &arg);
  bool apply_line(int id, const std::string &arg);
  bool apply_module(int id, const std::string &arg);
  bool check();
  bool check_module();
};

bool Parser::apply(int id, const std::string &arg) {
  Faults &f = opts.faults;
  uint64_t v = 0, w = 0;
  switch (id) {
    case kLink:
      return text("link", arg, opts.link);
    case kDump:
      return text("dump", arg, opts.dump);
    case kLog:
      return text("log", arg, opts.log);
    case kSysfs:
      return text("sysfs", arg, opts.sysfs);
    case kExitOnClose:
      return flag(opts.exit_on_close);
    case kSilent:
      return flag(f.silent);
    case kGarbageBeforeAck:
      return flag(f.garbage_before_ack);
    case kGetReply:
      f.get_reply_given = parse_hex_bytes(arg, f.get_reply);
      return f.get_reply_given || fail("get-reply", arg);
    case kFlashBase:
      return u32("flash-base", arg, 0, 0xFFFFFFFFu, opts.flash_base);
    case kBaud:
      return u32("baud", arg, 0, 100000000, opts.baud);
    case kAckDelayMs:
      return u32("ack-delay-ms", arg, 0, kMaxMs, f.ack_delay_ms);
    case kNackBlock:
      return count("nack-block", arg, f.nack_blocks);
    case kHangupAfter:
      return u32("hangup-after", arg, 1, 0xFFFFFFFFu, f.hangup_after);
    case kIdShort:
      if (!number("id-short", arg, 0, 255, v)) return false;
      f.id_short = static_cast<int>(v);
      return true;
    case kNackCmd:
      if (!parse_pair(arg, 255, 0xFFFFFFFFu, v, w)) return fail("nack-cmd", arg);
      f.nack_cmds[static_cast<unsigned>(v)] = static_cast<uint32_t>(w);
      return true;
    case kWrongByte:
      if (!parse_pair(arg, UINT64_MAX >> 1, 255, v, w) || v == 0) return fail("wrong-byte", arg);
      f.wrong_bytes[v] = static_cast<unsigned>(w);
      return true;
    case kResetGpio:
    case kBootGpio:
      if (!number(id == kResetGpio ? "reset-gpio" : "boot-gpio", arg, 0, 99999, v)) return false;
      (id == kResetGpio ? opts.reset_gpio : opts.boot_gpio) = static_cast<int>(v);
      return true;
    default:
      return id >= kDamageByte && id <= kSeed ? apply_line(id, arg) : apply_module(id, arg);
  }
}

// Faults of the line.
bool Parser::apply_line(int id, const std::string &arg) {
  switch (id) {
    case kDamageByte:
      return damage("damage-byte", arg, opts.line.damage_byte);
    case kLoseByte:
      return count("lose-byte", arg, opts.line.lose_byte);
    case kDamageReply:
      return count("damage-reply", arg, opts.line.damage_reply);
    case kBitErrors:
      return real("bit-errors", arg, 1, opts.line.bit_error_rate);
    case kLossRate:
      return real("loss-rate", arg, 1, opts.line.loss_rate);
    case kSeed:
      return number("seed", arg, 0, 0xFFFFFFFFu, opts.line.seed);
    default:
      return false;
  }
}

// What the module is: part, flash, erase, protection and start-up.
bool Parser::apply_module(int id, const std::string &arg) {
  uint64_t v = 0;
  switch (id) {
    case kFlashSize:
      opts.flash_size_given = true;
      return u32("flash-size", arg, 1, kMaxFlashSize, opts.flash_size);
    case kId:
      opts.id_given = true;
      return u32("id", arg, 0, 0xFFFFFFFFu, opts.id);
    case kEraseMs:
      opts.erase_ms_given = true;
      return u32("erase-ms", arg, 0, kMaxMs, opts.erase_ms);
    case kPart:
      return u32("part", arg, 1, 0xFFF, opts.part);
    case kPageSize:
      opts.page_size_given = true;
      return u32("page-size", arg, 1, kMaxFlashSize, opts.page_size);
    case kProgramUnit:
      if (!number("program-unit", arg, 4, 32, v) || (v & (v - 1))) return fail("program-unit", arg);
      opts.program_unit_given = true;
      opts.program_unit = static_cast<uint32_t>(v);
      return true;
    case kEraseScale:
      return real("erase-scale", arg, 1000, opts.erase_scale);
    case kFlashInit:
      return text("flash-init", arg, opts.flash_init);
    case kBootMs:
      opts.boot_ms_given = true;
      return u32("boot-ms", arg, 0, kMaxMs, opts.boot_ms);
    case kAutobaudWindow:
      return u32("autobaud-window", arg, 0, kMaxMs * 1000u, opts.autobaud_window_us);
    case kZeroOnReset:
      return flag(opts.zero_on_reset);
    case kExtendedErase:
      return flag(opts.extended_erase);
    case kNoMassErase:
      return flag(opts.no_mass_erase);
    case kReadProtected:
      return flag(opts.read_protected);
    case kWriteProtected:
      return flag(opts.write_protected);
    case kAlreadySynced:
      return flag(opts.already_synced);
    case kOptionWord:
      opts.option_word_given = true;
      return u32("option-word", arg, 0, 0xFFFFFFFFu, opts.option_word);
    case kResetAfterOptions:
    case kNoResetAfterOptions:
      opts.reset_after_options = id == kResetAfterOptions;
      return true;
    case kOptionsNeedPowerCycle:
      return flag(opts.options_need_power_cycle);
    case kLoaderVersion:
      return u32("loader-version", arg, 1, 0xFF, opts.loader_version);
    case kDualBank:
      if (!number("dual-bank", arg, 0, 1, v)) return false;
      opts.dual_bank = static_cast<int>(v);
      return true;
    case kBadOptionComplement:
      return flag(opts.bad_option_complement);
    default:
      return false;
  }
}

// The part's facts under what the command line gave, then the checks that
// the flash's layout holds together.
bool Parser::check_module() {
  if (opts.part != 0 && apply_part(opts, err) != 0) return false;
  if (apply_option_bytes(opts, err) != 0) return false;
  if (apply_bank_layout(opts, err) != 0) return false;
  if (opts.extended_erase && opts.version < 0x30) opts.version = 0x31;
  if (opts.loader_version) opts.version = static_cast<uint8_t>(opts.loader_version);
  if (opts.page_size % opts.program_unit) {
    err = "the page size must be a multiple of the program unit";
    return false;
  }
  return true;
}

bool Parser::check() {
  bool any_gpio = !opts.sysfs.empty() || opts.reset_gpio >= 0 || opts.boot_gpio >= 0;
  bool all_gpio = !opts.sysfs.empty() && opts.reset_gpio >= 0 && opts.boot_gpio >= 0;
  if (any_gpio && !all_gpio) {
    err = "--sysfs, --reset-gpio and --boot-gpio go together";
    return false;
  }
  if (all_gpio && opts.reset_gpio == opts.boot_gpio) {
    err = "--reset-gpio and --boot-gpio must differ";
    return false;
  }
  if (!check_module()) return false;
  if (static_cast<uint64_t>(opts.flash_base) + opts.flash_size > 0x100000000ull) {
    err = "flash runs past the end of the 32-bit address space";
    return false;
  }
  return true;
}

}  // namespace

int parse_sim_options(int argc, char **argv, SimOptions &opts, std::string &err) {
  Parser p{opts, err};
  opterr = 0;
  optind = 1;
  for (;;) {
    int prev = optind;
    int id = getopt_long(argc, argv, ":", kLongOptions, nullptr);
    if (id == -1) break;
    if (id == kHelp) return 1;
    if (id == '?' || id == ':') {
      std::string what = prev < argc ? argv[prev] : "";
      err = (id == ':' ? "missing argument for " : "unknown option ") + what;
      return -1;
    }
    if (!p.apply(id, optarg ? optarg : "")) return -1;
  }
  if (optind < argc) {
    err = std::string("unexpected argument '") + argv[optind] + "'";
    return -1;
  }
  return p.check() ? 0 : -1;
}

}  // namespace sim
