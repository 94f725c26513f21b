// socket_table.cc - parsing the lines of the kernel's TCP socket tables.
#include "socket_table.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace vakbd {

bool IsLiveTcpState(unsigned state) {
  switch (state) {
    case kTcpEstablished:
    case 0x04:  // FIN_WAIT1
    case 0x05:  // FIN_WAIT2
    case 0x08:  // CLOSE_WAIT
    case 0x09:  // LAST_ACK
    case 0x0B:  // CLOSING
      return true;
    default:
      return false;
  }
}

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

bool ParseEnd(const char *end, SocketAddress *address) {
  const char *colon = strrchr(end, ':');
  const uint16_t port = EndPort(end);
  if (colon == nullptr || (colon - end != 8 && colon - end != 32) ||
      (port == 0 && colon[1] != '0')) {
    return false;
  }
  uint32_t words[4];
  const int count = static_cast<int>(colon - end) / 8;
  for (int i = 0; i < count; ++i) {
    char word[9];
    memcpy(word, end + 8 * i, 8);
    word[8] = '\0';
    char *stop = nullptr;
    words[i] = static_cast<uint32_t>(strtoul(word, &stop, 16));
    if (*stop != '\0' || word[0] == '-' || word[0] == '+' || word[0] == ' ') return false;
  }
  memset(address, 0, sizeof *address);
  if (count == 1) {
    address->in4.sin_family = AF_INET;
    address->in4.sin_port = htons(port);
    memcpy(&address->in4.sin_addr, words, 4);
  } else {
    address->in6.sin6_family = AF_INET6;
    address->in6.sin6_port = htons(port);
    memcpy(&address->in6.sin6_addr, words, 16);
  }
  return true;
}

}  // namespace vakbd
