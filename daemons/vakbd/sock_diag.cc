// sock_diag.cc - asking the kernel's socket diagnostics for the owner of one TCP socket.
#include "sock_diag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include "posix_io.h"
#include "socket_table.h"

namespace vakbd {

namespace {

// The states whose sockets still record their owner. The kernel filters only listings by them,
// not the exact lookup made here, so the answer's state is checked as well.
constexpr uint32_t kLiveStates = (1u << TCP_ESTABLISHED) | (1u << TCP_FIN_WAIT1) |
                                 (1u << TCP_FIN_WAIT2) | (1u << TCP_CLOSE_WAIT) |
                                 (1u << TCP_LAST_ACK) | (1u << TCP_CLOSING);

struct DiagRequest {
  struct nlmsghdr header;
  struct inet_diag_req_v2 body;
};

// One end as the diagnostics carry it: the address in network order, IPv4 in the first word.
void PutEnd(const SocketAddress &end, __be32 address[4], __be16 *port) {
  if (end.any.sa_family == AF_INET) {
    address[0] = end.in4.sin_addr.s_addr;
    *port = end.in4.sin_port;
  } else {
    memcpy(address, &end.in6.sin6_addr, 16);
    *port = end.in6.sin6_port;
  }
}

// The reverse of PutEnd, with a v4-mapped address turned into the IPv4 one, as the daemon keeps
// its addresses; false for a family that is neither.
bool TakeEnd(uint8_t family, const __be32 address[4], __be16 port, SocketAddress *end) {
  memset(end, 0, sizeof *end);
  if (family == AF_INET) {
    end->in4.sin_family = AF_INET;
    end->in4.sin_addr.s_addr = address[0];
    end->in4.sin_port = port;
  } else if (family == AF_INET6) {
    end->in6.sin6_family = AF_INET6;
    memcpy(&end->in6.sin6_addr, address, 16);
    end->in6.sin6_port = port;
  } else {
    return false;
  }
  UnmapIPv4(end);
  return true;
}

bool SameEnd(SocketAddress a, SocketAddress b) {
  UnmapIPv4(&a);
  UnmapIPv4(&b);
  return SameHost(a, b) && PortOf(a) == PortOf(b);
}

}  // namespace

DiagReply ParseDiagReply(const unsigned char *data, size_t size, uint32_t seq,
                         const SocketAddress &local, const SocketAddress &remote, uid_t *uid) {
  // The exact request is answered by one message; copied out, since a datagram buffer promises
  // no alignment.
  struct nlmsghdr header;
  if (size < sizeof header) return DiagReply::kBad;
  memcpy(&header, data, sizeof header);
  if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size || header.nlmsg_seq != seq) {
    return DiagReply::kBad;
  }
  const unsigned char *payload = data + NLMSG_HDRLEN;
  const size_t payloadSize = header.nlmsg_len - NLMSG_HDRLEN;
  if (header.nlmsg_type == NLMSG_ERROR) {
    if (payloadSize < sizeof(struct nlmsgerr)) return DiagReply::kBad;
    return DiagReply::kError;
  }
  if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || payloadSize < sizeof(struct inet_diag_msg)) {
    return DiagReply::kBad;
  }
  struct inet_diag_msg msg;
  memcpy(&msg, payload, sizeof msg);
  SocketAddress src, dst;
  if (!TakeEnd(msg.idiag_family, msg.id.idiag_src, msg.id.idiag_sport, &src) ||
      !TakeEnd(msg.idiag_family, msg.id.idiag_dst, msg.id.idiag_dport, &dst) ||
      !SameEnd(src, local) || !SameEnd(dst, remote)) {
    // The kernel's exact lookup falls back to a listening socket on the asked local end, which
    // would name the listener's owner; only the socket with both ends answers the question.
    return DiagReply::kBad;
  }
  // A TIME_WAIT socket carries user 0 whoever made it.
  if (!IsLiveTcpState(msg.idiag_state)) return DiagReply::kNone;
  *uid = static_cast<uid_t>(msg.idiag_uid);
  return DiagReply::kFound;
}

DiagLookup SocketOwnerByDiag(const SocketAddress &local, const SocketAddress &remote, uid_t *uid,
                             long timeoutMs) {
  const int family = local.any.sa_family;
  if ((family != AF_INET && family != AF_INET6) || remote.any.sa_family != family) {
    return DiagLookup::kNone;
  }
  orv::UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!fd.valid()) return DiagLookup::kUnavailable;

  // A fresh socket per lookup: nothing else is ever addressed to it, and control requests are
  // rare enough that keeping one open buys nothing.
  const uint32_t seq = static_cast<uint32_t>(orv::MonotonicMs());
  DiagRequest request;
  memset(&request, 0, sizeof request);
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = seq;
  request.body.sdiag_family = static_cast<uint8_t>(family);
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = kLiveStates;
  PutEnd(local, request.body.id.idiag_src, &request.body.id.idiag_sport);
  PutEnd(remote, request.body.id.idiag_dst, &request.body.id.idiag_dport);
  // A link-local socket is bound to its interface and found only with it.
  if (family == AF_INET6) request.body.id.idiag_if = local.in6.sin6_scope_id;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  if (orv::RetryOnEintr([&] {
        return sendto(fd.get(), &request, sizeof request, 0,
                      reinterpret_cast<struct sockaddr *>(&kernel), sizeof kernel);
      }) != static_cast<ssize_t>(sizeof request)) {
    return DiagLookup::kUnavailable;
  }

  // The answer comes at once; the bound keeps a kernel that never answers from stalling the
  // daemon's loop.
  const orv::Deadline deadline = orv::Deadline::In(timeoutMs);
  alignas(struct nlmsghdr) unsigned char buffer[8192];
  for (;;) {
    if (orv::PollUntil(fd.get(), POLLIN, deadline) != 1) return DiagLookup::kUnavailable;
    struct sockaddr_nl from;
    socklen_t fromSize = sizeof from;
    ssize_t n = orv::RetryOnEintr([&] {
      return recvfrom(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                      reinterpret_cast<struct sockaddr *>(&from), &fromSize);
    });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return DiagLookup::kNone;
    }
    // Another process may address our port; only the kernel's word counts.
    if (fromSize < sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != 0) continue;
    if (static_cast<size_t>(n) > sizeof buffer) return DiagLookup::kNone;  // truncated
    switch (ParseDiagReply(buffer, static_cast<size_t>(n), seq, local, remote, uid)) {
      case DiagReply::kFound:
        return DiagLookup::kFound;
      case DiagReply::kError:
        return DiagLookup::kUnavailable;
      case DiagReply::kNone:
      case DiagReply::kBad:
        return DiagLookup::kNone;
    }
    return DiagLookup::kNone;
  }
}

}  // namespace vakbd
