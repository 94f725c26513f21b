#include "sock_diag.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <string.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

namespace vakbd {
namespace {

constexpr uint32_t kSeq = 77;

SocketAddress V4(const char *host, uint16_t port) {
  SocketAddress a;
  memset(&a, 0, sizeof a);
  a.in4.sin_family = AF_INET;
  a.in4.sin_port = htons(port);
  inet_pton(AF_INET, host, &a.in4.sin_addr);
  return a;
}

struct Reply {
  struct nlmsghdr header;
  struct inet_diag_msg msg;
};

// The kernel's answer about the socket 127.0.0.1:40000 -> 127.0.0.1:16707 of user 1000.
Reply GoodReply() {
  Reply r;
  memset(&r, 0, sizeof r);
  r.header.nlmsg_len = sizeof r;
  r.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  r.header.nlmsg_seq = kSeq;
  r.msg.idiag_family = AF_INET;
  r.msg.idiag_state = TCP_ESTABLISHED;
  r.msg.id.idiag_sport = htons(40000);
  r.msg.id.idiag_dport = htons(16707);
  r.msg.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
  r.msg.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
  r.msg.idiag_uid = 1000;
  return r;
}

void MapToIPv6(__be32 address[4]) {
  address[3] = address[0];
  address[0] = address[1] = 0;
  address[2] = htonl(0xffff);
}

// Every answer the kernel could give, and a few it should not: only a live socket with exactly
// the asked ends names an owner.
TEST(SockDiagTest, BelievesOnlyAWellFormedAnswerAboutTheAskedSocket) {
  const struct {
    const char *what;
    std::function<void(std::vector<unsigned char> *)> change;
    DiagReply want;
  } cases[] = {
      {"the asked socket", [](std::vector<unsigned char> *) {}, DiagReply::kFound},
      {"a dual-stack socket, in mapped form",
       [](std::vector<unsigned char> *d) {
         Reply *r = reinterpret_cast<Reply *>(d->data());
         r->msg.idiag_family = AF_INET6;
         MapToIPv6(r->msg.id.idiag_src);
         MapToIPv6(r->msg.id.idiag_dst);
       },
       DiagReply::kFound},
      {"TIME_WAIT, user 0 whoever made it",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->msg.idiag_state = TCP_TIME_WAIT;
       },
       DiagReply::kNone},
      {"the listener on the asked local end",
       [](std::vector<unsigned char> *d) {
         Reply *r = reinterpret_cast<Reply *>(d->data());
         r->msg.idiag_state = TCP_LISTEN;
         r->msg.id.idiag_dport = 0;
         r->msg.id.idiag_dst[0] = 0;
       },
       DiagReply::kBad},
      {"another remote port",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->msg.id.idiag_dport = htons(16708);
       },
       DiagReply::kBad},
      {"another local address",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->msg.id.idiag_src[0] = htonl(0x7f000002);
       },
       DiagReply::kBad},
      {"a family that is neither",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->msg.idiag_family = AF_UNIX;
       },
       DiagReply::kBad},
      {"another sequence number",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->header.nlmsg_seq = kSeq + 1;
       },
       DiagReply::kBad},
      {"another type",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->header.nlmsg_type = NLMSG_DONE;
       },
       DiagReply::kBad},
      {"a length past the datagram",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->header.nlmsg_len = sizeof(Reply) + 4;
       },
       DiagReply::kBad},
      {"a length shorter than the socket's description",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->header.nlmsg_len = NLMSG_LENGTH(8);
       },
       DiagReply::kBad},
      {"a length shorter than its header",
       [](std::vector<unsigned char> *d) {
         reinterpret_cast<Reply *>(d->data())->header.nlmsg_len = 4;
       },
       DiagReply::kBad},
      {"no such socket (ENOENT)",
       [](std::vector<unsigned char> *d) {
         struct nlmsghdr h;
         memcpy(&h, d->data(), sizeof h);
         h.nlmsg_type = NLMSG_ERROR;
         h.nlmsg_len = NLMSG_LENGTH(sizeof(struct nlmsgerr));
         struct nlmsgerr e;
         memset(&e, 0, sizeof e);
         e.error = -ENOENT;
         d->assign(NLMSG_SPACE(sizeof e), 0);
         memcpy(d->data(), &h, sizeof h);
         memcpy(d->data() + NLMSG_HDRLEN, &e, sizeof e);
       },
       DiagReply::kNone},
      {"an error cut short",
       [](std::vector<unsigned char> *d) {
         struct nlmsghdr *h = reinterpret_cast<struct nlmsghdr *>(d->data());
         h->nlmsg_type = NLMSG_ERROR;
         h->nlmsg_len = NLMSG_LENGTH(2);
       },
       DiagReply::kBad},
  };
  const SocketAddress local = V4("127.0.0.1", 40000), remote = V4("127.0.0.1", 16707);
  for (const auto &c : cases) {
    Reply good = GoodReply();
    std::vector<unsigned char> data(reinterpret_cast<unsigned char *>(&good),
                                    reinterpret_cast<unsigned char *>(&good) + sizeof good);
    c.change(&data);
    uid_t uid = 12345;
    EXPECT_EQ(ParseDiagReply(data.data(), data.size(), kSeq, local, remote, &uid), c.want)
        << c.what;
    EXPECT_EQ(uid, c.want == DiagReply::kFound ? 1000u : 12345u) << c.what;
  }
}

// A datagram cut anywhere short of the whole answer is never believed (nor read past its end,
// which the sanitizer build would see).
TEST(SockDiagTest, NeverBelievesACutAnswer) {
  const Reply good = GoodReply();
  const SocketAddress local = V4("127.0.0.1", 40000), remote = V4("127.0.0.1", 16707);
  for (size_t size = 0; size < sizeof good; ++size) {
    std::vector<unsigned char> data(reinterpret_cast<const unsigned char *>(&good),
                                    reinterpret_cast<const unsigned char *>(&good) + size);
    uid_t uid = 12345;
    EXPECT_EQ(ParseDiagReply(data.data(), data.size(), kSeq, local, remote, &uid),
              DiagReply::kBad)
        << size;
  }
}

}  // namespace
}  // namespace vakbd
