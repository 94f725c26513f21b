// socket_address.cc - address forms of either family.
#include "socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

namespace vakbd {

namespace {

const struct sockaddr_in &In4(const struct sockaddr_storage &a) {
  return reinterpret_cast<const struct sockaddr_in &>(a);
}

const struct sockaddr_in6 &In6(const struct sockaddr_storage &a) {
  return reinterpret_cast<const struct sockaddr_in6 &>(a);
}

}  // namespace

void UnmapIPv4(struct sockaddr_storage *address) {
  if (address->ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&In6(*address).sin6_addr)) return;
  struct sockaddr_in plain;
  memset(&plain, 0, sizeof plain);
  plain.sin_family = AF_INET;
  plain.sin_port = In6(*address).sin6_port;
  memcpy(&plain.sin_addr, In6(*address).sin6_addr.s6_addr + 12, 4);
  memset(address, 0, sizeof *address);
  memcpy(address, &plain, sizeof plain);
}

void FormatHost(const struct sockaddr_storage &address, char *out, size_t size) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &In4(address).sin_addr, text, sizeof text);
    snprintf(out, size, "%s", text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &In6(address).sin6_addr, text, sizeof text);
    snprintf(out, size, "[%s]", text);
  } else {
    snprintf(out, size, "?");
  }
}

uint16_t PortOf(const struct sockaddr_storage &address) {
  if (address.ss_family == AF_INET) return ntohs(In4(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(In6(address).sin6_port);
  return 0;
}

bool IsLoopback(const struct sockaddr_storage &address) {
  if (address.ss_family == AF_INET) return (ntohl(In4(address).sin_addr.s_addr) >> 24) == 127;
  return address.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&In6(address).sin6_addr);
}

bool SameHost(const struct sockaddr_storage &a, const struct sockaddr_storage &b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) return In4(a).sin_addr.s_addr == In4(b).sin_addr.s_addr;
  return a.ss_family == AF_INET6 &&
         memcmp(&In6(a).sin6_addr, &In6(b).sin6_addr, sizeof(struct in6_addr)) == 0;
}

}  // namespace vakbd
