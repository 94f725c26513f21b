// peer_uid.h - the user of the process at the other end of a TCP connection on this host.
//
// The peer's socket is the one whose local end is the connection's remote end and whose remote
// end is its local end; the kernel records the user that created it. The kernel's socket
// diagnostics (sock_diag.h) look up that one socket; the text tables /proc/net/tcp and
// /proc/net/tcp6, which list every TCP socket of this network namespace, serve only where no
// netlink socket can be made. A peer on another host, or in another network namespace, has no
// such socket here, so no user is found for it.
#ifndef VAKBD_PEER_UID_H_
#define VAKBD_PEER_UID_H_

#include <stddef.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "socket_address.h"

namespace vakbd {

// The user that created the peer's socket of the connected TCP socket fd; false when none is
// found (a remote peer, an unreadable table, a connection already gone).
bool PeerUid(int fd, uid_t *uid);

// The same question asked of the socket tables alone, for the peer's end `peer` and the
// connection's own end `local` (IPv4 addresses unmapped).
bool PeerUidByTables(const SocketAddress &peer, const SocketAddress &local, uid_t *uid);

// An endpoint as the socket tables write it: "0100007F:1F90" for 127.0.0.1:8080 (the address as
// the kernel's 32-bit words in memory order, the port in host order). An IPv4 address is written
// v4-mapped when mapped is true, as tcp6 lists an IPv4 peer of a dual-stack socket. False for
// other address families.
bool FormatEndpoint(const SocketAddress &address, bool mapped, char *out, size_t size);

// Looks up in a socket table the socket with these local and remote endpoints; only sockets of a
// live connection count (a TIME_WAIT entry carries user 0 whoever made it).
bool FindSocketOwner(FILE *table, const char *localEnd, const char *remoteEnd, uid_t *uid);

}  // namespace vakbd

#endif  // VAKBD_PEER_UID_H_
