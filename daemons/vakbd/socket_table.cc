// socket_table.cc - parsing the lines of the kernel's TCP socket tables.
#include "socket_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace vakbd {

bool ParseSocketLine(const char *line, SocketEntry *entry) {
  // "sl local remote st tx:rx tr:when retransmits uid timeout inode ..."
  unsigned uid;
  if (sscanf(line, "%*s %63s %63s %x %*s %*s %*s %u %*u %lu", entry->local, entry->remote,
             &entry->state, &uid, &entry->inode) != 5) {
    return false;
  }
  entry->uid = static_cast<uid_t>(uid);
  return true;
}

uint16_t EndPort(const char *end) {
  const char *colon = strrchr(end, ':');
  if (colon == nullptr) return 0;
  char *stop = nullptr;
  unsigned long port = strtoul(colon + 1, &stop, 16);
  return *stop == '\0' && port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
}

}  // namespace vakbd
