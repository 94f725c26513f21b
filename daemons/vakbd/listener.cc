// listener.cc - opening the listening socket and probing for a serving daemon.
#include "listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "bool_daemon.h"
#include "framing.h"
#include "posix_io.h"
#include "socket_table.h"
#include "startup.h"

namespace vakbd {

namespace {

socklen_t LengthOf(const SocketAddress &address) {
  return address.any.sa_family == AF_INET6 ? sizeof(struct sockaddr_in6)
                                           : sizeof(struct sockaddr_in);
}

void SetPort(SocketAddress *address, uint16_t port) {
  if (address->any.sa_family == AF_INET6) {
    address->in6.sin6_port = htons(port);
  } else {
    address->in4.sin_port = htons(port);
  }
}

SocketAddress Wildcard(int family) {
  SocketAddress address;
  memset(&address, 0, sizeof address);
  address.any.sa_family = static_cast<sa_family_t>(family);  // both wildcards are all zeros
  return address;
}

SocketAddress Loopback(int family) {
  SocketAddress address = Wildcard(family);
  if (family == AF_INET6) {
    address.in6.sin6_addr = in6addr_loopback;
  } else {
    address.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  return address;
}

bool IsWildcard(const SocketAddress &address) {
  if (address.any.sa_family == AF_INET6) {
    return IN6_IS_ADDR_UNSPECIFIED(&address.in6.sin6_addr);
  }
  return address.in4.sin_addr.s_addr == INADDR_ANY;
}

// Opens, binds and listens; *status and errno tell a failure.
int Listen(SocketAddress address, uint16_t port, bool dualStack, int *status) {
  orv::UniqueFd fd(socket(address.any.sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *status = kExitSocketFailed;
    return -1;
  }
  SetPort(&address, port);
  // Lets a restarted daemon take its port back while connections of the old one linger in
  // TIME_WAIT; it does not let two listeners share the port.
  int on = 1;
  int v6only = dualStack ? 0 : 1;
  if (address.any.sa_family == AF_INET6 &&
      setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
    *status = kExitSocketFailed;
    return -1;
  }
  if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd.get(), &address.any, LengthOf(address)) != 0 || listen(fd.get(), SOMAXCONN) != 0) {
    *status = kExitPortFailed;
    return -1;
  }
  return fd.release();
}

bool ServesAt(SocketAddress address, uint16_t port, const orv::Deadline &deadline) {
  orv::UniqueFd fd(socket(address.any.sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  SetPort(&address, port);
  if (connect(fd.get(), &address.any, LengthOf(address)) != 0) {
    if (errno != EINPROGRESS || orv::PollUntil(fd.get(), POLLOUT, deadline) != 1) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return false;
    }
  }
  // The greeting frame, byte for byte; something else listening there does not send it.
  const uint32_t expected = static_cast<uint32_t>(strlen(protocol::kBdGreeting));
  unsigned char header[kVakFrameHeaderLength];
  if (!orv::ReadFull(fd.get(), header, sizeof header, deadline) ||
      protocol::FrameLength(header) != expected) {
    return false;
  }
  char text[64];
  if (expected > sizeof text || !orv::ReadFull(fd.get(), text, expected, deadline)) return false;
  return memcmp(text, protocol::kBdGreeting, expected) == 0;
}

}  // namespace

bool ParseBindAddress(const char *text, ListenAddress *where) {
  *where = ListenAddress();
  if (*text == '\0') return true;
  char literal[128];
  const size_t length = strlen(text);
  if (length >= sizeof literal) return false;
  if (text[0] == '[' && length > 2 && text[length - 1] == ']') {
    memcpy(literal, text + 1, length - 2);
    literal[length - 2] = '\0';
  } else {
    memcpy(literal, text, length + 1);
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = text[0] == '[' ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  struct addrinfo *found = nullptr;
  if (getaddrinfo(literal, nullptr, &hints, &found) != 0) return false;
  const bool usable = found != nullptr && found->ai_addrlen <= sizeof where->one &&
                      (found->ai_family == AF_INET || found->ai_family == AF_INET6);
  if (usable) {
    memcpy(&where->one, found->ai_addr, found->ai_addrlen);
    where->any = false;
  }
  freeaddrinfo(found);
  return usable;
}

int OpenListener(uint16_t port, const ListenAddress &where, int *status) {
  if (!where.any) return Listen(where.one, port, false, status);
  int fd = Listen(Wildcard(AF_INET6), port, true, status);
  if (fd >= 0 || (*status == kExitPortFailed && errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT)) {
    return fd;
  }
  // No IPv6 on this host (no such family, or no address for it): IPv4 alone.
  return Listen(Wildcard(AF_INET), port, false, status);
}

bool VakbdServes(uint16_t port, const ListenAddress &where, int timeoutMs) {
  const orv::Deadline deadline = orv::Deadline::In(timeoutMs);
  if (!where.any) {
    const int family = where.one.any.sa_family;
    return ServesAt(IsWildcard(where.one) ? Loopback(family) : where.one, port, deadline);
  }
  if (ServesAt(Loopback(AF_INET), port, deadline) || ServesAt(Loopback(AF_INET6), port, deadline)) {
    return true;
  }
  // A daemon listening on one other address only (a service's -bind): found in the tables.
  for (const char *name : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    orv::UniqueFile table(fopen(name, "re"));
    SocketEntry entry;
    SocketAddress address;
    if (table != nullptr &&
        FindSocketEntry(
            table.get(),
            [port](const SocketEntry &e) {
              return e.state == kTcpListen && EndPort(e.local) == port;
            },
            &entry) &&
        ParseEnd(entry.local, &address) && !IsWildcard(address)) {
      return ServesAt(address, port, deadline);
    }
  }
  return false;
}

}  // namespace vakbd
