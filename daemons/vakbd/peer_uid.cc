// peer_uid.cc - finding a local peer's user: by socket diagnostics, or in the socket tables.
#include "peer_uid.h"

#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include "posix_io.h"
#include "sock_diag.h"
#include "socket_address.h"
#include "socket_table.h"

namespace vakbd {

namespace {

// The kernel answers at once; this only bounds a stall of the daemon's loop.
constexpr long kDiagTimeoutMs = 1000;

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
                   IsLiveTcpState(e.state);
          },
          &entry)) {
    return false;
  }
  *uid = entry.uid;
  return true;
}

bool PeerUidByTables(const SocketAddress &peer, const SocketAddress &local, uid_t *uid) {
  if (peer.any.sa_family != local.any.sa_family) return false;
  // An IPv4 peer may have connected from an IPv6 socket, which tcp6 lists with mapped addresses.
  if (peer.any.sa_family == AF_INET) {
    return Lookup("/proc/net/tcp", peer, local, false, uid) ||
           Lookup("/proc/net/tcp6", peer, local, true, uid);
  }
  return Lookup("/proc/net/tcp6", peer, local, false, uid);
}

bool PeerUid(int fd, uid_t *uid) {
  SocketAddress peer, local;
  socklen_t peerLength = sizeof peer, localLength = sizeof local;
  if (getpeername(fd, &peer.any, &peerLength) != 0 ||
      getsockname(fd, &local.any, &localLength) != 0) {
    return false;
  }
  // A dual-stack socket of ours sees an IPv4 peer in mapped form; the peer's socket, IPv4 or
  // dual-stack, is found by the IPv4 ends.
  UnmapIPv4(&peer);
  UnmapIPv4(&local);
  if (peer.any.sa_family != local.any.sa_family) return false;
  switch (SocketOwnerByDiag(peer, local, uid, kDiagTimeoutMs)) {
    case DiagLookup::kFound:
      return true;
    case DiagLookup::kNone:
      return false;
    case DiagLookup::kUnavailable:
      break;
  }
  // The diagnostics cannot answer here (a sandbox without AF_NETLINK, a kernel without TCP
  // diagnostics): the tables answer the same question by a scan of every socket of the host.
  return PeerUidByTables(peer, local, uid);
}

}  // namespace vakbd
