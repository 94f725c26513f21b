// sock_diag.h - the owner of one TCP socket of this host, asked of the kernel's socket
// diagnostics (a NETLINK_SOCK_DIAG socket).
//
// The request names the socket by its exact ends, so the kernel looks up that one socket instead
// of listing every socket of the host as the text tables in /proc/net do. The answer is a single
// datagram: the socket's description (which carries its user) or an error (ENOENT: no socket has
// these ends). Every answer is checked before it is believed: the sender is the kernel, the type,
// the lengths and the sequence number are the expected ones, the ends are the ones asked, and the
// socket is in a state whose owner is still recorded.
#ifndef VAKBD_SOCK_DIAG_H_
#define VAKBD_SOCK_DIAG_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "socket_address.h"

namespace vakbd {

enum class DiagLookup {
  kFound,        // *uid holds the owner
  kNone,         // no live socket with these ends, or an answer that could not be believed
  kUnavailable,  // the diagnostics could not answer: no netlink socket here (a sandbox without
                 // AF_NETLINK), the request refused, an error answer, or no answer in time
};

// The user that created the TCP socket whose own end is `local` and whose other end is `remote`.
// Both are of one family; an IPv4 socket and a dual-stack IPv6 one connected to a v4-mapped
// address are both found by the IPv4 ends. The kernel's answer is awaited for at most timeoutMs.
DiagLookup SocketOwnerByDiag(const SocketAddress &local, const SocketAddress &remote, uid_t *uid,
                             long timeoutMs);

// What one datagram of the kernel's answer says about the request with this sequence number.
enum class DiagReply {
  kFound,  // a live socket with the asked ends; *uid holds its owner
  kNone,   // a socket with the asked ends that is not a live one
  kError,  // an error answer: ENOENT for no such socket, but also from a kernel without TCP
           // diagnostics, so it decides nothing
  kBad,    // malformed: short, truncated, of another type or sequence, or other ends than asked
};

// Checks a datagram received from the kernel against the request (sequence seq, ends local and
// remote as SocketOwnerByDiag takes them).
DiagReply ParseDiagReply(const unsigned char *data, size_t size, uint32_t seq,
                         const SocketAddress &local, const SocketAddress &remote, uid_t *uid);

}  // namespace vakbd

#endif  // VAKBD_SOCK_DIAG_H_
