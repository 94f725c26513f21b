// socket_table.h - one line of the kernel's TCP socket tables (/proc/net/tcp and /proc/net/tcp6),
// which list every TCP socket of this network namespace with its ends, state, user and inode.
#ifndef VAKBD_SOCKET_TABLE_H_
#define VAKBD_SOCKET_TABLE_H_

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "socket_address.h"

namespace vakbd {

// TCP states as the tables write them.
enum { kTcpEstablished = 0x01, kTcpListen = 0x0A };

// A state whose socket still records the user that made it: a connection not yet closed on both
// sides (a TIME_WAIT one carries user 0 whoever made it). The kernel's numbering, which its socket
// diagnostics use too.
bool IsLiveTcpState(unsigned state);

struct SocketEntry {
  char local[64];   // "0100007F:1F90": the address as the kernel's words in memory order, port
  char remote[64];  // the same form
  unsigned state;
  uid_t uid;
  unsigned long inode;  // names the socket in /proc/PID/fd links: "socket:[inode]"
};

// Parses one line of a table; false for the heading line and anything else that does not parse.
bool ParseSocketLine(const char *line, SocketEntry *entry);

// The first entry of a table that match(entry) accepts, in *found; false when there is none.
template <typename Match>
bool FindSocketEntry(FILE *table, Match match, SocketEntry *found) {
  // Lines are far shorter than this buffer.
  char line[512];
  while (fgets(line, sizeof line, table) != nullptr) {
    if (ParseSocketLine(line, found) && match(*found)) return true;
  }
  return false;
}

// The port of an end as the tables write it ("...:1F90" is 8080); 0 when there is none.
uint16_t EndPort(const char *end);

// The address and port of an end as the tables write it: 8 hex digits for IPv4, 32 for IPv6,
// each group of 8 a 32-bit word of the address as it lies in memory. False for anything else.
bool ParseEnd(const char *end, SocketAddress *address);

}  // namespace vakbd

#endif  // VAKBD_SOCKET_TABLE_H_
