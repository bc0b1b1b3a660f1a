#include "options.h"

#include <getopt.h>

#include <cstdlib>
#include <vector>

#include "parts.h"

namespace sim {

namespace {

const char kUsage[] =
    "Usage: tarvion_module_sim [OPTION]...\n"
    "Plays the module's ROM boot loader on a pseudo-terminal. The first line on\n"
    "standard output is the terminal's path, printed once the module is ready.\n"
    "SIGTERM or SIGINT writes the dump and ends with status 0.\n"
    "\n"
    "Numbers are decimal or 0x hexadecimal.\n"
    "  --link PATH            also make a symlink PATH to the terminal\n"
    "  --flash-base ADDR      flash base address (default 0x08000000)\n"
    "  --flash-size N         flash size in bytes (default 262144), erased to 0xFF\n"
    "  --id ID                device identifier (default 0x410); Get ID answers a\n"
    "                         length byte n-1 and n identifier bytes, most\n"
    "                         significant first: n = 2 up to 0xFFFF, else 4\n"
    "  --baud N               pace both directions at N baud, 11 bits per byte;\n"
    "                         0 or absent: no pacing\n"
    "  --erase-ms N           time any erase takes before its ACK (default 0; with\n"
    "                         --part it replaces the part's times)\n"
    "  --extended-erase       play a newer boot loader (version 3.1): Get lists\n"
    "                         Extended Erase 0x44, and 0x43 is refused\n"
    "  --part ID              play the part with this product ID (e.g. 0x410, 0x413,\n"
    "                         0x417, 0x450, 0x468): its identifier, flash size,\n"
    "                         pages or sectors, flash word, erase command, mass\n"
    "                         erase, erase times and flash-size register\n"
    "  --page-size N          uniform erase pages of N bytes (default 1024)\n"
    "  --program-unit N       flash word: 4 (default), 8, 16 or 32 bytes; a write\n"
    "                         not of whole words is acknowledged but not\n"
    "                         programmed, a word written twice since its erase is\n"
    "                         refused\n"
    "  --no-mass-erase        refuse the global, mass and bank erases\n"
    "  --erase-scale F        multiply the part's erase times by F (default 1)\n"
    "  --flash-init FILE      preload the flash from this raw file (from its start)\n"
    "  --read-protected       read-out protection on: only Get, Get Version, Get ID\n"
    "                         and Readout Unprotect (0x92) are accepted\n"
    "  --write-protected      write protection on: erases are refused until Write\n"
    "                         Unprotect (0x73)\n"
    "  --boot-ms N            bytes are lost for N ms after a reset or restart\n"
    "                         (default: the start-up of the --part, else 0)\n"
    "  --already-synced       start as a boot loader that already listens\n"
    "  --dump FILE            on exit write the whole flash content to FILE\n"
    "  --log FILE             log every block and event, one line each\n"
    "  --exit-on-close        exit (after the dump) once the host has opened the\n"
    "                         port and closed it again, or after a hang-up\n"
    "Faults:\n"
    "  --silent               never answer anything\n"
    "  --garbage-before-ack   put one stray byte (0xE0) on the line just before the\n"
    "                         first acknowledgement of the sync\n"
    "  --nack-block K         refuse (0x1F) the K-th block received, once; blocks\n"
    "                         are counted from 1, the sync byte included (repeatable)\n"
    "  --nack-cmd CODE:N      refuse the first N attempts of command CODE, e.g.\n"
    "                         0x43:3; CODE 0x7F stands for the sync byte (repeatable)\n"
    "  --wrong-byte K:B       answer byte B instead of the acknowledgement to the\n"
    "                         K-th block; the block is not acted on and its\n"
    "                         command ends, as after 0x1F (repeatable)\n"
    "  --hangup-after N       hang up the terminal, as a pulled cable, after N\n"
    "                         Write Memory commands have completed (N >= 1)\n"
    "  --id-short N           Get ID: announce the identifier bytes, send only N\n"
    "  --ack-delay-ms N       delay every answer to a block by N ms\n"
    "  --get-reply HEX        Get: answer these bytes (hex digit pairs) after the\n"
    "                         command's ACK\n"
    "Line faults (bytes counted from 1 over the whole run):\n"
    "  --damage-byte K[:M]    the K-th byte from the host arrives with bit 0 (or\n"
    "                         the bits of mask M) flipped\n"
    "  --lose-byte K          the K-th byte from the host never arrives\n"
    "  --damage-reply K       the K-th byte to the host arrives with bit 0 flipped\n"
    "                         (all three repeatable)\n"
    "  --bit-errors RATE      flip random bits in both directions, RATE per bit\n"
    "                         (e.g. 1e-5)\n"
    "  --loss-rate RATE       lose random bytes from the host, RATE per byte\n"
    "  --seed S               seed of the random bit errors and losses (default 1)\n"
    "GPIO model:\n"
    "  --sysfs DIR --reset-gpio N --boot-gpio M\n"
    "                         create a sysfs stand-in under DIR/class/gpio (FIFOs\n"
    "                         export, unexport, gpioN/ and gpioM/ direction and\n"
    "                         value); the module starts in its application and runs\n"
    "                         the boot loader only after reset rose while\n"
    "                         boot-select was high\n"
    "  --help                 show this text\n"
    "  --autobaud-window US   a 0x7F on the line within the first US microseconds\n"
    "                         of the boot loader's start fixes a wrong line speed:\n"
    "                         every byte then gets a garbage byte until a reset\n"
    "  --zero-on-reset        send 0x00 when the module starts (after a reset or\n"
    "                         restart, once its start-up time has passed)\n"
    "\n"
    "Protocol: 0x7F sync -> 0x79; then commands, each a byte and its complement:\n"
    "0x00 Get, 0x01 Get Version, 0x02 Get ID, 0x11 Read Memory, 0x21 Go, 0x31\n"
    "Write Memory, 0x43 Erase (or with a 3.x loader 0x44 Extended Erase), 0x73\n"
    "Write Unprotect, 0x82 Readout Protect, 0x92 Readout Unprotect. Bad checksums,\n"
    "unknown commands, anything before sync and addresses outside flash and RAM\n"
    "get 0x1F; a 0x1F ends the command, and the next block is a command pair.\n"
    "There is no time-out: an incomplete block takes the next bytes as its rest.\n"
    "\n"
    "Log lines: \"<t> rx|tx <hex bytes>\", \"<t> event <words>\", \"<t> gpio <words>\";\n"
    "<t> is seconds since start with 6 decimals.\n"
    "Exit status: 0 normal end, 1 set-up or dump failure, 2 malformed command line.\n";

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
  kZeroOnReset
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
    default:
      return false;
  }
}

// The part's facts under what the command line gave, then the checks that
// the flash's layout holds together.
bool Parser::check_module() {
  if (opts.part != 0 && apply_part(opts, err) != 0) return false;
  if (opts.extended_erase && opts.version < 0x30) opts.version = 0x31;
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

const char *usage_text() {
  return kUsage;
}

}  // namespace sim
