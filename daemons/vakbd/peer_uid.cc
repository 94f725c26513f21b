// peer_uid.cc - finding a local peer's user in the kernel's socket tables.
#include "peer_uid.h"

#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include "posix_io.h"
#include "socket_address.h"
#include "socket_table.h"

namespace vakbd {

namespace {

// TCP states, as the tables write them, of a socket whose owner is still recorded.
bool LiveState(unsigned state) {
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

bool Lookup(const char *table, const SocketAddress &peer, const SocketAddress &local, bool mapped,
            uid_t *uid) {
  char peerEnd[64], localEnd[64];
  if (!FormatEndpoint(peer, mapped, peerEnd, sizeof peerEnd) ||
      !FormatEndpoint(local, mapped, localEnd, sizeof localEnd)) {
    return false;
  }
  orv::UniqueFile file(fopen(table, "re"));
  return file != nullptr && FindSocketOwner(file.get(), peerEnd, localEnd, uid);
}

}  // namespace

bool FormatEndpoint(const SocketAddress &address, bool mapped, char *out, size_t size) {
  uint32_t words[4];
  unsigned port;
  int n;
  if (address.any.sa_family == AF_INET) {
    const struct sockaddr_in *in = &address.in4;
    port = ntohs(in->sin_port);
    if (!mapped) {
      memcpy(words, &in->sin_addr, 4);
      n = snprintf(out, size, "%08X:%04X", words[0], port);
      return n > 0 && static_cast<size_t>(n) < size;
    }
    const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    memcpy(words, prefix, 12);
    memcpy(&words[3], &in->sin_addr, 4);
  } else if (address.any.sa_family == AF_INET6) {
    const struct sockaddr_in6 *in6 = &address.in6;
    port = ntohs(in6->sin6_port);
    memcpy(words, &in6->sin6_addr, 16);
  } else {
    return false;
  }
  n = snprintf(out, size, "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3], port);
  return n > 0 && static_cast<size_t>(n) < size;
}

bool FindSocketOwner(FILE *table, const char *localEnd, const char *remoteEnd, uid_t *uid) {
  SocketEntry entry;
  if (!FindSocketEntry(
          table,
          [&](const SocketEntry &e) {
            return strcasecmp(e.local, localEnd) == 0 && strcasecmp(e.remote, remoteEnd) == 0 &&
                   LiveState(e.state);
          },
          &entry)) {
    return false;
  }
  *uid = entry.uid;
  return true;
}

bool PeerUid(int fd, uid_t *uid) {
  SocketAddress peer, local;
  socklen_t peerLength = sizeof peer, localLength = sizeof local;
  if (getpeername(fd, &peer.any, &peerLength) != 0 ||
      getsockname(fd, &local.any, &localLength) != 0) {
    return false;
  }
  // A dual-stack socket of ours sees an IPv4 peer in mapped form, but the peer's own socket is
  // listed as what it is: an IPv4 one in tcp, or an IPv6 one in tcp6 with mapped addresses.
  UnmapIPv4(&peer);
  UnmapIPv4(&local);
  if (peer.any.sa_family != local.any.sa_family) return false;
  // An IPv4 peer may have connected from an IPv6 socket, which tcp6 lists with mapped addresses.
  if (peer.any.sa_family == AF_INET) {
    return Lookup("/proc/net/tcp", peer, local, false, uid) ||
           Lookup("/proc/net/tcp6", peer, local, true, uid);
  }
  return Lookup("/proc/net/tcp6", peer, local, false, uid);
}

}  // namespace vakbd
