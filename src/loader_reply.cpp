// The replies that carry no checksum (Get, Get Version, Get ID, Read
// Memory's bytes) and the one way they are believed: two reads that agree.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "loader.h"
#include "loader_internal.h"

namespace {

// Get and Get ID (a count byte N and N+1 bytes, at most 256) or Get Version
// (three bytes), then the closing acknowledgement: the reply's bytes into
// *out. Returns as ld_run_command.
int reply_once(ld_session *s, unsigned char code, std::vector<unsigned char> *out) {
  std::array<unsigned char, 256> reply;
  int n = 3;
  ld_command cmd = {code, nullptr, 0, reply.data(), n, nullptr, nullptr};
  if (code != LD_CMD_GET_VERSION) {
    cmd.reply_len = static_cast<int>(reply.size());
    cmd.counted = true;
    cmd.reply_got = &n;
  }
  cmd.closing_ms = ld_internal::byte_wait(s);
  if (ld_run_command(s, &cmd) < 0) return -1;
  out->assign(reply.begin(), reply.begin() + std::min(n, cmd.reply_len));
  return 0;
}

int command_reply(ld_session *s, void *ctx, std::vector<unsigned char> *out) {
  return reply_once(s, *static_cast<const unsigned char *>(ctx), out);
}

int agreed_reply(ld_session *s, unsigned char code, std::vector<unsigned char> *out) {
  return ld_read_until_agree(s, LD_REPLY_READS, command_reply, &code, nullptr, out);
}

// The identifier: the first four bytes at most, most significant first.
unsigned int id_of(const std::vector<unsigned char> &reply) {
  unsigned int id = 0;
  for (size_t i = 0; i < reply.size() && i < LD_ID_BYTES; ++i) id = (id << 8) | reply[i];
  return id;
}

struct MemoryRead {
  uint32_t addr;
  int len;
};

int memory_reply(ld_session *s, void *ctx, std::vector<unsigned char> *out) {
  const auto *m = static_cast<const MemoryRead *>(ctx);
  out->assign(static_cast<size_t>(m->len), 0);
  return ld_read_memory(s, m->addr, out->data(), m->len);
}

}  // namespace

int ld_internal::get_version_once(ld_session *s) {
  std::vector<unsigned char> reply;
  return reply_once(s, LD_CMD_GET_VERSION, &reply);
}

int ld_read_until_agree(ld_session *s, int reads, ld_reply_reader read, void *ctx,
                        const std::vector<unsigned char> *expected,
                        std::vector<unsigned char> *out) {
  if (!read || !out || reads < 2) {
    errno = EINVAL;
    return -1;
  }
  std::vector<std::vector<unsigned char>> seen;
  for (int r = 0; r < reads; ++r) {
    if (read(s, ctx, out) < 0) return -1;
    if ((expected && *out == *expected) ||
        std::find(seen.begin(), seen.end(), *out) != seen.end()) {
      errno = 0;
      return 0;
    }
    seen.push_back(*out);
  }
  errno = EBADMSG;
  return -1;
}

int ld_read_agreed(ld_session *s, uint32_t addr, unsigned char *buf, int len, int reads) {
  if (!buf || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  MemoryRead m = {addr, len};
  std::vector<unsigned char> got;
  const int r = ld_read_until_agree(s, reads, memory_reply, &m, nullptr, &got);
  if (r < 0 && errno != EBADMSG) return -1;
  std::memcpy(buf, got.data(), got.size());
  if (r == 0) return 0;
  errno = EIO;
  return 1;
}

unsigned int ld_getid(ld_session *s) {
  std::vector<unsigned char> reply;
  if (reply_once(s, LD_CMD_GET_ID, &reply) < 0) return 0xFFFFFFFF;
  errno = 0;
  return id_of(reply);
}

int ld_getid_agreed(ld_session *s, unsigned int *id) {
  std::vector<unsigned char> reply;
  if (agreed_reply(s, LD_CMD_GET_ID, &reply) < 0) return -1;
  *id = id_of(reply);
  return 0;
}

int ld_get_version(ld_session *s, unsigned char *reply) {
  std::vector<unsigned char> r;
  if (agreed_reply(s, LD_CMD_GET_VERSION, &r) < 0) return -1;
  if (reply) std::copy(r.begin(), r.end(), reply);
  return 0;
}

int ld_get_commands(ld_session *s, unsigned char *version, std::vector<unsigned char> *codes) {
  std::vector<unsigned char> r;
  if (agreed_reply(s, LD_CMD_GET, &r) < 0) return -1;
  if (version) *version = r.empty() ? 0 : r[0];
  if (codes) codes->assign(r.begin() + (r.empty() ? 0 : 1), r.end());
  return 0;
}
