#include "parts_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "part_layouts.h"
#include "util.h"

namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t kFlashStart = 0x08000000;
constexpr uint64_t kAddressSpace = 0x100000000ull;
constexpr uint32_t kMaxId = 0xFFF;
constexpr size_t kMaxLine = 2047;
constexpr size_t kMaxFile = 16u << 20;
// Page numbers of 0x44 are 16 bits wide, those of 0x43 one byte.
constexpr uint64_t kMaxPages44 = 0xFFFF;
constexpr uint64_t kMaxPages43 = 256;
constexpr uint64_t kMaxRegisterRead = 256;  // Read Memory's largest answer

const char kBlanks[] = " \t";

// The fields of a line up to its comment. Returns "", or what is wrong.
std::string split_fields(const std::string &line, std::vector<std::string> *fields) {
  for (size_t i = 0;;) {
    i = line.find_first_not_of(kBlanks, i);
    if (i == std::string::npos || line[i] == '#') return "";
    if (line[i] != '"') {
      const size_t end = std::min(line.find_first_of(" \t#", i), line.size());
      fields->push_back(line.substr(i, end - i));
      i = end;
      continue;
    }
    const size_t close = line.find('"', i + 1);
    if (close == std::string::npos) return "a name in double quotes is not closed";
    fields->push_back(line.substr(i + 1, close - i - 1));
    i = close + 1;
    if (i < line.size() && !std::strchr(" \t#", line[i]))
      return "a blank must follow a name in double quotes";
  }
}

// Digits alone in base 10 (at most 10) or 16 (at most 8), up to max.
bool digits_value(const std::string &t, int base, uint64_t max, uint64_t *v) {
  const char *digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (t.empty() || t.size() > (base == 16 ? 8u : 10u) ||
      t.find_first_not_of(digits) != std::string::npos)
    return false;
  *v = std::stoull(t, nullptr, base);
  return *v <= max;
}

bool decimal(const std::string &t, uint64_t max, uint64_t *v) {
  return digits_value(t, 10, max, v);
}

// A number in hex, with or without 0x.
bool hex_number(const std::string &t, uint64_t max, uint64_t *v) {
  const bool prefix = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  return digits_value(t.substr(prefix ? 2 : 0), 16, max, v);
}

// A name that reads back the same: printable, no double quote, no blank at
// either end.
bool good_name(const std::string &n) {
  return !n.empty() && n.front() != ' ' && n.back() != ' ' &&
         std::none_of(n.begin(), n.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"';
         });
}

// LAYOUT: "-", or runs COUNTxSIZE. Returns "", or what is wrong.
std::string read_layout(const std::string &t, std::vector<part_run> *runs) {
  if (t == "-") return "";
  for (size_t at = 0;;) {
    const size_t comma = std::min(t.find(',', at), t.size());
    std::string run = t.substr(at, comma - at);
    const size_t x = run.find_first_of("xX");
    std::string size = x == std::string::npos ? "" : run.substr(x + 1);
    const bool k = !size.empty() && (size.back() == 'K' || size.back() == 'k');
    if (k) size.pop_back();
    uint64_t count = 0, bytes = 0;
    if (x == std::string::npos || !decimal(run.substr(0, x), kMaxPages44, &count) || count == 0 ||
        !decimal(size, UINT32_MAX / (k ? KiB : 1), &bytes) || bytes == 0)
      return "layout '" + t + "': runs COUNTxSIZE (SIZE in bytes, or with K), as 4x16K,1x64K";
    runs->push_back({static_cast<uint32_t>(bytes * (k ? KiB : 1)), static_cast<uint16_t>(count)});
    if (comma == t.size()) return "";
    at = comma + 1;
  }
}

// The layout against the unit and the erase command. Returns "", or what is
// wrong; *bytes receives the flash size.
std::string check_layout(const part_info &p, const std::vector<part_run> &runs, uint64_t *bytes) {
  uint64_t total = 0, pages = 0;
  for (const part_run &r : runs) {
    if (r.bytes % p.program_unit)
      return "layout: a page of " + std::to_string(r.bytes) + " bytes is no whole number of " +
             std::to_string(p.program_unit) + "-byte units";
    pages += r.count;
    total += uint64_t{r.bytes} * r.count;
    if (total > kAddressSpace - kFlashStart)
      return "layout: it runs past the end of the 32-bit address space from 0x08000000";
  }
  const uint64_t most = p.erase_cmd == 0x43 ? kMaxPages43 : kMaxPages44;
  if (pages > most)
    return "layout: " + std::to_string(pages) + " pages, more than the " + std::to_string(most) +
           " that " + (p.erase_cmd == 0x43 ? "0x43" : "0x44") + " can number";
  if (total % KiB)
    return "layout: " + std::to_string(total) + " bytes in all, no whole number of KiB";
  *bytes = total;
  return "";
}

// SIZE-REGISTER: ADDR, or ADDR@FROM+LEN. Returns "", or what is wrong.
std::string read_register(const std::string &t, part_info *p) {
  const size_t at = t.find('@'), plus = t.find('+', at == std::string::npos ? t.size() : at);
  uint64_t addr = 0, from = 0, len = 2;
  bool good = hex_number(t.substr(0, at), kAddressSpace - 2, &addr);
  if (at == std::string::npos) {
    from = addr;
  } else {
    good = good && plus != std::string::npos &&
           hex_number(t.substr(at + 1, plus - at - 1), UINT32_MAX, &from) &&
           decimal(t.substr(plus + 1), kMaxRegisterRead, &len) && len >= 2 && addr >= from &&
           addr + 2 <= from + len && from + len <= kAddressSpace;
  }
  if (!good)
    return "size register '" + t +
           "': an address, or ADDR@FROM+LEN with the register inside "
           "the LEN bytes (2 to 256) from FROM";
  p->fsize_read = at == std::string::npos    ? PART_FSIZE_REFUSABLE
                  : from == addr && len == 2 ? PART_FSIZE_DIRECT
                                             : PART_FSIZE_BLOCK;
  p->fsize_addr = static_cast<uint32_t>(addr);
  p->fsize_block = static_cast<uint32_t>(from);
  p->fsize_block_len = static_cast<uint16_t>(len);
  return "";
}

// One row's fields into row. Returns "", or what is wrong.
std::string read_row(const std::vector<std::string> &f, parts_file_row *row) {
  part_info &p = row->info;
  uint64_t id = 0, unit = 0, bytes = 0;
  if (f.size() < 5 || f.size() > 6)
    return "expected ID NAME LAYOUT UNIT ERASE [SIZE-REGISTER], not " + std::to_string(f.size()) +
           " fields";
  if (!hex_number(f[0], kMaxId, &id))
    return "ID '" + f[0] + "' is no product ID in hex up to 0xFFF";
  if (!good_name(f[1]))
    return "NAME must be a word, or a text in double quotes without control characters, double "
           "quotes or blanks at its ends";
  std::string fault = read_layout(f[2], &row->runs);
  if (!fault.empty()) return fault;
  if (!decimal(f[3], 32, &unit) || (unit != 4 && unit != 8 && unit != 16 && unit != 32))
    return "UNIT '" + f[3] + "' is not 4, 8, 16 or 32";
  const std::string &erase = f[4];
  if (erase != "0x43" && erase != "0x44" && erase != "0x44-pages")
    return "ERASE '" + erase + "' is not 0x43, 0x44 or 0x44-pages";
  p.pid = static_cast<uint16_t>(id);
  p.flash_start = kFlashStart;
  p.program_unit = static_cast<uint8_t>(unit);
  p.erase_cmd = erase == "0x43" ? 0x43 : 0x44;
  p.mass_erase_refused = erase == "0x44-pages";
  if (!row->runs.empty() && !(fault = check_layout(p, row->runs, &bytes)).empty()) return fault;
  p.flash_kib = static_cast<uint32_t>(bytes / KiB);
  if (f.size() == 6 && row->runs.empty()) return "a size register needs a layout";
  if (f.size() == 6 && !(fault = read_register(f[5], &p)).empty()) return fault;
  const std::string &name = f[1];
  const size_t blank = name.find(' ');
  row->family = name.substr(0, blank);
  row->line = blank == std::string::npos ? "" : name.substr(blank + 1);
  return "";
}

// Points the row's part_info into its own storage, where it now stays.
void bind(parts_file_row *row) {
  row->info.family = row->family.c_str();
  row->info.line = row->line.c_str();
  row->info.origin = row->origin.c_str();
  row->info.layout = row->runs.empty() ? nullptr : row->runs.data();
  row->info.runs = static_cast<int>(row->runs.size());
}

int refuse(const std::string &where, const std::string &what, part_catalog *c) {
  std::fprintf(stderr, "%s: %s\n", where.c_str(), what.c_str());
  c->rows.clear();
  errno = EINVAL;
  return -1;
}

std::string layout_field(const part_info *p) {
  if (!p->layout) return "-";
  std::string text;
  for (const part_run &r : part_layout_runs(p, part_flash_bytes(p, 0)))
    text += (text.empty() ? "" : ",") + std::to_string(r.count) + "x" +
            (r.bytes % KiB ? std::to_string(r.bytes) : std::to_string(r.bytes / KiB) + "K");
  return text;
}

std::string register_field(const part_info *p) {
  if (p->fsize_read == PART_FSIZE_NONE) return "";
  if (p->fsize_read == PART_FSIZE_REFUSABLE) return part_address_text(p->fsize_addr);
  return part_address_text(p->fsize_addr) + "@" + part_address_text(p->fsize_block) + "+" +
         std::to_string(p->fsize_block_len);
}

using listed_row = std::vector<std::string>;

listed_row fields_of(const part_info *p) {
  return {part_id_text(p->pid),
          "\"" + part_name(p) + "\"",
          layout_field(p),
          std::to_string(p->program_unit),
          p->erase_cmd == 0x43    ? "0x43"
          : p->mass_erase_refused ? "0x44-pages"
                                  : "0x44",
          register_field(p)};
}

// The fields padded to the widths, without blanks at the end.
std::string aligned(const listed_row &r, const std::vector<size_t> &widths) {
  std::string text;
  for (size_t i = 0; i < r.size(); ++i)
    text += r[i] + std::string(i + 1 < r.size() ? widths[i] - r[i].size() + 2 : 0, ' ');
  return text.erase(text.find_last_not_of(' ') + 1) + "\n";
}

}  // namespace

const part_info *catalog_lookup(const part_catalog *c, uint32_t id) {
  for (size_t i = 0; c && i < c->rows.size(); ++i)
    if (c->rows[i]->info.pid == id) return &c->rows[i]->info;
  return part_lookup(id);
}

std::vector<const part_info *> catalog_rows(const part_catalog *c) {
  int n = 0;
  const part_info *table = part_table(&n);
  std::vector<const part_info *> rows;
  for (int i = 0; i < n; ++i) rows.push_back(catalog_lookup(c, table[i].pid));
  for (size_t i = 0; c && i < c->rows.size(); ++i)
    if (!part_lookup(c->rows[i]->info.pid)) rows.push_back(&c->rows[i]->info);
  return rows;
}

int parts_file_parse(const std::string &text, const std::string &name, part_catalog *c) {
  std::map<uint16_t, size_t> seen;  // ID -> its line
  size_t number = 0;
  for (size_t at = 0; at < text.size(); ++number) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::string where = name + ":" + std::to_string(number + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLine) return refuse(where, "a line longer than 2047 characters", c);
    if (line.find('\0') != std::string::npos) return refuse(where, "a NUL byte", c);
    std::vector<std::string> fields;
    std::string fault = split_fields(line, &fields);
    if (fields.empty() && fault.empty()) continue;
    auto row = std::make_unique<parts_file_row>();
    if (fault.empty()) fault = read_row(fields, row.get());
    const uint16_t id = row->info.pid;
    if (fault.empty() && seen.count(id)) {
      fault = "ID " + part_id_text(id) + " repeats line " + std::to_string(seen[id]);
    }
    if (!fault.empty()) return refuse(where, fault, c);
    seen[id] = number + 1;
    row->origin = where;
    bind(row.get());
    c->rows.push_back(std::move(row));
  }
  return 0;
}

int parts_file_read(const char *path, part_catalog *c) {
  // Not a FIFO without a writer, nor a device that never ends: a regular
  // file, read whole.
  const Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  int err = 0;
  if (!fd.ok() || ::fstat(fd.get(), &st) < 0)
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = EINVAL;
  else if (static_cast<uint64_t>(st.st_size) > kMaxFile)
    err = EFBIG;
  std::string text;
  char buf[4096];
  while (err == 0) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxFile) err = EFBIG;
  }
  if (err == 0) return parts_file_parse(text, path, c);
  std::fprintf(stderr, "Can't read parts file %s: %s\n", path,
               err == EINVAL  ? "not a regular file"
               : err == EFBIG ? "larger than 16 MiB"
                              : std::strerror(err));
  errno = err;
  return -1;
}

std::string parts_file_list(const part_catalog *c) {
  const std::vector<const part_info *> parts = catalog_rows(c);
  std::vector<listed_row> rows = {{"# ID", "NAME", "LAYOUT", "UNIT", "ERASE", "[SIZE-REGISTER]"}};
  for (const part_info *p : parts) rows.push_back(fields_of(p));
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const listed_row &r : rows)
    for (size_t i = 0; i < r.size(); ++i) widths[i] = std::max(widths[i], r[i].size());
  std::string text = aligned(rows[0], widths);
  for (size_t i = 0; i < parts.size(); ++i) {
    const part_info *p = parts[i];
    const std::string follows = part_layout_follows(p);
    if (p->origin) text += "# " + rows[i + 1][0] + ": from " + p->origin + "\n";
    if (!follows.empty())
      text += "# " + rows[i + 1][0] + ": the layout follows " + follows + "; below " +
              (follows.find("bit") != std::string::npos ? "as shipped" : "at the largest") +
              ", fixed when read from a file\n";
    text += aligned(rows[i + 1], widths);
  }
  return text;
}
