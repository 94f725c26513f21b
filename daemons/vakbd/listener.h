// listener.h - the listening socket: on every address (IPv4 and, where the host has it, IPv6) or
// on one, and the recognition of a vakbd that already serves the port.
//
// Every address is one dual-stack IPv6 socket ([::], IPV6_V6ONLY off), which takes IPv4 clients
// too and so conflicts with any other listener on the port, of either family: a second daemon is
// refused whichever family the first one listens on. A host without IPv6 gets an IPv4 socket on
// 0.0.0.0 instead. One address (-bind) is a socket of that address's family alone.
#ifndef VAKBD_LISTENER_H_
#define VAKBD_LISTENER_H_

#include <stdint.h>
#include <sys/socket.h>

#include "socket_address.h"

namespace vakbd {

struct ListenAddress {
  bool any = true;  // every address; else the one below (its port unset)
  SocketAddress one = {};
};

// A -bind value: an IPv4 or IPv6 literal (an IPv6 one may stand in brackets, and carry a
// %interface for a link-local address). An empty text means every address, so that a service can
// pass an unset setting through. False for anything else, such as a host name.
bool ParseBindAddress(const char *text, ListenAddress *where);

// A non-blocking, close-on-exec TCP socket listening at where on port. On failure returns -1,
// sets *status to kExitSocketFailed or kExitPortFailed (startup.h) and leaves errno as it was.
int OpenListener(uint16_t port, const ListenAddress &where, int *status);

// Whether a vakbd serves the port: its greeting (protocol::kBdGreeting) arrives within timeoutMs
// from where (from a wildcard address's loopback; for every address, from 127.0.0.1, else [::1],
// else the one address that the socket tables show a listener of the port on). Something else
// listening there does not count.
bool VakbdServes(uint16_t port, const ListenAddress &where, int timeoutMs);

}  // namespace vakbd

#endif  // VAKBD_LISTENER_H_
