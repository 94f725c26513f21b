// socket_address.h - the daemon's view of a TCP end's address, whichever family carries it.
//
// A dual-stack listening socket hands IPv4 peers over as v4-mapped IPv6 addresses
// (::ffff:192.0.2.1). The daemon turns them back into the IPv4 addresses they are as soon as it
// accepts, so that its log, its test for a local peer and its search of the socket tables see one
// form of each address, the same as with an IPv4 socket.
#ifndef VAKBD_SOCKET_ADDRESS_H_
#define VAKBD_SOCKET_ADDRESS_H_

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace vakbd {

// Room for the longest text of FormatHost: "[" INET6_ADDRSTRLEN "]".
enum { kHostTextSize = 48 };

// An address of either family. Not sockaddr_storage, four times its size: every connection slot
// holds one, and the server scans its slots.
union SocketAddress {
  struct sockaddr any;
  struct sockaddr_in in4;
  struct sockaddr_in6 in6;
};

// A v4-mapped IPv6 address becomes the IPv4 address (same port); any other is left as it is.
void UnmapIPv4(SocketAddress *address);

// "192.0.2.1" or "[2001:db8::1]" (brackets, so that ":port" can follow); "?" for another family.
void FormatHost(const SocketAddress &address, char *out, size_t size);

// The port of an IPv4 or IPv6 address, 0 for another family.
uint16_t PortOf(const SocketAddress &address);

// A loopback address: 127.0.0.0/8 or ::1.
bool IsLoopback(const SocketAddress &address);

// The same family and host address (ports not compared).
bool SameHost(const SocketAddress &a, const SocketAddress &b);

}  // namespace vakbd

#endif  // VAKBD_SOCKET_ADDRESS_H_
