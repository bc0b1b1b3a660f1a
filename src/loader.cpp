#include "loader.h"

#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util.h"

volatile sig_atomic_t ld_abort = 0;

namespace {

// The checksum of a one-byte block is its complement.
constexpr unsigned char kComplement = 0xFF;

// Writes all n bytes, continuing after short writes. Returns 0, or -1 with
// errno from write (EIO when it wrote nothing without saying why).
int write_all(int fh, const unsigned char *p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fh, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      // A write that a signal cut short must not block again once aborted.
      if (n > 0 && ld_abort) {
        errno = EINTR;
        return -1;
      }
      continue;
    }
    if (w < 0 && errno == EINTR && !ld_abort) continue;
    if (w == 0) errno = EIO;
    return -1;
  }
  return 0;
}

// Awaits one byte from the module for at most ms and reads it. Returns 0, or
// -1 with errno EBUSY (nothing came), EIO (end of file) or that of the failed
// wait or read. A failed wait never leads into a read that could block.
int await_byte(int fh, unsigned char *b, int ms = LD_WAIT_MS) {
  const int r = wait_fh_rest(fh, ms, &ld_abort);
  if (r < 0) return -1;
  if (r == 0) {
    errno = EBUSY;
    return -1;
  }
  const ssize_t n = read(fh, b, 1);
  if (n == 1) return 0;
  if (n == 0) errno = EIO;
  return -1;
}

}  // namespace

namespace {

// Awaits the answer to a block for at most ms: 0 for the acknowledgement,
// otherwise -1 with errno EINVAL (another byte, left in *got) or as
// await_byte leaves it.
int await_ack(int fh, int ms, unsigned char *got) {
  if (await_byte(fh, got, ms) < 0) return -1;
  if (*got != LD_ACK) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

// A block with its checksum, tried up to `attempts` times, each answer
// awaited for at most ms (under LD_WAITACK). Returns 0 once acknowledged
// (errno 0), otherwise -1 with errno from the last attempt; *refusals, when
// given, counts the attempts the boot loader refused with 0x1F.
int send_block(int fh, const char *buf, int len, int flags, int attempts, int ms, int *refusals) {
  if (!buf || len < 1 || len > LD_LIST_BLOCK_MAX) {
    errno = EINVAL;
    return -1;
  }
  std::array<unsigned char, LD_LIST_BLOCK_MAX + 1> frame;
  std::memcpy(frame.data(), buf, static_cast<size_t>(len));
  unsigned char sum = 0;
  for (int i = 0; i < len; ++i) sum ^= frame[i];
  if (len == 1) sum = frame[0] ^ kComplement;
  size_t n = static_cast<size_t>(len);
  if (!(flags & LD_NOCHKSUM)) frame[n++] = sum;

  if (refusals) *refusals = 0;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (ld_abort) {
      errno = EINTR;
      return -1;
    }
    // A late acknowledgement of an earlier attempt must not answer this one.
    (void)tcflush(fh, TCIFLUSH);
    if (write_all(fh, frame.data(), n) < 0) continue;
    unsigned char got = 0;
    if (!(flags & LD_WAITACK) || await_ack(fh, ms, &got) == 0) {
      errno = 0;
      return 0;
    }
    if (refusals && errno == EINVAL && got == LD_NACK) ++*refusals;
  }
  return -1;
}

}  // namespace

int _ld_waitack(int fh, int flags) {
  if (!(flags & LD_WAITACK)) return 0;
  unsigned char got = 0;
  return await_ack(fh, LD_WAIT_MS, &got);
}

int _ld_send(int fh, const char *buf, int len, int flags) {
  if (len > LD_BLOCK_MAX) {
    errno = EINVAL;
    return -1;
  }
  return send_block(fh, buf, len, flags, LD_ATTEMPTS, LD_WAIT_MS, nullptr);
}

int _ld_send_cmd(int fh, char cmd, int flags) {
  return _ld_send(fh, &cmd, 1, flags);
}

int _ld_send_long(int fh, uint32_t data, int flags) {
  const char block[4] = {
      static_cast<char>((data >> 24) & 0xFF),
      static_cast<char>((data >> 16) & 0xFF),
      static_cast<char>((data >> 8) & 0xFF),
      static_cast<char>(data & 0xFF),
  };
  return _ld_send(fh, block, 4, flags);
}

int _ld_send_frag(int fh, const char *data, int len, int offs, int flags) {
  if (!data || len < 1 || len > LD_FRAGMENT_MAX) {
    errno = EINVAL;
    return -1;
  }
  std::array<char, LD_FRAGMENT_MAX + 1> block;
  block[0] = static_cast<char>(len - 1);
  std::memcpy(block.data() + 1, data, static_cast<size_t>(len));
  if (_ld_send_cmd(fh, LD_CMD_WRITE, flags) < 0) return -1;
  if (_ld_send_long(fh, static_cast<uint32_t>(offs), flags) < 0) return -1;
  return _ld_send(fh, block.data(), len + 1, flags);
}

int _ld_read(int fh, char *data, int maxlen, int flags) {
  (void)flags;  // the reply is awaited with or without acknowledgements
  if (!data) maxlen = 0;
  errno = 0;
  unsigned char len = 0;
  if (await_byte(fh, &len) < 0) return -1;
  const int count = len + 1;
  for (int i = 0; i < count; ++i) {
    unsigned char b = 0;
    if (await_byte(fh, &b) < 0) return -1;
    if (i < maxlen) data[i] = static_cast<char>(b);
  }
  return count;
}

int ld_init_device(int fh, int flags) {
  const char sync = LD_SYNC;
  return _ld_send(fh, &sync, 1, flags | LD_NOCHKSUM);
}

unsigned int ld_getid(int fh, int flags) {
  if (_ld_send_cmd(fh, LD_CMD_GET_ID, flags) < 0) return LD_ID_FAILED;
  // The length byte counts at most 256 identifier bytes.
  std::array<char, 256> reply;
  const int n = _ld_read(fh, reply.data(), static_cast<int>(reply.size()), flags);
  if (n < 0) return LD_ID_FAILED;
  if (_ld_waitack(fh, flags) < 0) return LD_ID_FAILED;
  unsigned int id = 0;
  for (int i = 0; i < n && i < LD_ID_BYTES; ++i)
    id = (id << 8) | static_cast<unsigned char>(reply[i]);
  errno = 0;
  return id;
}

namespace {

// Newer boot loaders refuse the global erase 0x43 and offer the extended
// erase 0x44 instead, whose mass erase is the two-byte code 0xFFFF.
// The mass erase is acknowledged only once the whole flash is erased. The
// slowest parts of 1 to 2 MiB erase sector by sector, up to 2 s for each
// 128 KiB sector at the lowest supply voltage: 32 s for 2 MiB. A minute
// covers them with margin, and a module that died during the erase still
// fails the run within a minute.
constexpr int kMassEraseMs = 60000;

// The global erase command, as _ld_send sends it. Returns 0 when
// acknowledged; otherwise -1, and *refused tells whether every attempt was
// answered with the refusal byte.
int send_global_erase(int fh, int flags, bool *refused) {
  const char cmd = static_cast<char>(LD_CMD_ERASE);
  int refusals = 0;
  const int rc = send_block(fh, &cmd, 1, flags, LD_ATTEMPTS, LD_WAIT_MS, &refusals);
  *refused = rc < 0 && refusals == LD_ATTEMPTS;
  return rc;
}

// Get: the boot loader's command list, a count N, then N+1 bytes (its
// version and the command codes), then 0x79, each byte awaited at most
// 1000 ms. Returns 1 when code is listed, 0 when not, -1 with errno as
// _ld_read or _ld_waitack left it.
int offers_command(int fh, unsigned char code, int flags) {
  if (_ld_send_cmd(fh, static_cast<char>(LD_CMD_GET), flags) < 0) return -1;
  std::array<char, 256> reply;
  const int n = _ld_read(fh, reply.data(), static_cast<int>(reply.size()), flags);
  if (n < 0 || _ld_waitack(fh, flags) < 0) return -1;
  for (int i = 1; i < n; ++i)
    if (static_cast<unsigned char>(reply[i]) == code) return 1;
  return 0;
}

// Mass erase through the extended erase command, when the boot loader lists
// it. The block 0xFFFF is sent once and its acknowledgement awaited as one
// wait: sent again while the erase runs, it would meet a busy module.
int erase_extended(int fh, int flags) {
  const int offered = offers_command(fh, LD_CMD_EXT_ERASE, flags);
  if (offered <= 0) {
    if (offered == 0) errno = EINVAL;
    return -1;
  }
  if (flags & LD_VERBOSE)
    std::fprintf(stderr, "Erasing with the extended erase command (may take up to %d s)\n",
                 kMassEraseMs / 1000);
  if (_ld_send_cmd(fh, static_cast<char>(LD_CMD_EXT_ERASE), flags) < 0) return -1;
  // The mass erase code 0xFFFF, sent once: the block goes out with its XOR
  // checksum 0x00.
  const char mass[2] = {static_cast<char>(0xFF), static_cast<char>(0xFF)};
  int refusals = 0;
  if (send_block(fh, mass, 2, flags, 1, kMassEraseMs, &refusals) == 0) return 0;
  if (refusals > 0) errno = EPERM;
  return -1;
}

}  // namespace

int ld_erase_all(int fh, int flags) {
  bool refused = false;
  if (send_global_erase(fh, flags, &refused) < 0) return refused ? erase_extended(fh, flags) : -1;
  const char global = static_cast<char>(LD_ERASE_GLOBAL);
  return _ld_send(fh, &global, 1, flags);
}

int ld_restart(int fh, int addr, int flags) {
  if (_ld_send_cmd(fh, LD_CMD_GO, flags) < 0) return -1;
  return _ld_send_long(fh, static_cast<uint32_t>(addr), flags);
}

int ld_write_image(int fh, image *img, int flags) {
  if (!img) {
    errno = EINVAL;
    return -1;
  }
  const bool progress = (flags & LD_PROGRESS) != 0;
  if (progress) std::fprintf(stderr, "Flashing %s", img->fn ? img->fn : "");
  std::array<char, LD_FRAGMENT_MAX> buf;
  for (int i = 0;; ++i) {
    int offset = 0;
    const int size = img_get_chunk(img, &offset, buf.data(), static_cast<int>(buf.size()));
    if (size <= 0) break;
    if (progress) {
      if (i % LD_PROGRESS_DOTS == 0) std::fputs("\n\t", stderr);
      std::fputc('.', stderr);
    }
    std::fflush(stderr);
    if (_ld_send_frag(fh, buf.data(), size, offset, flags) < 0) {
      const int err = errno;
      std::fprintf(stderr, "Communication Error: %s\n", std::strerror(err));
      errno = err;
      return -1;
    }
  }
  if (progress) std::fputs("\n\tdone\n", stderr);
  errno = 0;
  return 0;
}

namespace {

// The page list of an erase command as one block: 0x43 takes the count - 1
// and the page numbers as bytes, 0x44 as 16-bit values, most significant
// byte first. Returns false for a list the command cannot carry.
bool page_list_block(unsigned char cmd, const uint16_t *pages, int count, std::vector<char> *b) {
  const bool wide = cmd == LD_CMD_EXT_ERASE;
  if (!pages || count < 1 || count > (wide ? LD_ERASE44_MAX : LD_ERASE43_MAX)) return false;
  if (!wide && cmd != LD_CMD_ERASE) return false;
  const auto put = [&](unsigned v) {
    if (wide) b->push_back(static_cast<char>(v >> 8));
    b->push_back(static_cast<char>(v & 0xFF));
  };
  b->clear();
  put(static_cast<unsigned>(count - 1));
  for (int i = 0; i < count; ++i) {
    if (!wide && pages[i] > 0xFF) return false;
    put(pages[i]);
  }
  return true;
}

}  // namespace

int ld_erase_pages(int fh, unsigned char cmd, const uint16_t *pages, int count, int wait_ms,
                   int flags) {
  std::vector<char> list;
  if (!page_list_block(cmd, pages, count, &list) || wait_ms < LD_WAIT_MS) {
    errno = EINVAL;
    return -1;
  }
  const char code = static_cast<char>(cmd);
  const int len = static_cast<int>(list.size());
  for (int attempt = 0; attempt < LD_ATTEMPTS; ++attempt) {
    if (send_block(fh, &code, 1, flags, 1, LD_WAIT_MS, nullptr) < 0) {
      if (errno == EINTR) return -1;
      continue;
    }
    int refusals = 0;
    if (send_block(fh, list.data(), len, flags, 1, wait_ms, &refusals) == 0) return 0;
    // Without a refusal the module may still be erasing: a list sent again
    // would meet it busy.
    if (refusals == 0) return -1;
  }
  return -1;
}
