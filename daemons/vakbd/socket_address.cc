// socket_address.cc - address forms of either family.
#include "socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

namespace vakbd {

void UnmapIPv4(SocketAddress *address) {
  if (address->any.sa_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&address->in6.sin6_addr)) return;
  struct sockaddr_in plain;
  memset(&plain, 0, sizeof plain);
  plain.sin_family = AF_INET;
  plain.sin_port = address->in6.sin6_port;
  memcpy(&plain.sin_addr, address->in6.sin6_addr.s6_addr + 12, 4);
  memset(address, 0, sizeof *address);
  address->in4 = plain;
}

void FormatHost(const SocketAddress &address, char *out, size_t size) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.any.sa_family == AF_INET) {
    inet_ntop(AF_INET, &address.in4.sin_addr, text, sizeof text);
    snprintf(out, size, "%s", text);
  } else if (address.any.sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &address.in6.sin6_addr, text, sizeof text);
    snprintf(out, size, "[%s]", text);
  } else {
    snprintf(out, size, "?");
  }
}

uint16_t PortOf(const SocketAddress &address) {
  if (address.any.sa_family == AF_INET) return ntohs(address.in4.sin_port);
  if (address.any.sa_family == AF_INET6) return ntohs(address.in6.sin6_port);
  return 0;
}

bool IsLoopback(const SocketAddress &address) {
  if (address.any.sa_family == AF_INET) return (ntohl(address.in4.sin_addr.s_addr) >> 24) == 127;
  return address.any.sa_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&address.in6.sin6_addr);
}

bool SameHost(const SocketAddress &a, const SocketAddress &b) {
  if (a.any.sa_family != b.any.sa_family) return false;
  if (a.any.sa_family == AF_INET) return a.in4.sin_addr.s_addr == b.in4.sin_addr.s_addr;
  return a.any.sa_family == AF_INET6 &&
         memcmp(&a.in6.sin6_addr, &b.in6.sin6_addr, sizeof(struct in6_addr)) == 0;
}

}  // namespace vakbd
