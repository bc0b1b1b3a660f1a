// The boot loader's byte codes and the limits of its blocks: what the
// protocol (loader) and the part table's erase plans (parts) share.
#ifndef TARVION_LOADER_CODES_H
#define TARVION_LOADER_CODES_H

constexpr unsigned char LD_SYNC = 0x7F;             // synchronisation, sent alone
constexpr unsigned char LD_ACK = 0x79;              // a block accepted
constexpr unsigned char LD_NACK = 0x1F;             // a block refused
constexpr unsigned char LD_CMD_GET = 0x00;          // Get: the boot loader's version and commands
constexpr unsigned char LD_CMD_GET_VERSION = 0x01;  // Get Version: version, two option bytes
constexpr unsigned char LD_CMD_GET_ID = 0x02;       // Get ID
constexpr unsigned char LD_CMD_READ = 0x11;         // Read Memory
constexpr unsigned char LD_CMD_GO = 0x21;           // Go: start the code at an address
constexpr unsigned char LD_CMD_WRITE = 0x31;        // Write Memory
constexpr unsigned char LD_CMD_ERASE = 0x43;        // Erase (boot loaders before 3.0)
constexpr unsigned char LD_CMD_EXT_ERASE = 0x44;    // Extended Erase (3.0 and later)
constexpr unsigned char LD_CMD_WRITE_UNPROTECT = 0x73;    // Write Unprotect
constexpr unsigned char LD_CMD_READOUT_UNPROTECT = 0x92;  // Readout Unprotect (erases the flash)
constexpr unsigned char LD_ERASE_GLOBAL = 0xFF;           // Erase's parameter: the whole flash
constexpr unsigned char LD_FILLER = 0xA4;  // brings the boot loader back to command level

constexpr int LD_FRAGMENT_MAX = 256;               // data bytes of one Write or Read Memory
constexpr int LD_BLOCK_MAX = LD_FRAGMENT_MAX + 1;  // the count byte and a fragment
constexpr int LD_ERASE43_MAX = 255;                // pages of one Erase list
constexpr int LD_ERASE44_MAX = 512;                // pages of one Extended Erase list (a boot
                                                   // loader is known to refuse longer ones)
constexpr int LD_LIST_BLOCK_MAX = 2 + 2 * LD_ERASE44_MAX;  // its count and page numbers

#endif
