#include "sock_diag.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <string.h>

#include <memory>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

struct Reply {
  struct nlmsghdr header;
  struct inet_diag_msg msg;
};

void MapToIPv6(__be32 address[4]) {
  address[3] = address[0];
  address[0] = address[1] = 0;
  address[2] = htonl(0xffff);
}

// Every answer the kernel could give and some it should not: only a live socket with exactly the
// asked ends names its owner; a datagram cut anywhere is never believed nor read past its end.
TEST(SockDiagTest, BelievesOnlyAWellFormedAnswerAboutTheAskedSocket) {
  // clang-format off
  const struct { const char *what; void (*change)(Reply *); DiagReply want; } cases[] = {
      {"the asked socket", [](Reply *) {}, DiagReply::kFound},
      {"a dual-stack socket, in mapped form", [](Reply *r) {
         r->msg.idiag_family = AF_INET6;
         MapToIPv6(r->msg.id.idiag_src);
         MapToIPv6(r->msg.id.idiag_dst); }, DiagReply::kFound},
      {"TIME_WAIT", [](Reply *r) { r->msg.idiag_state = TCP_TIME_WAIT; }, DiagReply::kNone},
      {"the listener on the asked local end", [](Reply *r) {
         r->msg.idiag_state = TCP_LISTEN;
         r->msg.id.idiag_dport = 0;
         r->msg.id.idiag_dst[0] = 0; }, DiagReply::kBad},
      {"another remote port", [](Reply *r) { r->msg.id.idiag_dport = htons(16708); }, DiagReply::kBad},
      {"another local address", [](Reply *r) { r->msg.id.idiag_src[0] = htonl(0x7f000002); }, DiagReply::kBad},
      {"a family that is neither", [](Reply *r) { r->msg.idiag_family = AF_UNIX; }, DiagReply::kBad},
      {"another sequence number", [](Reply *r) { r->header.nlmsg_seq++; }, DiagReply::kBad},
      {"another type", [](Reply *r) { r->header.nlmsg_type = NLMSG_DONE; }, DiagReply::kBad},
      {"a length past the datagram", [](Reply *r) { r->header.nlmsg_len += 4; }, DiagReply::kBad},
      {"a length short of the socket", [](Reply *r) { r->header.nlmsg_len = NLMSG_LENGTH(8); }, DiagReply::kBad},
      {"a length short of its header", [](Reply *r) { r->header.nlmsg_len = 4; }, DiagReply::kBad},
      {"no such socket", [](Reply *r) {
         const int error = -ENOENT;
         r->header.nlmsg_type = NLMSG_ERROR;
         r->header.nlmsg_len = NLMSG_LENGTH(sizeof(struct nlmsgerr));
         memcpy(&r->msg, &error, sizeof error); }, DiagReply::kError},
      {"an error cut short", [](Reply *r) {
         r->header.nlmsg_type = NLMSG_ERROR;
         r->header.nlmsg_len = NLMSG_LENGTH(2); }, DiagReply::kBad}};
  // clang-format on
  SocketAddress local, remote;  // 127.0.0.1:40000 -> 127.0.0.1:16707
  memset(&local, 0, sizeof local);
  local.in4.sin_family = AF_INET;
  local.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  remote = local;
  local.in4.sin_port = htons(40000);
  remote.in4.sin_port = htons(16707);
  for (const auto &c : cases) {
    Reply r;
    memset(&r, 0, sizeof r);
    r.header = {sizeof r, SOCK_DIAG_BY_FAMILY, 0, 77, 0};
    r.msg.idiag_family = AF_INET;
    r.msg.idiag_state = TCP_ESTABLISHED;
    r.msg.id.idiag_sport = local.in4.sin_port;
    r.msg.id.idiag_dport = remote.in4.sin_port;
    r.msg.id.idiag_src[0] = r.msg.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    r.msg.idiag_uid = 1000;
    c.change(&r);
    const unsigned char *data = reinterpret_cast<const unsigned char *>(&r);
    uid_t uid = 12345;
    EXPECT_EQ(ParseDiagReply(data, sizeof r, 77, local, remote, &uid), c.want) << c.what;
    EXPECT_EQ(uid, c.want == DiagReply::kFound ? 1000u : 12345u) << c.what;
    for (size_t cut = 0; cut < r.header.nlmsg_len && cut < sizeof r; ++cut) {
      // A copy of just the cut bytes, so that the sanitizer build sees any read past them.
      std::unique_ptr<unsigned char[]> part(new unsigned char[cut + 1]);
      memcpy(part.get(), data, cut);
      EXPECT_EQ(ParseDiagReply(part.get(), cut, 77, local, remote, &uid), DiagReply::kBad)
          << c.what << ", cut to " << cut;
    }
  }
}

}  // namespace
}  // namespace vakbd
